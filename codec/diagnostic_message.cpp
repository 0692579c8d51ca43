// Diagnostic message (0x8001) and its positive (0x8002) and negative (0x8003) acknowledgement: records that
// are one malloc block each, their codecs, and the parsers that allocate the record themselves.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "codec/byte_order.h"
#include "codec/diagnostic.h"
#include "codec/header.h"
#include "codec/payload.h"
#include "doip.h"

namespace doip::detail {

int decode_diag_fixed_part(const uint8_t* bytes, uint32_t count, uint32_t fixed_size, DiagFixedPart* out) {
    doip_package_s header;
    if (int rc = check_header(bytes, count, &header); rc != DOIP_OK) {
        return rc;
    }
    if (count < fixed_size) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    out->header = header;
    out->source_address = load_be16(bytes + 8);
    out->target_address = load_be16(bytes + 10);
    out->ack_code = fixed_size == kDiagAckFixedSize ? bytes[12] : 0;
    return DOIP_OK;
}

namespace {

// A zero-filled record with room for `trailing` bytes after its fixed fields, or null when the size does
// not fit into size_t or the heap has no room.
template <typename Record>
Record* allocate_record(uint32_t trailing) {
    if (trailing > std::numeric_limits<size_t>::max() - sizeof(Record)) {
        return nullptr;
    }
    const size_t size = sizeof(Record) + trailing;
    void* block = std::malloc(size);
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, 0, size);
    return static_cast<Record*>(block);
}

// Room a parser gives its record: everything after the fixed part of the input.
uint32_t trailing_size(uint32_t count, uint32_t fixed_size) {
    return count > fixed_size ? count - fixed_size : 0;
}

int init_request(const doip_addressing_s* addressing, doip_diagnostic_request_s* record,
                 const uint8_t* user_data, uint32_t size) {
    if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
        return rc;
    }
    if (size != 0 && user_data == nullptr) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    record->header = make_header(addressing->protocol_version, DOIP_PT_DIAG_MSG,
                                 size + (kDiagMessageFixedSize - DOIP_HEADER_SIZE));
    record->source_address = addressing->source_address;
    record->target_address = addressing->target_address;
    if (size != 0) {
        std::memcpy(record->user_data, user_data, size);
        record->user_data_length = size;
    }
    return DOIP_OK;
}

int init_response(const doip_addressing_s* addressing, doip_diagnostic_response_s* record,
                  uint16_t payload_type, uint8_t code, const uint8_t* previous_message, uint32_t size) {
    if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
        return rc;
    }
    if (size != 0 && previous_message == nullptr) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    record->header = make_header(addressing->protocol_version, payload_type,
                                 size + (kDiagAckFixedSize - DOIP_HEADER_SIZE));
    record->source_address = addressing->source_address;
    record->target_address = addressing->target_address;
    record->ack_code = code;
    if (size != 0) {
        std::memcpy(record->previous_message, previous_message, size);
        record->previous_message_length = size;
    }
    return DOIP_OK;
}

int encode_request(const doip_diagnostic_request_s* record, uint8_t* out, uint32_t capacity) {
    if (int rc = check_encode_args(record, out); rc != DOIP_OK) {
        return rc;
    }
    if (!fits(capacity, announced_size(record->header),
              uint64_t{kDiagMessageFixedSize} + record->user_data_length)) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    write_header(record->header, out);
    store_be16(out + 8, record->source_address);
    store_be16(out + 10, record->target_address);
    if (record->user_data_length != 0) {
        std::memcpy(out + kDiagMessageFixedSize, record->user_data, record->user_data_length);
    }
    return DOIP_OK;
}

// Sized by the echoed bytes the record holds, not by its header.
int encode_response(const doip_diagnostic_response_s* record, uint8_t* out, uint32_t capacity) {
    if (int rc = check_encode_args(record, out); rc != DOIP_OK) {
        return rc;
    }
    if (uint64_t{kDiagAckFixedSize} + record->previous_message_length > capacity) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    write_header(record->header, out);
    store_be16(out + 8, record->source_address);
    store_be16(out + 10, record->target_address);
    out[12] = record->ack_code;
    if (record->previous_message_length != 0) {
        std::memcpy(out + kDiagAckFixedSize, record->previous_message, record->previous_message_length);
    }
    return DOIP_OK;
}

// Everything after the fixed part, up to `count` (not to the header's payload length), becomes the user
// data. An empty rest leaves `user_data_length` as it was.
int decode_request_into(const uint8_t* bytes, uint32_t count, doip_diagnostic_request_s* record) {
    DiagFixedPart fixed;
    if (int rc = decode_diag_fixed_part(bytes, count, kDiagMessageFixedSize, &fixed); rc != DOIP_OK) {
        return rc;
    }
    record->header = fixed.header;
    record->source_address = fixed.source_address;
    record->target_address = fixed.target_address;
    const uint32_t rest = count - kDiagMessageFixedSize;
    if (rest != 0) {
        std::memcpy(record->user_data, bytes + kDiagMessageFixedSize, rest);
        record->user_data_length = rest;
    }
    return DOIP_OK;
}

