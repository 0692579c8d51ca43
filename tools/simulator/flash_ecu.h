// A flashable ECU behind the simulated entity: the UDS services of a programming sequence over a memory of
// its own, enforcing their order as a real bootloader does, and faults to inject for a tester's error paths.
//
// The services it answers (every other request goes to the simulator's fixed table):
//   10 01/02/03             DiagnosticSessionControl: default, programming, extended. A session change
//                           (any of them, the same session too) locks security access again.
//   11 01                   ECUReset: default session, locked, any download abandoned, nothing erased.
//   27 L / 27 L+1           SecurityAccess at the odd level L (FlashEcuOptions::security_level): a 4-byte
//                           seed, then the key ((seed XOR 0xA5C30F96) + 0x12345678) mod 2^32, both big-endian
//                           (the script tools/simulator/sim-key.sh computes it). Only in the programming or
//                           extended session (else 0x22); a key without a seed 0x24; a wrong key 0x35; the
//                           third wrong key in a row 0x36 and no seed for ten seconds (0x37).
//   31 01 FF 00 ALFID a s   RoutineControl erase memory [a, a+s): programming session and no download
//                           active (0x22), unlocked (0x33); an ALFID of 1-4 byte fields, within the memory
//                           and s > 0 (0x31). Sets it to 0xFF. Answer 71 01 FF 00 00.
//   31 01 FF 01 c c c c     RoutineControl check memory: the CRC-32 (crc32.h) over every byte written since
//                           the last erase, in the order written, against the 4-byte c. Answer 71 01 FF 01 00
//                           when equal, 71 01 FF 01 01 when not. Without a RequestDownload accepted since
//                           the erase 0x24.
//   31 xx other routine     0x31
//   34 DFI ALFID a s        RequestDownload: programming session (0x22), unlocked (0x33), no download active
//                           (0x22), DFI 0x00 only and an ALFID of 1-4 byte fields (0x31), [a, a+s) within the
//                           memory and s > 0 (0x31), erased since the last reset (0x70). Answer
//                           74 LFID maxNumberOfBlockLength (LFID 0x20, or 0x40 when above 0xFFFF).
//   36 n data               TransferData: a download active (0x24); n the next counter (1 after 34, wrapping
//                           0xFF -> 0x00) or, repeated, the last one, which is answered again without writing
//                           (0x73 otherwise); at most maxNumberOfBlockLength bytes in all (0x13) and no more
//                           data than announced (0x71). Answer 76 n.
//   37 [record]             RequestTransferExit: a download active with every announced byte received
//                           (0x24). Answer 77; the memory is written to the out file.
// Any of them with a length it cannot have: 0x13. Other sub-functions of 10, 11 and 27 go to the fixed table.
// Wrong keys count across sessions and resets until a right one. Blocks numbered for the faults count every
// TransferData request, a repeated or refused one too; a fault fires at its block once a download is active.
#ifndef DOIP_TOOLS_SIMULATOR_FLASH_ECU_H
#define DOIP_TOOLS_SIMULATOR_FLASH_ECU_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "crc32.h"

