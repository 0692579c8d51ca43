// Ready-to-send discovery and diagnostic requests built from a client context's addressing.
#include <cstring>

#include "doip.h"

namespace doip::detail {
namespace {

// Builds the record first, so a null identifier is reported before anything about the output buffer.
// On -4 the whole capacity has been zeroed.
int build_vehicle_id_request(const doip_s* ctx, uint16_t payload_type, const uint8_t* id, uint8_t* out,
                             uint32_t capacity) {
    if (ctx == nullptr) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    const doip_addressing_s* addressing = DOIP_ADDRESSING(ctx);
    doip_vehicle_id_request_s record;
    int rc = DOIP_OK;
    switch (payload_type) {
        case DOIP_PT_VEHICLE_ID_EID_REQUEST:
            rc = doip_vehicle_id_eid_request_init(addressing, &record, id);
            break;
        case DOIP_PT_VEHICLE_ID_VIN_REQUEST:
            rc = doip_vehicle_id_vin_request_init(addressing, &record, id);
            break;
        default:
            rc = doip_vehicle_id_request_init(addressing, &record);
            break;
    }
    if (rc != DOIP_OK) {
        return rc;
    }
    if (out == nullptr) {
        return DOIP_ERR_NULL_OUTPUT;
    }
    std::memset(out, 0, capacity);
    if (capacity < DOIP_HEADER_SIZE + record.header.payload_length) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    return doip_vehicle_id_request_serilize(&record, out, capacity);
}

// The message is assembled in a working record on the heap, released on every path.
int build_diagnostic_request(const doip_s* ctx, const uint8_t* uds, uint32_t count, uint8_t* out,
                             uint32_t capacity) {
    if (ctx == nullptr) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    doip_diagnostic_request_s* record = doip_diag_msg_request_create(count);
    if (record == nullptr) {
        return DOIP_ERR_GENERAL;
    }
    int rc = doip_diag_msg_request_init(DOIP_ADDRESSING(ctx), record, uds, count);
    if (rc == DOIP_OK && out == nullptr) {
        rc = DOIP_ERR_NULL_OUTPUT;
    }
    if (rc == DOIP_OK) {
        std::memset(out, 0, capacity);
        rc = uint64_t{count} + 12 > capacity ? DOIP_ERR_BUFFER_TOO_SMALL
                                             : doip_diag_msg_request_serilize(record, out, capacity);
    }
    doip_diag_msg_request_free(record);
    return rc;
}

}  // namespace
}  // namespace doip::detail

extern "C" {

DOIP_API int doip_vid_request(const doip_s* ctx, unsigned char* out, unsigned int capacity) {
    return doip::detail::build_vehicle_id_request(ctx, DOIP_PT_VEHICLE_ID_REQUEST, nullptr, out, capacity);
}

DOIP_API int doip_vid_eid_request(const doip_s* ctx, const unsigned char* eid, unsigned int /*count*/,
                                  unsigned char* out, unsigned int capacity) {
    return doip::detail::build_vehicle_id_request(ctx, DOIP_PT_VEHICLE_ID_EID_REQUEST, eid, out, capacity);
}

DOIP_API int doip_vid_vin_request(const doip_s* ctx, const char* vin, unsigned int /*count*/,
                                  unsigned char* out, unsigned int capacity) {
    return doip::detail::build_vehicle_id_request(ctx, DOIP_PT_VEHICLE_ID_VIN_REQUEST,
                                                  reinterpret_cast<const uint8_t*>(vin), out, capacity);
}

DOIP_API int doip_diag_request(const doip_s* ctx, const unsigned char* uds, unsigned int count,
                               unsigned char* out, unsigned int capacity) {
    return doip::detail::build_diagnostic_request(ctx, uds, count, out, capacity);
}

}  // extern "C"
