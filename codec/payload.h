// Helpers shared by the payload codecs: the argument checks every _init starts with and the size rule
// every encoder applies.
#ifndef DOIP_CODEC_PAYLOAD_H
#define DOIP_CODEC_PAYLOAD_H

#include <cstdint>

#include "codec/header.h"
#include "doip.h"

namespace doip::detail {

// The first two checks of every payload _init: -2 for a null addressing block, then -10 for a null record.
inline int check_init_args(const doip_addressing_s* addressing, const void* record) {
    if (addressing == nullptr) {
        return DOIP_ERR_NULL_ADDRESSING;
    }
    if (record == nullptr) {
        return DOIP_ERR_NULL_RECORD;
    }
    return DOIP_OK;
}

// The first two checks of every payload encoder: -10 for a null record, then -11 for a null output buffer.
inline int check_encode_args(const void* record, const uint8_t* out) {
    if (record == nullptr) {
        return DOIP_ERR_NULL_RECORD;
    }
    if (out == nullptr) {
        return DOIP_ERR_NULL_OUTPUT;
    }
    return DOIP_OK;
}

// The size a message announces in its header. Computed in 64 bits: a payload length near 4 GiB must
// not wrap around into a small size that a short buffer would pass.
inline uint64_t announced_size(const doip_package_s& header) {
    return uint64_t{DOIP_HEADER_SIZE} + header.payload_length;
}

// Encoders test the capacity against the size the header announces; a record whose header announces less
// than the fields it holds must still not make the encoder write past the capacity, so the bytes it
// actually writes are a lower bound.
inline bool fits(uint32_t capacity, uint64_t announced, uint64_t written) {
    return capacity >= announced && capacity >= written;
}

}  // namespace doip::detail

#endif
