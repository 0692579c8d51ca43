// Vehicle identification: the request in its three forms (0x0001 plain, 0x0002 with EID, 0x0003 with VIN)
// and the vehicle announcement / identification response (0x0004).
#include <cstring>

#include "codec/byte_order.h"
#include "codec/payload.h"
#include "doip.h"

using namespace doip::detail;

namespace {

constexpr uint32_t kEidSize = 6, kGidSize = 6, kVinSize = 17;
// Response wire offsets and sizes, without and with the sync status byte.
constexpr uint32_t kVin = 8, kLogicalAddress = 25, kEid = 27, kGid = 33, kFurtherAction = 39,
                   kSyncStatus = 40;
constexpr uint32_t kResponseSize = 40, kResponseSizeWithSync = 41;

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

// Writes only the header and the identifier (EID and VIN share the record's `vin` storage); the rest of
// the record is left as it was.
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
        std::memcpy(record->vin, id, id_size);
    }
    return DOIP_OK;
}

// The response decoder is exported under two names.
int decode_response(const uint8_t* bytes, uint32_t count, vehicle_id_response_s* record) {
    // The byte count, not the header, tells whether the sync status is present.
    const bool has_sync = count == kResponseSizeWithSync;
    if (int rc =
            begin_decode(DecodeOrder::kCountFirst, bytes, count, count != kResponseSize && !has_sync, record);
        rc != DOIP_OK) {
        return rc;
    }
    std::memcpy(record->vin, bytes + kVin, kVinSize);
    record->logical_address = load_be16(bytes + kLogicalAddress);
    std::memcpy(record->eid, bytes + kEid, kEidSize);
    std::memcpy(record->gid, bytes + kGid, kGidSize);
    record->further_action = bytes[kFurtherAction];
    record->has_sync_status = has_sync ? 1 : 0;
    record->sync_status = has_sync ? bytes[kSyncStatus] : 0;
    return DOIP_OK;
}

}  // namespace

extern "C" {

DOIP_API int doip_vehicle_id_request_init(const doip_addressing_s* addressing,
                                          doip_vehicle_id_request_s* record) {
    return init_request(addressing, record, DOIP_PT_VEHICLE_ID_REQUEST, nullptr);
}

DOIP_API int doip_vehicle_id_eid_request_init(const doip_addressing_s* addressing,
                                              doip_vehicle_id_request_s* record, const uint8_t* eid) {
    return init_request(addressing, record, DOIP_PT_VEHICLE_ID_EID_REQUEST, eid);
}

DOIP_API int doip_vehicle_id_vin_request_init(const doip_addressing_s* addressing,
                                              doip_vehicle_id_request_s* record, const uint8_t* vin) {
    return init_request(addressing, record, DOIP_PT_VEHICLE_ID_VIN_REQUEST, vin);
}

DOIP_API int doip_vehicle_id_request_serilize(const doip_vehicle_id_request_s* record, uint8_t* out,
                                              uint32_t capacity) {
    if (int rc = begin_encode(record, out, capacity,
                              [](const doip_vehicle_id_request_s& r) {
                                  return needed_size(
                                      r.header, DOIP_HEADER_SIZE + identifier_size(r.header.payload_type));
                              });
        rc != DOIP_OK) {
        return rc;
    }
    std::memcpy(out + DOIP_HEADER_SIZE, record->vin, identifier_size(record->header.payload_type));
    return DOIP_OK;
}

DOIP_API int doip_vehicle_id_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                doip_vehicle_id_request_s* record) {
    if (int rc = begin_decode(DecodeOrder::kCountFirst, bytes, count, count == 0, record,
                              [count](const doip_package_s& header) {
                                  return count - DOIP_HEADER_SIZE < identifier_size(header.payload_type);
                              });
        rc != DOIP_OK) {
        return rc;
    }
    std::memcpy(record->vin, bytes + DOIP_HEADER_SIZE, identifier_size(record->header.payload_type));
    return DOIP_OK;
}

DOIP_API int doip_vehicle_id_response_init(const doip_addressing_s* addressing, vehicle_id_response_s* record,
                                           const uint8_t* vin, uint16_t logical_address, const uint8_t* eid,
                                           const uint8_t* gid, uint8_t further_action,
                                           uint8_t has_sync_status, uint8_t sync_status) {
    if (int rc = begin_init(addressing, record, DOIP_PT_VEHICLE_ID_RESPONSE,
                            has_sync_status != 0 ? kResponseSizeWithSync : kResponseSize,
                            vin != nullptr && eid != nullptr && gid != nullptr);
        rc != DOIP_OK) {
        return rc;
    }
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
DOIP_API int doip_vehicle_id_response_serilize(const vehicle_id_response_s* record, uint8_t* out,
                                               uint32_t capacity) {
    if (int rc = begin_encode(record, out, capacity,
                              [](const vehicle_id_response_s&) { return kResponseSizeWithSync; });
        rc != DOIP_OK) {
        return rc;
    }
    std::memcpy(out + kVin, record->vin, kVinSize);
    store_be16(out + kLogicalAddress, record->logical_address);
    std::memcpy(out + kEid, record->eid, kEidSize);
    std::memcpy(out + kGid, record->gid, kGidSize);
    out[kFurtherAction] = record->further_action;
    if (record->has_sync_status != 0) {
        out[kSyncStatus] = record->sync_status;
    }
    return DOIP_OK;
}

DOIP_API int doip_vehicle_id_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                 vehicle_id_response_s* record) {
    return decode_response(bytes, count, record);
}

DOIP_API int doip_vid_response(const unsigned char* bytes, unsigned int count,
                               vehicle_id_response_s* record) {
    return decode_response(bytes, count, record);
}

}  // extern "C"
