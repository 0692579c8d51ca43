// Tools for received messages: classify a message by type and sender, and strip the DoIP framing from a
// diagnostic message or acknowledgement in place.
#include <cstring>

#include "codec/byte_order.h"
#include "codec/diagnostic.h"
#include "codec/header.h"
#include "doip.h"

using namespace doip::detail;

namespace {

// Offset of the entity's logical address in a routing activation response.
constexpr uint32_t kRoutingEntityAddress = 10;

// Bytes of framing in front of the content of a received message, or 0 for a type that keeps its framing.
uint32_t framing_size(uint16_t payload_type) {
    switch (payload_type) {
        case DOIP_PT_DIAG_MSG:
            return kDiagMessageFixedSize;
        case DOIP_PT_DIAG_MSG_ACK:
        case DOIP_PT_DIAG_MSG_NACK:
            return kDiagAckFixedSize;
        default:
            return 0;
    }
}

}  // namespace

extern "C" {

DOIP_API explain_info_s doip_get_expalininfo(const unsigned char* bytes, unsigned int count) {
    explain_info_s info{};
    if (bytes == nullptr) {
        return info;
    }
    doip_package_s header;
    if (check_header(bytes, count, &header) != DOIP_OK) {
        return info;
    }
    DiagFixedPart fixed;
    switch (header.payload_type) {
        case DOIP_PT_DIAG_MSG:
        case DOIP_PT_DIAG_MSG_ACK:
        case DOIP_PT_DIAG_MSG_NACK: {
            if (decode_diag_fixed_part(bytes, count, framing_size(header.payload_type), &fixed) == DOIP_OK) {
                info.header = fixed.header;
                info.sender_address = fixed.source_address;
            }
            return info;
        }
        case DOIP_PT_ROUTING_ACTIVATION_RESPONSE:
            if (count >= kRoutingEntityAddress + 2) {
                info.header = header;
                info.sender_address = load_be16(bytes + kRoutingEntityAddress);
            }
            return info;
        default:
            info.header.payload_type = header.payload_type;
            return info;
    }
}

DOIP_API int doip_remove_header(doip_message_s* msg) {
    if (msg == nullptr) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    doip_package_s header;
    if (check_header(msg->data, msg->length, &header) != DOIP_OK) {
        return DOIP_OK;
    }
    const uint32_t strip = framing_size(header.payload_type);
    if (strip == 0 || msg->length < strip) {
        return DOIP_OK;
    }
    std::memmove(msg->data, msg->data + strip, msg->length - strip);
    msg->length -= strip;
    return DOIP_OK;
}

}  // extern "C"
