// What the payload codecs share: the argument checks every _init, encoder and decoder starts with, in the
// orders the codecs document, and the size rule of the encoders.
#ifndef DOIP_CODEC_PAYLOAD_H
#define DOIP_CODEC_PAYLOAD_H

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "codec/header.h"
#include "doip.h"

namespace doip::detail {

// The first two checks of every payload _init: DOIP_ERR_NULL_ADDRESSING, then DOIP_ERR_NULL_RECORD.
inline int check_init_args(const doip_addressing_s* addressing, const void* record) {
    return addressing == nullptr ? DOIP_ERR_NULL_ADDRESSING
           : record == nullptr   ? DOIP_ERR_NULL_RECORD
                                 : DOIP_OK;
}

// The first two checks of every payload encoder: DOIP_ERR_NULL_RECORD, then DOIP_ERR_NULL_OUTPUT.
inline int check_encode_args(const void* record, const uint8_t* out) {
    return record == nullptr ? DOIP_ERR_NULL_RECORD : out == nullptr ? DOIP_ERR_NULL_OUTPUT : DOIP_OK;
}

// The two orders in which decoders check their arguments. Count first: DOIP_ERR_INPUT_TOO_SHORT,
// DOIP_ERR_NULL_INPUT, DOIP_ERR_NULL_RECORD. Input first: DOIP_ERR_NULL_INPUT, DOIP_ERR_INPUT_TOO_SHORT,
// DOIP_ERR_NULL_RECORD. Each decoder keeps the order its callers have always seen.
enum class DecodeOrder { kCountFirst, kInputFirst };

inline int check_decode_args(DecodeOrder order, const uint8_t* bytes, bool too_short, const void* record) {
    if (order == DecodeOrder::kInputFirst && bytes == nullptr) {
        return DOIP_ERR_NULL_INPUT;
    }
    if (too_short) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    if (bytes == nullptr) {
        return DOIP_ERR_NULL_INPUT;
    }
    if (record == nullptr) {
        return DOIP_ERR_NULL_RECORD;
    }
    return DOIP_OK;
}

// The argument checks in `order`, then the header check, which fills the record's header (and nothing
// else, only on success).
template <typename Record>
int begin_decode(DecodeOrder order, const uint8_t* bytes, uint32_t count, bool too_short, Record* record) {
    if (int rc = check_decode_args(order, bytes, too_short, record); rc != DOIP_OK) {
        return rc;
    }
    return check_header(bytes, count, &record->header);
}

// As above, for the decoders that can tell only from the header how many bytes they need:
// DOIP_ERR_INPUT_TOO_SHORT after the header check when `short_for(header)`, and the record untouched.
template <typename Record, typename ShortRule>
int begin_decode(DecodeOrder order, const uint8_t* bytes, uint32_t count, bool too_short, Record* record,
                 ShortRule short_for) {
    if (int rc = check_decode_args(order, bytes, too_short, record); rc != DOIP_OK) {
        return rc;
    }
    doip_package_s header;
    if (int rc = check_header(bytes, count, &header); rc != DOIP_OK) {
        return rc;
    }
    if (short_for(header)) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    record->header = header;
    return DOIP_OK;
}

// The start of an _init that rebuilds the whole record: the two checks, DOIP_ERR_INVALID_ARGUMENT when
// a value the caller must pass is missing, then the record zeroed and given the header of a message of
// `wire_size` bytes.
template <typename Record>
int begin_init(const doip_addressing_s* addressing, Record* record, uint16_t payload_type, uint32_t wire_size,
               bool values_present = true) {
    if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
        return rc;
    }
    if (!values_present) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    std::memset(record, 0, sizeof *record);
    record->header = make_header(addressing->protocol_version, payload_type, wire_size - DOIP_HEADER_SIZE);
    return DOIP_OK;
}

// An optional field set by an _init: the flag is stored as given, the value only when the flag is set.
template <typename Value>
void set_optional(uint8_t* flag_field, Value* value_field, uint8_t flag, Value value) {
    *flag_field = flag;
    if (flag != 0) {
        *value_field = value;
    }
}

// The size a message announces in its header. Computed in 64 bits: a payload length near 4 GiB must
// not wrap around into a small size that a short buffer would pass.
inline uint64_t announced_size(const doip_package_s& header) {
    return uint64_t{DOIP_HEADER_SIZE} + header.payload_length;
}

// Most encoders ask for the size the header announces; a record whose header announces less than the
// fields it holds must still not make the encoder write past the capacity, so the bytes it writes count
// too.
inline uint64_t needed_size(const doip_package_s& header, uint64_t written) {
    return std::max(announced_size(header), written);
}

// The start of every encoder: the two checks, DOIP_ERR_BUFFER_TOO_SMALL when `capacity` is below
// `size(*record)`, then the header bytes. `size` is asked only once the record is known to be there.
template <typename Record, typename SizeRule>
int begin_encode(const Record* record, uint8_t* out, uint32_t capacity, SizeRule size) {
    if (int rc = check_encode_args(record, out); rc != DOIP_OK) {
        return rc;
    }
    if (capacity < size(*record)) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    write_header(record->header, out);
    return DOIP_OK;
}

}  // namespace doip::detail

#endif
