// Vehicle identification: the request in its three forms (0x0001 plain, 0x0002 with EID, 0x0003 with VIN)
// and the vehicle announcement / identification response (0x0004).
#include <cstring>

#include "codec/byte_order.h"
#include "codec/header.h"
#include "codec/payload.h"
#include "doip.h"

namespace doip::detail {
namespace {

constexpr uint32_t kEidSize = 6;
constexpr uint32_t kGidSize = 6;
constexpr uint32_t kVinSize = 17;

// Wire offsets of the response fields.
constexpr uint32_t kResponseVin = 8;
constexpr uint32_t kResponseLogicalAddress = 25;
constexpr uint32_t kResponseEid = 27;
constexpr uint32_t kResponseGid = 33;
constexpr uint32_t kResponseFurtherAction = 39;
constexpr uint32_t kResponseSyncStatus = 40;
constexpr uint32_t kResponseSize = 40;
constexpr uint32_t kResponseSizeWithSync = 41;

// The identifier a request of this payload type carries after its header: 6 EID bytes, 17 VIN bytes or none.
uint32_t identifier_size(uint16_t payload_type) {
    switch (payload_type) {
        case DOIP_PT_VEHICLE_ID_EID_REQUEST:
            return kEidSize;
        case DOIP_PT_VEHICLE_ID_VIN_REQUEST:
            return kVinSize;
        default:
            return 0;
    }
}

// The identifier storage of a request (EID and VIN share it).
uint8_t* identifier(doip_vehicle_id_request_s* record) {
    return record->vin;
}
const uint8_t* identifier(const doip_vehicle_id_request_s* record) {
    return record->vin;
}

// Writes only the header and the identifier; the rest of the record is left as it was.
int init_request(const doip_addressing_s* addressing, doip_vehicle_id_request_s* record,
                 uint16_t payload_type, const uint8_t* id) {
    if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
        return rc;
    }
    const uint32_t id_size = identifier_size(payload_type);
    if (id_size != 0 && id == nullptr) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    record->header = make_header(addressing->protocol_version, payload_type, id_size);
    if (id_size != 0) {
        std::memcpy(identifier(record), id, id_size);
    }
    return DOIP_OK;
}

int encode_request(const doip_vehicle_id_request_s* record, uint8_t* out, uint32_t capacity) {
    if (int rc = check_encode_args(record, out); rc != DOIP_OK) {
        return rc;
    }
    const uint32_t id_size = identifier_size(record->header.payload_type);
    if (!fits(capacity, announced_size(record->header), uint64_t{DOIP_HEADER_SIZE} + id_size)) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    write_header(record->header, out);
    if (id_size != 0) {
        std::memcpy(out + DOIP_HEADER_SIZE, identifier(record), id_size);
    }
    return DOIP_OK;
}

int decode_request(const uint8_t* bytes, uint32_t count, doip_vehicle_id_request_s* record) {
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
    const uint32_t id_size = identifier_size(header.payload_type);
    if (count - DOIP_HEADER_SIZE < id_size) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    record->header = header;
    if (id_size != 0) {
        std::memcpy(identifier(record), bytes + DOIP_HEADER_SIZE, id_size);
    }
    return DOIP_OK;
}

int init_response(const doip_addressing_s* addressing, vehicle_id_response_s* record, const uint8_t* vin,
                  uint16_t logical_address, const uint8_t* eid, const uint8_t* gid, uint8_t further_action,
                  uint8_t has_sync_status, uint8_t sync_status) {
    if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
        return rc;
    }
    if (vin == nullptr || eid == nullptr || gid == nullptr) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    std::memset(record, 0, sizeof *record);
    record->header =
        make_header(addressing->protocol_version, DOIP_PT_VEHICLE_ID_RESPONSE,
                    (has_sync_status != 0 ? kResponseSizeWithSync : kResponseSize) - DOIP_HEADER_SIZE);
    std::memcpy(record->vin, vin, kVinSize);
    record->logical_address = logical_address;
    std::memcpy(record->eid, eid, kEidSize);
    std::memcpy(record->gid, gid, kGidSize);
    record->further_action = further_action;
    if (has_sync_status != 0) {
        record->has_sync_status = 1;
        record->sync_status = sync_status;
    }
    return DOIP_OK;
}

