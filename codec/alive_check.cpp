// Alive check response (0x0008): the header and the answering tester's logical address. The request is
// a header alone (codec/header_only.cpp).
#include "codec/byte_order.h"
#include "codec/payload.h"
#include "doip.h"

using namespace doip::detail;

namespace {

constexpr uint32_t kSourceAddress = 8, kResponseSize = 10;

}  // namespace

extern "C" {

DOIP_API int doip_alive_check_response_init(const doip_addressing_s* addressing,
                                            doip_alive_check_response_s* record, uint16_t source_address) {
    if (int rc = begin_init(addressing, record, DOIP_PT_ALIVE_CHECK_RESPONSE, kResponseSize); rc != DOIP_OK) {
        return rc;
    }
    record->source_address = source_address;
    return DOIP_OK;
}

DOIP_API int doip_alive_check_response_serilize(const doip_alive_check_response_s* record, uint8_t* out,
                                                uint32_t capacity) {
    if (int rc = begin_encode(
            record, out, capacity,
            [](const doip_alive_check_response_s& r) { return needed_size(r.header, kResponseSize); });
        rc != DOIP_OK) {
        return rc;
    }
    store_be16(out + kSourceAddress, record->source_address);
    return DOIP_OK;
}

DOIP_API int doip_alive_check_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                  doip_alive_check_response_s* record) {
    if (int rc = begin_decode(DecodeOrder::kCountFirst, bytes, count, count < kResponseSize, record);
        rc != DOIP_OK) {
        return rc;
    }
    record->source_address = load_be16(bytes + kSourceAddress);
    return DOIP_OK;
}

}  // extern "C"
