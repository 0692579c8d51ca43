// Routing activation request (0x0005) and response (0x0006), each with an optional OEM-specific field.
#include "codec/byte_order.h"
#include "codec/payload.h"
#include "doip.h"

using namespace doip::detail;

namespace {

constexpr uint32_t kOemSize = 4;
constexpr uint32_t kRequestSourceAddress = 8, kRequestActivationType = 10, kRequestReserved = 11,
                   kRequestOem = 15, kRequestSize = 15;
constexpr uint32_t kResponseTesterAddress = 8, kResponseEntityAddress = 10, kResponseCode = 12,
                   kResponseReserved = 13, kResponseOem = 17, kResponseSize = 17;

uint32_t request_size(bool has_oem) {
    return has_oem ? kRequestSize + kOemSize : kRequestSize;
}
uint32_t response_size(bool has_oem) {
    return has_oem ? kResponseSize + kOemSize : kResponseSize;
}

// Both messages end in four reserved bytes, sent as zero, and the optional OEM-specific field.
template <typename Record>
void write_reserved_and_oem(const Record& record, uint8_t* reserved) {
    store_be32(reserved, 0);
    if (record.has_oem_specific != 0) {
        store_be32(reserved + 4, record.oem_specific);
    }
}

// The payload length tells whether the OEM field is there; the header check has made sure that the bytes
// it announces have arrived.
template <typename Record>
void read_oem(const uint8_t* bytes, uint32_t oem_offset, Record* record) {
    const bool has_oem = record->header.payload_length == oem_offset + kOemSize - DOIP_HEADER_SIZE;
    record->has_oem_specific = has_oem ? 1 : 0;
    record->oem_specific = has_oem ? load_be32(bytes + oem_offset) : 0;
}

}  // namespace

extern "C" {

// The flag and the OEM value are stored as given, whatever the flag says.
DOIP_API int doip_routing_activation_request_init(const doip_addressing_s* addressing,
                                                  doip_routing_activation_request_s* record,
                                                  uint16_t source_address, uint8_t activation_type,
                                                  uint8_t has_oem_specific, uint32_t oem_specific) {
    if (int rc = begin_init(addressing, record, DOIP_PT_ROUTING_ACTIVATION_REQUEST,
                            request_size(has_oem_specific != 0));
        rc != DOIP_OK) {
        return rc;
    }
    record->source_address = source_address;
    record->activation_type = activation_type;
    record->has_oem_specific = has_oem_specific;
    record->oem_specific = oem_specific;
    return DOIP_OK;
}

// The flag, not the header, decides the size; the reserved bytes are always written as zero.
DOIP_API int doip_routing_activation_request_serilize(const doip_routing_activation_request_s* record,
                                                      uint8_t* out, uint32_t capacity) {
    if (int rc = begin_encode(
            record, out, capacity,
            [](const doip_routing_activation_request_s& r) { return request_size(r.has_oem_specific != 0); });
        rc != DOIP_OK) {
        return rc;
    }
    store_be16(out + kRequestSourceAddress, record->source_address);
    out[kRequestActivationType] = record->activation_type;
    write_reserved_and_oem(*record, out + kRequestReserved);
    return DOIP_OK;
}

// The fixed part's length is checked after the header, so a short input reports what is wrong with it.
DOIP_API int doip_routing_activation_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                        doip_routing_activation_request_s* record) {
    if (int rc = begin_decode(DecodeOrder::kCountFirst, bytes, count, count == 0, record,
                              [count](const doip_package_s&) { return count < kRequestSize; });
        rc != DOIP_OK) {
        return rc;
    }
    record->source_address = load_be16(bytes + kRequestSourceAddress);
    record->activation_type = bytes[kRequestActivationType];
    read_oem(bytes, kRequestOem, record);
    return DOIP_OK;
}

DOIP_API int doip_routing_activation_response_init(const doip_addressing_s* addressing,
                                                   doip_routing_activation_response_s* record,
                                                   uint16_t tester_address, uint16_t entity_address,
                                                   uint8_t response_code, uint8_t has_oem_specific,
                                                   uint32_t oem_specific) {
    if (int rc = begin_init(addressing, record, DOIP_PT_ROUTING_ACTIVATION_RESPONSE,
                            response_size(has_oem_specific != 0));
        rc != DOIP_OK) {
        return rc;
    }
    record->tester_address = tester_address;
    record->entity_address = entity_address;
    record->response_code = response_code;
    set_optional(&record->has_oem_specific, &record->oem_specific, has_oem_specific, oem_specific);
    return DOIP_OK;
}

// The record's `reserved` is never sent: the reserved bytes go out as zero.
DOIP_API int doip_routing_activation_response_serilize(const doip_routing_activation_response_s* record,
                                                       uint8_t* out, uint32_t capacity) {
    if (int rc = begin_encode(record, out, capacity,
                              [](const doip_routing_activation_response_s& r) {
                                  return needed_size(r.header, response_size(r.has_oem_specific != 0));
                              });
        rc != DOIP_OK) {
        return rc;
    }
    store_be16(out + kResponseTesterAddress, record->tester_address);
    store_be16(out + kResponseEntityAddress, record->entity_address);
    out[kResponseCode] = record->response_code;
    write_reserved_and_oem(*record, out + kResponseReserved);
    return DOIP_OK;
}

DOIP_API int doip_routing_activation_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                         doip_routing_activation_response_s* record) {
    if (int rc = begin_decode(DecodeOrder::kInputFirst, bytes, count, count < kResponseSize, record);
        rc != DOIP_OK) {
        return rc;
    }
    record->tester_address = load_be16(bytes + kResponseTesterAddress);
    record->entity_address = load_be16(bytes + kResponseEntityAddress);
    record->response_code = bytes[kResponseCode];
    record->reserved = load_be32(bytes + kResponseReserved);
    read_oem(bytes, kResponseOem, record);
    return DOIP_OK;
}

}  // extern "C"
