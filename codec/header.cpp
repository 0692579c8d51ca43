#include "codec/header.h"

#include "codec/byte_order.h"

namespace doip::detail {

bool is_accepted_payload_type(uint16_t t) {
    return t <= DOIP_PT_ALIVE_CHECK_RESPONSE ||
           (t >= DOIP_PT_ENTITY_STATUS_REQUEST && t <= DOIP_PT_POWER_MODE_RESPONSE) ||
           (t >= DOIP_PT_DIAG_MSG && t <= DOIP_PT_DIAG_MSG_NACK) || t >= 0xF000;
}

int check_header(const uint8_t* bytes, uint32_t count, doip_package_s* out) {
    if (count < DOIP_HEADER_SIZE) {
        return DOIP_ERR_INCOMPLETE_MESSAGE;
    }
    if (bytes == nullptr) {
        return DOIP_ERR_NULL_INPUT;
    }
    if (out == nullptr) {
        return DOIP_ERR_NULL_RECORD;
    }
    if (bytes[0] != static_cast<uint8_t>(~bytes[1])) {
        return DOIP_ERR_BAD_PROTOCOL_VERSION;
    }
    const uint16_t payload_type = load_be16(bytes + 2);
    if (!is_accepted_payload_type(payload_type)) {
        return DOIP_ERR_UNKNOWN_PAYLOAD_TYPE;
    }
    const uint32_t payload_length = load_be32(bytes + 4);
    if (payload_length > count - DOIP_HEADER_SIZE) {
        return DOIP_ERR_INCOMPLETE_MESSAGE;
    }
    out->protocol_version = bytes[0];
    out->inverse_protocol_version = bytes[1];
    out->payload_type = payload_type;
    out->payload_length = payload_length;
    return DOIP_OK;
}

doip_package_s make_header(uint8_t version, uint16_t payload_type, uint32_t payload_length) {
    doip_package_s h{};
    h.protocol_version = version;
    h.inverse_protocol_version = static_cast<uint8_t>(~version);
    h.payload_type = payload_type;
    h.payload_length = payload_length;
    return h;
}

void write_header(const doip_package_s& header, uint8_t* out) {
    out[0] = header.protocol_version;
    out[1] = header.inverse_protocol_version;
    store_be16(out + 2, header.payload_type);
    store_be32(out + 4, header.payload_length);
}

}  // namespace doip::detail

extern "C" DOIP_API int doip_deserialize(const unsigned char* bytes, unsigned int count,
                                         doip_package_s* out) {
    return doip::detail::check_header(bytes, count, out);
}
