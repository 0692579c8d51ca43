// DoIP entity status response (0x4002): node type, socket counts and the optional max data size.
#include <cstring>

#include "codec/byte_order.h"
#include "codec/header.h"
#include "codec/payload.h"
#include "doip.h"

namespace doip::detail {
namespace {

constexpr uint32_t kNodeType = 8;
constexpr uint32_t kMaxConcurrentSockets = 9;
constexpr uint32_t kOpenSockets = 10;
constexpr uint32_t kMaxDataSize = 11;
constexpr uint32_t kResponseSize = 11;
constexpr uint32_t kResponseSizeWithMaxDataSize = 15;

uint32_t wire_size(bool has_max_data_size) {
    return has_max_data_size ? kResponseSizeWithMaxDataSize : kResponseSize;
}

int init_response(const doip_addressing_s* addressing, doip_entity_status_response_s* record,
                  uint8_t node_type, uint8_t max_concurrent_sockets, uint8_t open_sockets,
                  uint8_t has_max_data_size, uint32_t max_data_size) {
    if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
        return rc;
    }
    std::memset(record, 0, sizeof *record);
    record->header = make_header(addressing->protocol_version, DOIP_PT_ENTITY_STATUS_RESPONSE,
                                 wire_size(has_max_data_size != 0) - DOIP_HEADER_SIZE);
    record->node_type = node_type;
    record->max_concurrent_sockets = max_concurrent_sockets;
    record->open_sockets = open_sockets;
    record->has_max_data_size = has_max_data_size;
    if (has_max_data_size != 0) {
        record->max_data_size = max_data_size;
    }
    return DOIP_OK;
}

int encode_response(const doip_entity_status_response_s* record, uint8_t* out, uint32_t capacity) {
    if (int rc = check_encode_args(record, out); rc != DOIP_OK) {
        return rc;
    }
    const bool has_max_data_size = record->has_max_data_size != 0;
    if (!fits(capacity, announced_size(record->header), wire_size(has_max_data_size))) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    write_header(record->header, out);
    out[kNodeType] = record->node_type;
    out[kMaxConcurrentSockets] = record->max_concurrent_sockets;
    out[kOpenSockets] = record->open_sockets;
    if (has_max_data_size) {
        store_be32(out + kMaxDataSize, record->max_data_size);
    }
    return DOIP_OK;
}

// The header's payload length, not the byte count, tells whether the max data size is present.
int decode_response(const uint8_t* bytes, uint32_t count, doip_entity_status_response_s* record) {
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
    record->node_type = bytes[kNodeType];
    record->max_concurrent_sockets = bytes[kMaxConcurrentSockets];
    record->open_sockets = bytes[kOpenSockets];
    // The header check guarantees count >= 8 + payload length, so 15 bytes are there.
    const bool has_max_data_size = header.payload_length == kResponseSizeWithMaxDataSize - DOIP_HEADER_SIZE;
    record->has_max_data_size = has_max_data_size ? 1 : 0;
    record->max_data_size = has_max_data_size ? load_be32(bytes + kMaxDataSize) : 0;
    return DOIP_OK;
}

}  // namespace
}  // namespace doip::detail

extern "C" {

DOIP_API int doip_entity_status_response_init(const doip_addressing_s* addressing,
                                              doip_entity_status_response_s* record, uint8_t node_type,
                                              uint8_t max_concurrent_sockets, uint8_t open_sockets,
                                              uint8_t has_max_data_size, uint32_t max_data_size) {
    return doip::detail::init_response(addressing, record, node_type, max_concurrent_sockets, open_sockets,
                                       has_max_data_size, max_data_size);
}

DOIP_API int doip_entity_status_response_serilize(const doip_entity_status_response_s* record, uint8_t* out,
                                                  uint32_t capacity) {
    return doip::detail::encode_response(record, out, capacity);
}

DOIP_API int doip_entity_status_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                    doip_entity_status_response_s* record) {
    return doip::detail::decode_response(bytes, count, record);
}

}  // extern "C"
