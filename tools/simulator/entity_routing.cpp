// The entity's answers on a TCP connection's routing: routing activation and alive check.
#include "entity.h"
#include "formatting.h"

namespace doip_tools {
namespace {

// The response codes the entity chooses by itself when it is configured to grant routing.
enum RoutingCode : uint8_t {
    kAllSocketsActive = 0x01,
    kSourceAddressDifferent = 0x02,
    kUnsupportedType = 0x06
};
// The codes that activate routing: granted, and granted once confirmed.
constexpr uint8_t kRoutingSuccessful = 0x10;
constexpr uint8_t kRoutingConfirmationRequired = 0x11;

// Default, WWH-OBD and central security.
bool known_activation_type(uint8_t type) {
    return type == 0x00 || type == 0x01 || type == 0xE0;
}

}  // namespace

uint8_t Entity::admit(Connection& connection, uint16_t source_address, uint8_t activation_type) {
    uint8_t code = options_.activation_response_code;
    std::lock_guard<std::mutex> lock(mutex_);
    if (code == kRoutingSuccessful) {
        if (!known_activation_type(activation_type)) {
            code = kUnsupportedType;
        } else if (connection.activated && connection.tester_address != source_address) {
            code = kSourceAddressDifferent;
        } else if (!connection.activated && activated_sockets_ >= options_.max_sockets) {
            code = kAllSocketsActive;
        }
    }
    if (code == kRoutingSuccessful || code == kRoutingConfirmationRequired) {
        activated_sockets_ += connection.activated ? 0 : 1;
        connection.activated = true;
        connection.tester_address = source_address;
    }
    return code;
}

Replies Entity::routing_activation(const Request& r) {
    doip_routing_activation_request_s request{};
    if (doip_routing_activation_request_deserilize(r.bytes, r.count, &request) != DOIP_OK) {
        return {};
    }
    ++activations_;
    const uint8_t code = admit(*r.connection, request.source_address, request.activation_type);
    log_event(options_, r.connection->name + ": routing activation from " + hex16(request.source_address) +
                            " type " + std::to_string(request.activation_type) + ": response code " +
                            std::to_string(code));
    const doip_addressing_s a = from_entity(r);
    doip_routing_activation_response_s record{};
    doip_routing_activation_response_init(&a, &record, request.source_address, options_.logical_address, code,
                                          request.has_oem_specific, request.oem_specific);
    return {encode(record, &doip_routing_activation_response_serilize)};
}

Replies Entity::alive_check(const Request& r) {
    const doip_addressing_s a = from_entity(r);
    doip_alive_check_response_s record{};
    doip_alive_check_response_init(&a, &record, r.connection->tester_address);
    return {encode(record, &doip_alive_check_response_serilize)};
}

}  // namespace doip_tools
