// Diagnostic power mode information response (0x4004): the header and one power mode byte.
#include <cstring>

#include "codec/header.h"
#include "codec/payload.h"
#include "doip.h"

namespace doip::detail {
namespace {

constexpr uint32_t kPowerMode = 8;
constexpr uint32_t kResponseSize = 9;

int init_response(const doip_addressing_s* addressing, doip_power_mode_response_s* record,
                  uint8_t power_mode) {
    if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
        return rc;
    }
    std::memset(record, 0, sizeof *record);
    record->header = make_header(addressing->protocol_version, DOIP_PT_POWER_MODE_RESPONSE,
                                 kResponseSize - DOIP_HEADER_SIZE);
    record->power_mode = power_mode;
    return DOIP_OK;
}

int encode_response(const doip_power_mode_response_s* record, uint8_t* out, uint32_t capacity) {
    if (int rc = check_encode_args(record, out); rc != DOIP_OK) {
        return rc;
    }
    if (!fits(capacity, announced_size(record->header), kResponseSize)) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    write_header(record->header, out);
    out[kPowerMode] = record->power_mode;
    return DOIP_OK;
}

int decode_response(const uint8_t* bytes, uint32_t count, doip_power_mode_response_s* record) {
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
    record->power_mode = bytes[kPowerMode];
    return DOIP_OK;
}

}  // namespace
}  // namespace doip::detail

extern "C" {

DOIP_API int doip_power_mode_response_init(const doip_addressing_s* addressing,
                                           doip_power_mode_response_s* record, uint8_t power_mode) {
    return doip::detail::init_response(addressing, record, power_mode);
}

DOIP_API int doip_power_mode_response_serilize(const doip_power_mode_response_s* record, uint8_t* out,
                                               uint32_t capacity) {
    return doip::detail::encode_response(record, out, capacity);
}

DOIP_API int doip_power_mode_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                 doip_power_mode_response_s* record) {
    return doip::detail::decode_response(bytes, count, record);
}

}  // extern "C"
