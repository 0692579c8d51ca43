// The UDS requests of a flash and the reading of their answers, apart from any I/O.
#ifndef DOIP_TOOLS_TESTER_FLASH_REQUESTS_H
#define DOIP_TOOLS_TESTER_FLASH_REQUESTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace doip_tools {

// The UDS service identifiers of a programming sequence.
enum FlashSid : uint8_t {
    kSessionControl = 0x10,
    kEcuReset = 0x11,
    kSecurityAccess = 0x27,
    kRoutineControl = 0x31,
    kRequestDownload = 0x34,
    kTransferData = 0x36,
    kRequestTransferExit = 0x37,
    kTesterPresent = 0x3E
};

// An addressAndLengthFormatIdentifier: low nibble the address's bytes, high nibble the size's; both 1-4.
bool alfid_valid(uint8_t alfid);
// Appends `address` and `size` in the ALFID's field sizes. False, with nothing appended and `error` saying
// which field does not fit, when one does not (or the ALFID is not valid).
bool append_address_and_size(uint8_t alfid, uint32_t address, uint64_t size, std::vector<uint8_t>* out,
                             std::string* error);

// 31 01 <routine> <ALFID> <address> <size>; false as append_address_and_size.
bool erase_request(uint16_t routine, uint8_t alfid, uint32_t address, uint64_t size,
                   std::vector<uint8_t>* out, std::string* error);
// 34 <data format> <ALFID> <address> <size>; false as append_address_and_size.
bool download_request(uint8_t data_format, uint8_t alfid, uint32_t address, uint64_t size,
                      std::vector<uint8_t>* out, std::string* error);
// 31 01 <routine> <crc32 big-endian>.
std::vector<uint8_t> check_request(uint16_t routine, uint32_t crc);

// A positive RoutineControl answer (71 01 hi lo [status ...]): its status byte, 0 when it has none.
uint8_t routine_status(const std::vector<uint8_t>& answer);

// The maxNumberOfBlockLength of a positive RequestDownload answer (74 LFID length, the LFID's high nibble
// the length's bytes, 1-4). False with `error` when the field is cut short, of another size, or zero.
bool parse_download_answer(const std::vector<uint8_t>& answer, uint32_t* max_block_length,
                           std::string* error);

// The data bytes of each TransferData: the ECU's maxNumberOfBlockLength less SID and counter, within the
// entity's max data size when known (0: not known) less the diagnostic header, SID and counter, and within
// `block_size` when set (0: not set). 0 when nothing fits.
uint32_t block_data_size(uint32_t max_block_length, uint32_t max_data_size, uint32_t block_size);

// The blockSequenceCounter of block `n` of a download (from 1; after 0xFF comes 0x00).
inline uint8_t block_counter(uint64_t n) {
    return static_cast<uint8_t>(n & 0xFFu);
}

// Makes `request` the TransferData 36 <counter> <data>, in place: no allocation once its capacity holds it.
void fill_transfer_data(uint8_t counter, const uint8_t* data, size_t count, std::vector<uint8_t>* request);

// The key a key command printed: hex bytes, spaces and line ends allowed around and between them. False when
// there are none or anything else.
bool parse_key(const std::string& text, std::vector<uint8_t>* key);
// The seed as the key command reads it: uppercase hex, no spaces, one line.
std::string seed_line(const uint8_t* seed, size_t count);

}  // namespace doip_tools

#endif
