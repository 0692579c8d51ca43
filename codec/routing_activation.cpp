// Routing activation request (0x0005) and response (0x0006), each with an optional OEM-specific field.
#include <cstring>

#include "codec/byte_order.h"
#include "codec/header.h"
#include "codec/payload.h"
#include "doip.h"

namespace doip::detail {
namespace {

constexpr uint32_t kOemSize = 4;

// Request wire offsets.
constexpr uint32_t kRequestSourceAddress = 8;
constexpr uint32_t kRequestActivationType = 10;
constexpr uint32_t kRequestReserved = 11;
constexpr uint32_t kRequestOem = 15;
constexpr uint32_t kRequestSize = 15;

// Response wire offsets.
constexpr uint32_t kResponseTesterAddress = 8;
constexpr uint32_t kResponseEntityAddress = 10;
constexpr uint32_t kResponseCode = 12;
constexpr uint32_t kResponseReserved = 13;
constexpr uint32_t kResponseOem = 17;
constexpr uint32_t kResponseSize = 17;

uint32_t request_size(bool has_oem) {
    return has_oem ? kRequestSize + kOemSize : kRequestSize;
}
uint32_t response_size(bool has_oem) {
    return has_oem ? kResponseSize + kOemSize : kResponseSize;
}

int init_request(const doip_addressing_s* addressing, doip_routing_activation_request_s* record,
                 uint16_t source_address, uint8_t activation_type, uint8_t has_oem_specific,
                 uint32_t oem_specific) {
    if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
        return rc;
    }
    std::memset(record, 0, sizeof *record);
    record->header = make_header(addressing->protocol_version, DOIP_PT_ROUTING_ACTIVATION_REQUEST,
                                 request_size(has_oem_specific != 0) - DOIP_HEADER_SIZE);
    record->source_address = source_address;
    record->activation_type = activation_type;
    record->has_oem_specific = has_oem_specific;
    record->oem_specific = oem_specific;
    return DOIP_OK;
}

// The flag, not the header, decides the size; the reserved bytes are always written as zero.
int encode_request(const doip_routing_activation_request_s* record, uint8_t* out, uint32_t capacity) {
    if (int rc = check_encode_args(record, out); rc != DOIP_OK) {
        return rc;
    }
    const bool has_oem = record->has_oem_specific != 0;
    if (capacity < request_size(has_oem)) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    write_header(record->header, out);
    store_be16(out + kRequestSourceAddress, record->source_address);
    out[kRequestActivationType] = record->activation_type;
    store_be32(out + kRequestReserved, 0);
    if (has_oem) {
        store_be32(out + kRequestOem, record->oem_specific);
    }
    return DOIP_OK;
}

int decode_request(const uint8_t* bytes, uint32_t count, doip_routing_activation_request_s* record) {
    if (count == 0) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    if (bytes == nullptr) {
        return DOIP_ERR_NULL_INPUT;
    }
    if (record == nullptr) {
        return DOIP_ERR_NULL_RECORD;
    }
    doip_package_s header;
    if (int rc = check_header(bytes, count, &header); rc != DOIP_OK) {
        return rc;
    }
    if (count < kRequestSize) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    record->header = header;
    record->source_address = load_be16(bytes + kRequestSourceAddress);
    record->activation_type = bytes[kRequestActivationType];
    // A payload length of 11 passed the header check, so all 19 bytes are there.
    const bool has_oem = header.payload_length == request_size(true) - DOIP_HEADER_SIZE;
    record->has_oem_specific = has_oem ? 1 : 0;
    record->oem_specific = has_oem ? load_be32(bytes + kRequestOem) : 0;
    return DOIP_OK;
}

int init_response(const doip_addressing_s* addressing, doip_routing_activation_response_s* record,
                  uint16_t tester_address, uint16_t entity_address, uint8_t response_code,
                  uint8_t has_oem_specific, uint32_t oem_specific) {
    if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
        return rc;
    }
    std::memset(record, 0, sizeof *record);
    record->header = make_header(addressing->protocol_version, DOIP_PT_ROUTING_ACTIVATION_RESPONSE,
                                 response_size(has_oem_specific != 0) - DOIP_HEADER_SIZE);
    record->tester_address = tester_address;
    record->entity_address = entity_address;
    record->response_code = response_code;
    record->has_oem_specific = has_oem_specific;
    if (has_oem_specific != 0) {
        record->oem_specific = oem_specific;
    }
    return DOIP_OK;
}

