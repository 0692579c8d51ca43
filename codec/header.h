// The generic DoIP header: the check every decoder starts with and the encoding every encoder starts with.
#ifndef DOIP_CODEC_HEADER_H
#define DOIP_CODEC_HEADER_H

#include <cstdint>

#include "doip.h"

namespace doip::detail {

// True for the payload types the library knows and for 0xF000..0xFFFF.
bool is_accepted_payload_type(uint16_t payload_type);

// Checks `count` bytes at `bytes`; on success fills `out` and returns 0, otherwise returns -16, -8, -10,
// -12, -13 or -16 (first failing test wins) and leaves `out` untouched.
int check_header(const uint8_t* bytes, uint32_t count, doip_package_s* out);

// A header for an outgoing message: the inverse version is the complement of `version`.
doip_package_s make_header(uint8_t version, uint16_t payload_type, uint32_t payload_length);

// Writes the 8 header bytes exactly as the record holds them (the inverse is not recomputed).
void write_header(const doip_package_s& header, uint8_t* out);

}  // namespace doip::detail

#endif