// Always asks for room for the sync status, whether the record carries it or not.
int encode_response(const vehicle_id_response_s* record, uint8_t* out, uint32_t capacity) {
    if (int rc = check_encode_args(record, out); rc != DOIP_OK) {
        return rc;
    }
    if (capacity < kResponseSizeWithSync) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    write_header(record->header, out);
    std::memcpy(out + kResponseVin, record->vin, kVinSize);
    store_be16(out + kResponseLogicalAddress, record->logical_address);
    std::memcpy(out + kResponseEid, record->eid, kEidSize);
    std::memcpy(out + kResponseGid, record->gid, kGidSize);
    out[kResponseFurtherAction] = record->further_action;
    if (record->has_sync_status != 0) {
        out[kResponseSyncStatus] = record->sync_status;
    }
    return DOIP_OK;
}

// The byte count, not the header, tells whether the sync status is present.
int decode_response(const uint8_t* bytes, uint32_t count, vehicle_id_response_s* record) {
    if (count != kResponseSize && count != kResponseSizeWithSync) {
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
    record->header = header;
    std::memcpy(record->vin, bytes + kResponseVin, kVinSize);
    record->logical_address = load_be16(bytes + kResponseLogicalAddress);
    std::memcpy(record->eid, bytes + kResponseEid, kEidSize);
    std::memcpy(record->gid, bytes + kResponseGid, kGidSize);
    record->further_action = bytes[kResponseFurtherAction];
    const bool has_sync = count == kResponseSizeWithSync;
    record->has_sync_status = has_sync ? 1 : 0;
    record->sync_status = has_sync ? bytes[kResponseSyncStatus] : 0;
    return DOIP_OK;
}

}  // namespace
}  // namespace doip::detail

extern "C" {

DOIP_API int doip_vehicle_id_request_init(const doip_addressing_s* addressing,
                                          doip_vehicle_id_request_s* record) {
    return doip::detail::init_request(addressing, record, DOIP_PT_VEHICLE_ID_REQUEST, nullptr);
}

DOIP_API int doip_vehicle_id_eid_request_init(const doip_addressing_s* addressing,
                                              doip_vehicle_id_request_s* record, const uint8_t* eid) {
    return doip::detail::init_request(addressing, record, DOIP_PT_VEHICLE_ID_EID_REQUEST, eid);
}

DOIP_API int doip_vehicle_id_vin_request_init(const doip_addressing_s* addressing,
                                              doip_vehicle_id_request_s* record, const uint8_t* vin) {
    return doip::detail::init_request(addressing, record, DOIP_PT_VEHICLE_ID_VIN_REQUEST, vin);
}

DOIP_API int doip_vehicle_id_request_serilize(const doip_vehicle_id_request_s* record, uint8_t* out,
                                              uint32_t capacity) {
    return doip::detail::encode_request(record, out, capacity);
}

DOIP_API int doip_vehicle_id_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                doip_vehicle_id_request_s* record) {
    return doip::detail::decode_request(bytes, count, record);
}

DOIP_API int doip_vehicle_id_response_init(const doip_addressing_s* addressing, vehicle_id_response_s* record,
                                           const uint8_t* vin, uint16_t logical_address, const uint8_t* eid,
                                           const uint8_t* gid, uint8_t further_action,
                                           uint8_t has_sync_status, uint8_t sync_status) {
    return doip::detail::init_response(addressing, record, vin, logical_address, eid, gid, further_action,
                                       has_sync_status, sync_status);
}

DOIP_API int doip_vehicle_id_response_serilize(const vehicle_id_response_s* record, uint8_t* out,
                                               uint32_t capacity) {
    return doip::detail::encode_response(record, out, capacity);
}

DOIP_API int doip_vehicle_id_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                 vehicle_id_response_s* record) {
    return doip::detail::decode_response(bytes, count, record);
}

DOIP_API int doip_vid_response(const unsigned char* bytes, unsigned int count,
                               vehicle_id_response_s* record) {
    return doip::detail::decode_response(bytes, count, record);
}

}  // extern "C"
