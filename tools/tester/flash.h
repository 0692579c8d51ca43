// doip-tester flash: programs an ECU with an image over one DoIP connection, in the usual UDS programming
// sequence: extended then programming session, security access (the key from an external program), erase,
// per region RequestDownload / TransferData blocks / RequestTransferExit, the check routine (CRC-32 of the
// image), ECU reset and a reconnect. Each step's identifiers can be set for a real ECU.
#ifndef DOIP_TOOLS_TESTER_FLASH_H
#define DOIP_TOOLS_TESTER_FLASH_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "flash_image.h"
#include "session.h"

namespace doip_tools {

enum class ProgressStyle {
    automatic,  // a bar redrawn on one line when standard output is a terminal, else lines
    bar,
    lines,  // a line at every 10 %
    none
};

struct FlashSettings {
    ImageSource image;
    // Reads the seed in hex on standard input, prints the key in hex. Empty: no security access step.
    std::string key_command;
    uint8_t extended_session = 0x03;     // 0: the step is left out
    uint8_t programming_session = 0x02;  // 0: the step is left out
    uint8_t security_level = 0x01;       // requestSeed sub-function (odd); sendKey is the next one
    bool erase = true;
    uint16_t erase_routine = 0xFF00;  // RoutineControl start with ALFID, address and size of each region
    bool check = true;
    uint16_t check_routine = 0xFF01;  // RoutineControl start with the image's CRC-32 (4 bytes)
    uint8_t data_format = 0x00;       // RequestDownload dataFormatIdentifier (0: neither compressed nor
                                      // encrypted)
    uint8_t address_and_length_format = 0x44;  // high nibble: size bytes, low nibble: address bytes (1-4)
    uint32_t block_size = 0;  // the most data bytes per TransferData; 0: what the ECU and the entity allow
    bool reset = true;
    uint8_t reset_type = 0x01;
    uint32_t reconnect_tries = 5;  // after the reset
    bool dry_run = false;          // print the plan, send nothing
    std::string json_file;         // set: the summary is written here as JSON too
    ProgressStyle progress = ProgressStyle::automatic;
};

// One step as it went: its name ("programming session", "download 0x00010000"), how long it took.
struct FlashStep {
    std::string name;
    double ms = 0;
    bool ok = false;
};

struct FlashSummary {
    bool ok = false;
    // Why the flash stopped: the step, and in a transfer the block number and its address.
    std::string error;
    std::string failed_step;
    uint64_t failed_block = 0;  // 0: not in a transfer
    uint32_t failed_address = 0;
    uint64_t image_bytes = 0;
    uint64_t bytes = 0;   // transferred
    uint64_t blocks = 0;  // TransferData requests answered positively
    uint32_t retries = 0;
    uint32_t pending = 0;  // response-pending answers (NRC 0x78) followed
    uint32_t crc32 = 0;    // of the image
    uint32_t block_data_size = 0;
    double seconds = 0;           // the whole flash
    double transfer_seconds = 0;  // from the first RequestDownload to the last transfer exit
    std::vector<FlashStep> steps;
};

// Runs the flash (or with dry_run prints its plan) and returns the exit code: 0 done, 1 failed, 3 stopped by
// a negative response. `summary`, when given, gets the figures.
int run_flash(const TesterOptions& options, const FlashSettings& settings, std::ostream& out,
              FlashSummary* summary = nullptr);

// The transfer's rate: bytes over transfer_seconds, in KiB/s (0 before any transfer).
double kib_per_second(const FlashSummary& summary);

// The summary as the JSON of --json.
std::string flash_json(const FlashSummary& summary);

}  // namespace doip_tools

#endif
