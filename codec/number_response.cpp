// The responses that carry one number after their header: the alive check response (0x0008, the answering
// tester's logical address, 2 bytes) and the diagnostic power mode information response (0x4004, the power
// mode, 1 byte). One codec serves both; their requests are a header alone (codec/header_only.cpp).
#include "codec/byte_order.h"
#include "codec/payload.h"
#include "doip.h"

using namespace doip::detail;

namespace {

// A response of `Record` whose number is the member `kNumber`, right after the header. Its decoder checks
// its arguments in `kOrder`.
template <typename Record, typename Number, Number Record::*kNumber, uint16_t kPayloadType,
          DecodeOrder kOrder>
struct NumberResponse {
    static constexpr uint32_t kSize = DOIP_HEADER_SIZE + sizeof(Number);

    static int init(const doip_addressing_s* addressing, Record* record, Number number) {
        if (int rc = begin_init(addressing, record, kPayloadType, kSize); rc != DOIP_OK) {
            return rc;
        }
        record->*kNumber = number;
        return DOIP_OK;
    }

    static int encode(const Record* record, uint8_t* out, uint32_t capacity) {
        if (int rc = begin_encode(record, out, capacity,
                                  [](const Record& r) { return needed_size(r.header, kSize); });
            rc != DOIP_OK) {
            return rc;
        }
        if constexpr (sizeof(Number) == 2) {
            store_be16(out + DOIP_HEADER_SIZE, record->*kNumber);
        } else {
            out[DOIP_HEADER_SIZE] = record->*kNumber;
        }
        return DOIP_OK;
    }

    static int decode(const uint8_t* bytes, uint32_t count, Record* record) {
        if (int rc = begin_decode(kOrder, bytes, count, count < kSize, record); rc != DOIP_OK) {
            return rc;
        }
        if constexpr (sizeof(Number) == 2) {
            record->*kNumber = load_be16(bytes + DOIP_HEADER_SIZE);
        } else {
            record->*kNumber = bytes[DOIP_HEADER_SIZE];
        }
        return DOIP_OK;
    }
};

using AliveCheckResponse =
    NumberResponse<doip_alive_check_response_s, uint16_t, &doip_alive_check_response_s::source_address,
                   DOIP_PT_ALIVE_CHECK_RESPONSE, DecodeOrder::kCountFirst>;
using PowerModeResponse =
    NumberResponse<doip_power_mode_response_s, uint8_t, &doip_power_mode_response_s::power_mode,
                   DOIP_PT_POWER_MODE_RESPONSE, DecodeOrder::kInputFirst>;

}  // namespace

extern "C" {

DOIP_API int doip_alive_check_response_init(const doip_addressing_s* addressing,
                                            doip_alive_check_response_s* record, uint16_t source_address) {
    return AliveCheckResponse::init(addressing, record, source_address);
}

DOIP_API int doip_power_mode_response_init(const doip_addressing_s* addressing,
                                           doip_power_mode_response_s* record, uint8_t power_mode) {
    return PowerModeResponse::init(addressing, record, power_mode);
}

DOIP_API int doip_alive_check_response_serilize(const doip_alive_check_response_s* record, uint8_t* out,
                                                uint32_t capacity) {
    return AliveCheckResponse::encode(record, out, capacity);
}

DOIP_API int doip_power_mode_response_serilize(const doip_power_mode_response_s* record, uint8_t* out,
                                               uint32_t capacity) {
    return PowerModeResponse::encode(record, out, capacity);
}

DOIP_API int doip_alive_check_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                  doip_alive_check_response_s* record) {
    return AliveCheckResponse::decode(bytes, count, record);
}

DOIP_API int doip_power_mode_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                 doip_power_mode_response_s* record) {
    return PowerModeResponse::decode(bytes, count, record);
}

}  // extern "C"
