// The entity's answers on a TCP connection's routing: routing activation with ISO 13400-2's socket
// handling (alive checks on the registered sockets when the source address is taken or every socket is
// active), and the alive check.
#include <algorithm>
#include <chrono>

#include "entity.h"
#include "formatting.h"

namespace doip_tools {
namespace {

// The response codes the entity chooses by itself when it is configured to grant routing.
constexpr uint8_t kAllSocketsActive = 0x01;
constexpr uint8_t kSourceAddressDifferent = 0x02;
constexpr uint8_t kSourceAddressActive = 0x03;
constexpr uint8_t kUnsupportedType = 0x06;
constexpr uint8_t kSecureSocketRequired = 0x07;
// The codes that activate routing: granted, and granted once confirmed.
constexpr uint8_t kRoutingSuccessful = 0x10;
constexpr uint8_t kRoutingConfirmationRequired = 0x11;

constexpr uint8_t kCentralSecurity = 0xE0;

// Default, WWH-OBD and central security.
bool known_activation_type(uint8_t type) {
    return type == 0x00 || type == 0x01 || type == kCentralSecurity;
}

// The denials after which the entity closes the socket: 0x00 unknown source address, 0x01 all sockets
// active, 0x02 a different source address on this socket, 0x03 the source address active on another one,
// 0x05 confirmation rejected, 0x06 unsupported activation type. Missing authentication (0x04) and a
// required secure connection (0x07) leave the socket open.
bool closes_socket(uint8_t code) {
    return code <= 0x06 && code != 0x04;
}

}  // namespace

uint8_t Entity::admit(Connection& connection, uint16_t source_address, uint8_t activation_type) {
    const uint8_t configured = options_.activation_response_code;
    // Before any socket handling: the tester may retry on a TLS connection, so this one stays as it is.
    if (configured == kRoutingSuccessful && activation_type == kCentralSecurity && options_.tls.require_tls &&
        !connection.secure()) {
        log_event(options_, connection.name() +
                                ": routing activation type 0xE0 needs a TLS connection "
                                "(require TLS): denied with 0x07");
        return kSecureSocketRequired;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    Registration* own = registration(connection);
    if (configured != kRoutingSuccessful) {
        if (configured == kRoutingConfirmationRequired) {
            if (own != nullptr) {
                own->tester_address = source_address;
            } else {
                registered_.push_back(Registration{connection.shared_from_this(), source_address, 0});
            }
        }
        return configured;
    }
    if (!known_activation_type(activation_type)) {
        return kUnsupportedType;
    }
    if (own != nullptr) {
        return own->tester_address == source_address ? kRoutingSuccessful : kSourceAddressDifferent;
    }
    if (const Registration* holder = holder_of(source_address)) {
        probe(lock, {holder->connection});
        if (holder_of(source_address) != nullptr) {
            return kSourceAddressActive;
        }
    }
    if (registered_.size() >= options_.max_sockets) {
        std::vector<std::shared_ptr<Connection>> all;
        for (const Registration& r : registered_) {
            all.push_back(r.connection);
        }
        probe(lock, all);
        if (registered_.size() >= options_.max_sockets) {
            return kAllSocketsActive;
        }
    }
    registered_.push_back(Registration{connection.shared_from_this(), source_address, 0});
    return kRoutingSuccessful;
}

void Entity::probe(std::unique_lock<std::mutex>& lock,
                   const std::vector<std::shared_ptr<Connection>>& targets) {
    struct Probe {
        std::shared_ptr<Connection> connection;
        uint64_t responses_before;
    };
    std::vector<Probe> probes;
    for (const auto& target : targets) {
        probes.push_back(Probe{target, registration(*target)->alive_responses});
    }
    lock.unlock();
    doip_package_s record{};
    const doip_addressing_s a = from(options_.logical_address, 0, kEntityVersion);
    doip_alive_check_request_init(&a, &record);
    Bytes request(DOIP_HEADER_SIZE);
    doip_alive_check_request_serilize(&record, request.data(), static_cast<uint32_t>(request.size()));
    for (const Probe& p : probes) {
        log_event(options_, p.connection->name() + ": alive check request");
        p.connection->send(request.data(), request.size());
    }
    lock.lock();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.alive_check_timeout_ms);
    // A connection that has ended meanwhile counts as answered: it is no longer registered anyway.
    const auto answered = [this](const Probe& p) {
        const Registration* r = registration(*p.connection);
        return r == nullptr || r->alive_responses != p.responses_before;
    };
    alive_changed_.wait_until(
        lock, deadline, [&] { return stopping_ || std::all_of(probes.begin(), probes.end(), answered); });
    std::vector<std::shared_ptr<Connection>> silent;
    for (const Probe& p : probes) {
        if (!answered(p)) {
            registered_.erase(
                std::find_if(registered_.begin(), registered_.end(),
                             [&](const Registration& r) { return r.connection == p.connection; }));
            silent.push_back(p.connection);
        }
    }
    if (silent.empty()) {
        return;
    }
    // Its send mutex may be held by a write that blocks: shut it down without the entity's lock.
    lock.unlock();
    for (const auto& connection : silent) {
        log_event(options_, connection->name() + ": no alive check response within " +
                                std::to_string(options_.alive_check_timeout_ms) + " ms, closing");
        connection->shut_down();
    }
    lock.lock();
}

Replies Entity::routing_activation(const Request& r) {
    doip_routing_activation_request_s request{};
    if (doip_routing_activation_request_deserilize(r.bytes, r.count, &request) != DOIP_OK) {
        return {};
    }
    ++activations_;
    const uint8_t code = admit(*r.connection, request.source_address, request.activation_type);
    const bool close = closes_socket(code);
    log_event(options_, r.connection->name() + ": routing activation from " + hex16(request.source_address) +
                            " type " + std::to_string(request.activation_type) + ": response code " +
                            std::to_string(code) + (close ? ", closing" : ""));
    r.connection->close_after_reply = r.connection->close_after_reply || close;
    const doip_addressing_s a = from_entity(r);
    doip_routing_activation_response_s record{};
    doip_routing_activation_response_init(&a, &record, request.source_address, options_.logical_address, code,
                                          request.has_oem_specific, request.oem_specific);
    return {encode(record, &doip_routing_activation_response_serilize)};
}

Replies Entity::alive_check(const Request& r) {
    const doip_addressing_s a = from_entity(r);
    doip_alive_check_response_s record{};
    doip_alive_check_response_init(&a, &record, tester_of(*r.connection).value_or(0));
    return {encode(record, &doip_alive_check_response_serilize)};
}

Replies Entity::alive_check_response(const Request& r) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (Registration* registered = registration(*r.connection)) {
            ++registered->alive_responses;
        }
    }
    alive_changed_.notify_all();
    return {};
}

}  // namespace doip_tools
