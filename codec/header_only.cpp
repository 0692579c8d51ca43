// The requests that are a generic header and nothing more: alive check (0x0007), entity status (0x4001)
// and power mode information (0x4003). One _init, one encoder and one decoder serve all three.
#include "codec/payload.h"
#include "doip.h"

using namespace doip::detail;

namespace {

int init_header_only(const doip_addressing_s* addressing, doip_package_s* record, uint16_t payload_type) {
    if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
        return rc;
    }
    *record = make_header(addressing->protocol_version, payload_type, 0);
    return DOIP_OK;
}

int encode_header_only(const doip_package_s* record, uint8_t* out, uint32_t capacity) {
    if (int rc = check_encode_args(record, out); rc != DOIP_OK) {
        return rc;
    }
    if (capacity < DOIP_HEADER_SIZE) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    write_header(*record, out);
    return DOIP_OK;
}

// The record is the header, so the header check fills it directly (and only on success).
int decode_header_only(const uint8_t* bytes, uint32_t count, doip_package_s* record) {
    if (int rc = check_decode_args(DecodeOrder::kCountFirst, bytes, count == 0, record); rc != DOIP_OK) {
        return rc;
    }
    return check_header(bytes, count, record);
}

}  // namespace

extern "C" {

DOIP_API int doip_alive_check_request_init(const doip_addressing_s* addressing, doip_package_s* record) {
    return init_header_only(addressing, record, DOIP_PT_ALIVE_CHECK_REQUEST);
}

DOIP_API int doip_entity_status_request_init(const doip_addressing_s* addressing, doip_package_s* record) {
    return init_header_only(addressing, record, DOIP_PT_ENTITY_STATUS_REQUEST);
}

DOIP_API int doip_power_mode_request_init(const doip_addressing_s* addressing, doip_package_s* record) {
    return init_header_only(addressing, record, DOIP_PT_POWER_MODE_REQUEST);
}

DOIP_API int doip_alive_check_request_serilize(const doip_package_s* record, uint8_t* out,
                                               uint32_t capacity) {
    return encode_header_only(record, out, capacity);
}

DOIP_API int doip_entity_status_request_serilize(const doip_package_s* record, uint8_t* out,
                                                 uint32_t capacity) {
    return encode_header_only(record, out, capacity);
}

DOIP_API int doip_power_mode_request_serilize(const doip_package_s* record, uint8_t* out, uint32_t capacity) {
    return encode_header_only(record, out, capacity);
}

DOIP_API int doip_alive_check_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                 doip_package_s* record) {
    return decode_header_only(bytes, count, record);
}

DOIP_API int doip_entity_status_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                   doip_package_s* record) {
    return decode_header_only(bytes, count, record);
}

DOIP_API int doip_power_mode_request_deserilize(const uint8_t* bytes, uint32_t count,
                                                doip_package_s* record) {
    return decode_header_only(bytes, count, record);
}

}  // extern "C"
