// Alive check response (0x0008): the header and the answering tester's logical address.
#include <cstring>

#include "codec/byte_order.h"
#include "codec/header.h"
#include "codec/payload.h"
#include "doip.h"

namespace doip::detail {
namespace {

constexpr uint32_t kSourceAddress = 8;
constexpr uint32_t kResponseSize = 10;

int init_response(const doip_addressing_s* addressing, doip_alive_check_response_s* record,
                  uint16_t source_address) {
    if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
        return rc;
    }
    std::memset(record, 0, sizeof *record);
    record->header = make_header(addressing->protocol_version, DOIP_PT_ALIVE_CHECK_RESPONSE,
                                 kResponseSize - DOIP_HEADER_SIZE);
    record->source_address = source_address;
    return DOIP_OK;
}

int encode_response(const doip_alive_check_response_s* record, uint8_t* out, uint32_t capacity) {
    if (int rc = check_encode_args(record, out); rc != DOIP_OK) {
        return rc;
    }
    if (!fits(capacity, announced_size(record->header), kResponseSize)) {
        return DOIP_ERR_BUFFER_TOO_SMALL;
    }
    write_header(record->header, out);
    store_be16(out + kSourceAddress, record->source_address);
    return DOIP_OK;
}

int decode_response(const uint8_t* bytes, uint32_t count, doip_alive_check_response_s* record) {
    if (count < kResponseSize) {
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
    record->source_address = load_be16(bytes + kSourceAddress);
    return DOIP_OK;
}

}  // namespace
}  // namespace doip::detail

extern "C" {

DOIP_API int doip_alive_check_response_init(const doip_addressing_s* addressing,
                                            doip_alive_check_response_s* record, uint16_t source_address) {
    return doip::detail::init_response(addressing, record, source_address);
}

DOIP_API int doip_alive_check_response_serilize(const doip_alive_check_response_s* record, uint8_t* out,
                                                uint32_t capacity) {
    return doip::detail::encode_response(record, out, capacity);
}

DOIP_API int doip_alive_check_response_deserilize(const uint8_t* bytes, uint32_t count,
                                                  doip_alive_check_response_s* record) {
    return doip::detail::decode_response(bytes, count, record);
}

}  // extern "C"
