// A flashable ECU behind the simulated entity: the UDS services of a programming sequence over a memory of
// its own, enforcing their order as a real bootloader does, and faults to inject for a tester's error paths.
//
// The services it answers (every other request goes to the simulator's fixed table):
//   10 01/02/03             DiagnosticSessionControl: default, programming, extended. A session change
//                           locks security access again.
//   11 01                   ECUReset: default session, locked, any download abandoned.
//   27 L / 27 L+1           SecurityAccess at the odd level L (FlashEcuOptions::security_level): a 4-byte
//                           seed, then the key ((seed XOR 0xA5C30F96) + 0x12345678) mod 2^32, both big-endian
//                           (the script tools/simulator/sim-key.sh computes it). Only in the programming or
//                           extended session (else 0x22); a key without a seed 0x24; a wrong key 0x35; the
//                           third wrong key in a row 0x36 and no seed for ten seconds (0x37).
//   31 01 FF 00 ALFID a s   RoutineControl erase memory [a, a+s): programming session (0x22) and unlocked
//                           (0x33); within the memory (0x31). Sets it to 0xFF. Answer 71 01 FF 00 00.
//   31 01 FF 01 c c c c     RoutineControl check memory: the CRC-32 (crc32.h) over every byte written since
//                           the last erase, in the order written, against the 4-byte c. Answer 71 01 FF 01 00
//                           when equal, 71 01 FF 01 01 when not. Without a download since the erase 0x24.
//   31 xx other routine     0x31
//   34 DFI ALFID a s        RequestDownload: programming session (0x22), unlocked (0x33), no download active
//                           (0x22), DFI 0x00 only and an ALFID of 1-4 byte fields (0x31), [a, a+s) within the
//                           memory and s > 0 (0x31), erased since the last reset (0x70). Answer
//                           74 LFID maxNumberOfBlockLength (LFID 0x20, or 0x40 when above 0xFFFF).
//   36 n data               TransferData: a download active (0x24); n the next counter (1 after 34, wrapping
//                           0xFF -> 0x00) or, repeated, the last one, which is answered again without writing
//                           (0x73 otherwise); at most maxNumberOfBlockLength bytes in all (0x13) and no more
//                           data than announced (0x71). Answer 76 n.
//   37                      RequestTransferExit: a download active with every announced byte received
//                           (0x24). Answer 77; the memory is written to the out file.
// Any of them with a length it cannot have: 0x13.
#ifndef DOIP_TOOLS_SIMULATOR_FLASH_ECU_H
#define DOIP_TOOLS_SIMULATOR_FLASH_ECU_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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
    const FlashEcuOptions options_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> memory_;  // under mutex_; the rest of the state too
};

}  // namespace doip_tools

#endif
