// What the diagnostic message codecs share with the tools that classify and strip received messages.
#ifndef DOIP_CODEC_DIAGNOSTIC_H
#define DOIP_CODEC_DIAGNOSTIC_H

#include <cstdint>

#include "doip.h"

namespace doip::detail {

// Bytes before the user data of a diagnostic message: header, source and target address.
constexpr uint32_t kDiagMessageFixedSize = 12;
// Bytes before the echoed message of an acknowledgement: header, both addresses and the code.
constexpr uint32_t kDiagAckFixedSize = 13;

// The fixed part of a diagnostic message or acknowledgement.
struct DiagFixedPart {
    doip_package_s header;
    uint16_t source_address;
    uint16_t target_address;
    uint8_t ack_code;  // read only when fixed_size is kDiagAckFixedSize
};

// Runs the header check and then requires `fixed_size` bytes (kDiagMessageFixedSize or kDiagAckFixedSize).
// Returns the header check's code, -9 for a shorter input, or 0 with `out` filled. `out` is written only
// on success.
int decode_diag_fixed_part(const uint8_t* bytes, uint32_t count, uint32_t fixed_size, DiagFixedPart* out);

}  // namespace doip::detail

#endif
