// Diagnostic power mode information response (0x4004): the header and one power mode byte. The request is
// a header alone (codec/header_only.cpp).
#include "codec/payload.h"
#include "doip.h"

using namespace doip::detail;

namespace {

constexpr uint32_t kPowerMode = 8, kResponseSize = 9;

}  // namespace

extern "C" {

DOIP_API int doip_power_mode_response_init(const doip_addressing_s* addressing,
                                           doip_power_mode_response_s* record, uint8_t power_mode) {
    if (int rc = begin_init(addressing, record, DOIP_PT_POWER_MODE_RESPONSE, kResponseSize); rc != DOIP_OK) {
        return rc;
    }
    record->power_mode = power_mode;
    return DOIP_OK;
}

DOIP_API int doip_power_mode_response_serilize(const doip_power_mode_response_s* record, uint8_t* out,
                                               uint32_t capacity) {
    if (int rc = begin_encode(
            record, out, capacity,
            [](const doip_power_mode_response_s& r) { return needed_size(r.header, kResponseSize); });
        rc != DOIP_OK) {
        return rc;
    }
    out[kPowerMode] = record->power_mode;
    return DOIP_OK;
}

DOIP_API int doip_power_mode_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                 doip_power_mode_response_s* record) {
    if (int rc = begin_decode(DecodeOrder::kInputFirst, bytes, count, count < kResponseSize, record);
        rc != DOIP_OK) {
        return rc;
    }
    record->power_mode = bytes[kPowerMode];
    return DOIP_OK;
}

}  // extern "C"