// The record's `reserved` is never sent: the reserved bytes go out as zero.
int encode_response(const doip_routing_activation_response_s* record, uint8_t* out, uint32_t capacity) {
    if (int rc = check_encode_args(record, out); rc != DOIP_OK) {
        return rc;
    }
    const bool has_oem = record->has_oem_specific != 0;
    if (!fits(capacity, announced_size(record->header), response_size(has_oem))) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    write_header(record->header, out);
    store_be16(out + kResponseTesterAddress, record->tester_address);
    store_be16(out + kResponseEntityAddress, record->entity_address);
    out[kResponseCode] = record->response_code;
    store_be32(out + kResponseReserved, 0);
    if (has_oem) {
        store_be32(out + kResponseOem, record->oem_specific);
    }
    return DOIP_OK;
}

int decode_response(const uint8_t* bytes, uint32_t count, doip_routing_activation_response_s* record) {
    if (bytes == nullptr) {
        return DOIP_ERR_NULL_INPUT;
    }
    if (count < kResponseSize) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    if (record == nullptr) {
        return DOIP_ERR_NULL_RECORD;
    }
    doip_package_s header;
    if (int rc = check_header(bytes, count, &header); rc != DOIP_OK) {
        return rc;
    }
    record->header = header;
    record->tester_address = load_be16(bytes + kResponseTesterAddress);
    record->entity_address = load_be16(bytes + kResponseEntityAddress);
    record->response_code = bytes[kResponseCode];
    record->reserved = load_be32(bytes + kResponseReserved);
    // A payload length of 13 passed the header check, so all 21 bytes are there.
    const bool has_oem = header.payload_length == response_size(true) - DOIP_HEADER_SIZE;
    record->has_oem_specific = has_oem ? 1 : 0;
    record->oem_specific = has_oem ? load_be32(bytes + kResponseOem) : 0;
    return DOIP_OK;
}

}  // namespace
}  // namespace doip::detail

extern "C" {

DOIP_API int doip_routing_activation_request_init(const doip_addressing_s* addressing,
                                                  doip_routing_activation_request_s* record,
                                                  uint16_t source_address, uint8_t activation_type,
                                                  uint8_t has_oem_specific, uint32_t oem_specific) {
    return doip::detail::init_request(addressing, record, source_address, activation_type, has_oem_specific,
                                      oem_specific);
}

DOIP_API int doip_routing_activation_request_serilize(const doip_routing_activation_request_s* record,
                                                      uint8_t* out, uint32_t capacity) {
    return doip::detail::encode_request(record, out, capacity);
}

DOIP_API int doip_routing_activation_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                        doip_routing_activation_request_s* record) {
    return doip::detail::decode_request(bytes, count, record);
}

DOIP_API int doip_routing_activation_response_init(const doip_addressing_s* addressing,
                                                   doip_routing_activation_response_s* record,
                                                   uint16_t tester_address, uint16_t entity_address,
                                                   uint8_t response_code, uint8_t has_oem_specific,
                                                   uint32_t oem_specific) {
    return doip::detail::init_response(addressing, record, tester_address, entity_address, response_code,
                                       has_oem_specific, oem_specific);
}

DOIP_API int doip_routing_activation_response_serilize(const doip_routing_activation_response_s* record,
                                                       uint8_t* out, uint32_t capacity) {
    return doip::detail::encode_response(record, out, capacity);
}

DOIP_API int doip_routing_activation_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                         doip_routing_activation_response_s* record) {
    return doip::detail::decode_response(bytes, count, record);
}

}  // extern "C"