// As decode_request_into, for the echoed bytes of an acknowledgement of either kind.
int decode_response_into(const uint8_t* bytes, uint32_t count, doip_diagnostic_response_s* record) {
    DiagFixedPart fixed;
    if (int rc = decode_diag_fixed_part(bytes, count, kDiagAckFixedSize, &fixed); rc != DOIP_OK) {
        return rc;
    }
    record->header = fixed.header;
    record->source_address = fixed.source_address;
    record->target_address = fixed.target_address;
    record->ack_code = fixed.ack_code;
    const uint32_t rest = count - kDiagAckFixedSize;
    if (rest != 0) {
        std::memcpy(record->previous_message, bytes + kDiagAckFixedSize, rest);
        record->previous_message_length = rest;
    }
    return DOIP_OK;
}

int release_response(doip_diagnostic_response_s* record) {
    std::free(record);
    return DOIP_OK;
}

template <typename Record>
int decode(const uint8_t* bytes, uint32_t count, Record* record,
           int (*decode_into)(const uint8_t*, uint32_t, Record*)) {
    if (count == 0) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    if (bytes == nullptr) {
        return DOIP_ERR_NULL_INPUT;
    }
    if (record == nullptr) {
        return DOIP_ERR_NULL_RECORD;
    }
    return decode_into(bytes, count, record);
}

// Hands out the record before any check, so the caller owns it (or null) whatever the result. Only a
// null `out` is refused before anything is allocated.
template <typename Record>
int parse(const uint8_t* bytes, uint32_t count, Record** out, uint32_t fixed_size,
          int (*decode_into)(const uint8_t*, uint32_t, Record*)) {
    if (out == nullptr) {
        return DOIP_ERR_NULL_RECORD;
    }
    Record* record = allocate_record<Record>(trailing_size(count, fixed_size));
    *out = record;
    if (count == 0) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    if (bytes == nullptr) {
        return DOIP_ERR_NULL_INPUT;
    }
    if (record == nullptr) {
        return DOIP_ERR_NULL_RECORD;
    }
    return decode_into(bytes, count, record);
}

}  // namespace
}  // namespace doip::detail

using doip::detail::allocate_record;
using doip::detail::decode_request_into;
using doip::detail::decode_response_into;
using doip::detail::kDiagAckFixedSize;
using doip::detail::kDiagMessageFixedSize;

extern "C" {

DOIP_API doip_diagnostic_request_s* doip_diag_msg_request_create(uint32_t user_data_size) {
    return allocate_record<doip_diagnostic_request_s>(user_data_size);
}

DOIP_API int doip_diag_msg_request_init(const doip_addressing_s* addressing,
                                        doip_diagnostic_request_s* record, const uint8_t* user_data,
                                        uint32_t user_data_size) {
    return doip::detail::init_request(addressing, record, user_data, user_data_size);
}

DOIP_API int doip_diag_msg_request_serilize(const doip_diagnostic_request_s* record, uint8_t* out,
                                            uint32_t capacity) {
    return doip::detail::encode_request(record, out, capacity);
}

DOIP_API int doip_diag_msg_request_deserilize(const uint8_t* bytes, uint32_t count,
                                              doip_diagnostic_request_s* record) {
    return doip::detail::decode(bytes, count, record, decode_request_into);
}

DOIP_API void doip_diag_msg_request_free(doip_diagnostic_request_s* record) {
    std::free(record);
}

DOIP_API doip_diagnostic_response_s* doip_diag_msg_response_create(uint32_t previous_message_size) {
    return allocate_record<doip_diagnostic_response_s>(previous_message_size);
}

DOIP_API int doip_diag_msg_ack_response_init(const doip_addressing_s* addressing,
                                             doip_diagnostic_response_s* record, uint8_t ack_code,
                                             const uint8_t* previous_message,
                                             uint32_t previous_message_size) {
    return doip::detail::init_response(addressing, record, DOIP_PT_DIAG_MSG_ACK, ack_code, previous_message,
                                       previous_message_size);
}

DOIP_API int doip_diag_msg_nack_response_init(const doip_addressing_s* addressing,
                                              doip_diagnostic_response_s* record, uint8_t nack_code,
                                              const uint8_t* previous_message,
                                              uint32_t previous_message_size) {
    return doip::detail::init_response(addressing, record, DOIP_PT_DIAG_MSG_NACK, nack_code, previous_message,
                                       previous_message_size);
}

DOIP_API int doip_diag_msg_response_serilize(const doip_diagnostic_response_s* record, uint8_t* out,
                                             uint32_t capacity) {
    return doip::detail::encode_response(record, out, capacity);
}

DOIP_API int doip_diag_msg_response_deserilize(const uint8_t* bytes, uint32_t count,
                                               doip_diagnostic_response_s* record) {
    return doip::detail::decode(bytes, count, record, decode_response_into);
}

DOIP_API int doip_diag_msg_response_free(doip_diagnostic_response_s* record) {
    return doip::detail::release_response(record);
}

DOIP_API int doip_free_diag_response(doip_diagnostic_response_s* record) {
    return doip::detail::release_response(record);
}

DOIP_API int doip_diag_request_parse(const unsigned char* bytes, unsigned int count,
                                     doip_diagnostic_request_s** out) {
    return doip::detail::parse(bytes, count, out, kDiagMessageFixedSize, decode_request_into);
}

DOIP_API int doip_diag_response(doip_s* /*unused*/, const unsigned char* bytes, unsigned int count,
                                doip_diagnostic_response_s** out) {
    return doip::detail::parse(bytes, count, out, kDiagAckFixedSize, decode_response_into);
}

}  // extern "C"
