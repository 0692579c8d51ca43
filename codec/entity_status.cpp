// DoIP entity status response (0x4002): node type, socket counts and the optional max data size. The
// request is a header alone (codec/header_only.cpp).
#include "codec/byte_order.h"
#include "codec/payload.h"
#include "doip.h"

using namespace doip::detail;

namespace {

constexpr uint32_t kNodeType = 8, kMaxConcurrentSockets = 9, kOpenSockets = 10, kMaxDataSize = 11;
constexpr uint32_t kResponseSize = 11, kResponseSizeWithMaxDataSize = 15;

uint32_t wire_size(bool has_max_data_size) {
    return has_max_data_size ? kResponseSizeWithMaxDataSize : kResponseSize;
}

}  // namespace

extern "C" {

DOIP_API int doip_entity_status_response_init(const doip_addressing_s* addressing,
                                              doip_entity_status_response_s* record, uint8_t node_type,
                                              uint8_t max_concurrent_sockets, uint8_t open_sockets,
                                              uint8_t has_max_data_size, uint32_t max_data_size) {
    if (int rc =
            begin_init(addressing, record, DOIP_PT_ENTITY_STATUS_RESPONSE, wire_size(has_max_data_size != 0));
        rc != DOIP_OK) {
        return rc;
    }
    record->node_type = node_type;
    record->max_concurrent_sockets = max_concurrent_sockets;
    record->open_sockets = open_sockets;
    set_optional(&record->has_max_data_size, &record->max_data_size, has_max_data_size, max_data_size);
    return DOIP_OK;
}

DOIP_API int doip_entity_status_response_serilize(const doip_entity_status_response_s* record, uint8_t* out,
                                                  uint32_t capacity) {
    if (int rc = begin_encode(record, out, capacity,
                              [](const doip_entity_status_response_s& r) {
                                  return needed_size(r.header, wire_size(r.has_max_data_size != 0));
                              });
        rc != DOIP_OK) {
        return rc;
    }
    out[kNodeType] = record->node_type;
    out[kMaxConcurrentSockets] = record->max_concurrent_sockets;
    out[kOpenSockets] = record->open_sockets;
    if (record->has_max_data_size != 0) {
        store_be32(out + kMaxDataSize, record->max_data_size);
    }
    return DOIP_OK;
}

// The header's payload length, not the byte count, tells whether the max data size is present; the
// header check has made sure that the bytes it announces are there.
DOIP_API int doip_entity_status_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                    doip_entity_status_response_s* record) {
    if (int rc = begin_decode(DecodeOrder::kInputFirst, bytes, count, count < kResponseSize, record);
        rc != DOIP_OK) {
        return rc;
    }
    record->node_type = bytes[kNodeType];
    record->max_concurrent_sockets = bytes[kMaxConcurrentSockets];
    record->open_sockets = bytes[kOpenSockets];
    const bool has_max_data_size =
        record->header.payload_length == kResponseSizeWithMaxDataSize - DOIP_HEADER_SIZE;
    record->has_max_data_size = has_max_data_size ? 1 : 0;
    record->max_data_size = has_max_data_size ? load_be32(bytes + kMaxDataSize) : 0;
    return DOIP_OK;
}

}  // extern "C"