namespace doip_tools {

struct FlashEcuOptions {
    uint32_t memory_size = 0;     // bytes; 0: no flashable ECU
    uint32_t memory_address = 0;  // the address of its first byte
    std::string out_file;         // set: the whole memory is written here after each transfer exit
    uint32_t latency_ms = 0;      // each TransferData is answered this long after it came
    // maxNumberOfBlockLength: the most bytes one TransferData request may have, its SID and counter
    // included. The entity's max request size is raised to fit it.
    uint32_t max_block_length = 4098;
    uint8_t security_level = 0x01;  // requestSeed sub-function (odd); sendKey is the next one
    // Faults, each once. Blocks are numbered from 1 over every TransferData the ECU has received.
    uint32_t lose_response_at_block = 0;  // that block is written, its response never sent
    uint32_t counter_error_at_block = 0;  // that block is answered 0x73 (wrongBlockSequenceCounter)
    uint32_t program_error_at_block = 0;  // that block is answered 0x72 (generalProgrammingFailure)
    uint32_t drop_at_block = 0;           // that block is not answered: the connection is closed
    uint32_t erase_pending_ms = 0;        // each erase is answered 0x78 (response pending) for this long
    // One line per main event (session, security, erase, download, transfer exit, each NRC and fault),
    // called under the ECU's lock; may be empty.
    std::function<void(const std::string&)> log;
};

// How the ECU answers one request.
struct EcuAnswer {
    bool handled = false;           // false: not a service of the flash ECU (the fixed table answers)
    std::vector<uint8_t> response;  // the final UDS response; empty: none (a lost response)
    uint32_t pending_ms = 0;        // 7F sid 78 first, every kPendingIntervalMs, for this long
    uint32_t delay_ms = 0;          // the final response (after any pending ones) this long later
    bool drop_connection = false;   // close the connection instead of answering
};

class FlashEcu {
  public:
    // How often a response-pending answer repeats while an erase goes on.
    static constexpr uint32_t kPendingIntervalMs = 1000;

    explicit FlashEcu(const FlashEcuOptions& options);

    // Any thread; one request at a time (a lock). Changes the ECU's state as the answer says.
    EcuAnswer answer(const std::vector<uint8_t>& request);
    // Any thread. Writes the memory to the out file now; false with `error` on failure (or no out file).
    bool write_out(std::string* error) const;
    // Any thread. The memory's bytes [address, address + count); false when outside it.
    bool read(uint32_t address, uint32_t count, std::vector<uint8_t>* out) const;

    FlashEcu(const FlashEcu&) = delete;
    FlashEcu& operator=(const FlashEcu&) = delete;

  private:
    using Bytes = std::vector<uint8_t>;
    enum class Security { locked, seed_sent, unlocked };
    struct Download {
        bool active = false;
        uint64_t offset = 0;  // into memory_
        uint32_t size = 0;
        uint32_t received = 0;
        uint8_t next_counter = 1;
        int last_counter = -1;  // the last block accepted; -1 before the first
    };
    // An address and size field pair of `request` at `at`, as `alfid` lays them out: 0x31 when the ALFID is
    // not 1-4 byte fields, 0x13 when the request does not end right after them, else 0 with the range as an
    // offset into memory_ (0x31 when outside it or empty).
    uint8_t parse_range(const Bytes& request, size_t at, uint64_t* offset, uint32_t* size) const;

    EcuAnswer session_control(const Bytes& request);
    EcuAnswer reset(const Bytes& request);
    EcuAnswer security_access(const Bytes& request);
    EcuAnswer routine_control(const Bytes& request);
    EcuAnswer request_download(const Bytes& request);
    EcuAnswer transfer_data(const Bytes& request);
    EcuAnswer transfer_exit(const Bytes& request);
    // 7F sid code, logged.
    EcuAnswer negative(uint8_t sid, uint8_t code);
    void log(const std::string& line) const;
    bool erased(uint64_t offset, uint32_t size) const;
    bool write_out_locked(std::string* error) const;

    const FlashEcuOptions options_;
    mutable std::mutex mutex_;
    // Under mutex_, as is the rest of the state.
    Bytes memory_;
    uint8_t session_ = 0x01;
    Security security_ = Security::locked;
    uint32_t seed_ = 0;
    uint32_t wrong_keys_ = 0;  // in a row
    std::chrono::steady_clock::time_point locked_out_until_{};
    std::vector<std::pair<uint64_t, uint64_t>> erased_;  // [begin, end) offsets since the reset, merged
    Download download_;
    Crc32 crc_;                            // every byte written since the last erase
    bool downloaded_since_erase_ = false;  // a RequestDownload accepted since the last erase
    uint32_t blocks_ = 0;                  // TransferData requests received
    std::mt19937 random_;
};

}  // namespace doip_tools

#endif
