#include "entity.h"

#include <algorithm>

#include "bytes.h"
#include "formatting.h"

namespace doip_tools {
namespace {

constexpr uint8_t kVehicleIdDefaultVersion = 0xFF;

// The generic header NACK codes the entity gives.
enum GenericNackCode {
    kNackIncorrectPattern = 0x00,
    kNackUnknownPayloadType = 0x01,
    kNackMessageTooLarge = 0x02,
    kNackInvalidPayloadLength = 0x04,
};

template <uint32_t N>
bool exactly(uint32_t length) {
    return length == N;
}
template <uint32_t A, uint32_t B>
bool either(uint32_t length) {
    return length == A || length == B;
}
template <uint32_t N>
bool at_least(uint32_t length) {
    return length >= N;
}

uint8_t reply_version_for(uint8_t request_version) {
    return request_version == kVehicleIdDefaultVersion ? kEntityVersion : request_version;
}

}  // namespace

// clang-format off
const Entity::PayloadRule Entity::kRules[] = {
    // type                              transports   payload length  0xFF   handler
    {DOIP_PT_VEHICLE_ID_REQUEST,         kTcp | kUdp, &exactly<0>,    true,  &Entity::vehicle_id},
    {DOIP_PT_VEHICLE_ID_EID_REQUEST,     kTcp | kUdp, &exactly<6>,    true,  &Entity::vehicle_id},
    {DOIP_PT_VEHICLE_ID_VIN_REQUEST,     kTcp | kUdp, &exactly<17>,   true,  &Entity::vehicle_id},
    {DOIP_PT_ROUTING_ACTIVATION_REQUEST, kTcp,        &either<7, 11>, false, &Entity::routing_activation},
    {DOIP_PT_ALIVE_CHECK_REQUEST,        kTcp,        &exactly<0>,    false, &Entity::alive_check},
    {DOIP_PT_ALIVE_CHECK_RESPONSE,       kTcp,        &exactly<2>,    false, &Entity::alive_check_response},
    {DOIP_PT_ENTITY_STATUS_REQUEST,      kTcp | kUdp, &exactly<0>,    false, &Entity::entity_status},
    {DOIP_PT_POWER_MODE_REQUEST,         kTcp | kUdp, &exactly<0>,    false, &Entity::power_mode},
    // source and target address and at least one UDS byte
    {DOIP_PT_DIAG_MSG,                   kTcp,        &at_least<5>,   false, &Entity::diagnostic_message},
};
// clang-format on

const Entity::PayloadRule* Entity::find_rule(uint16_t type) {
    for (const PayloadRule& rule : kRules) {
        if (rule.type == type) {
            return &rule;
        }
    }
    return nullptr;
}

Entity::Entity(const SimulatorOptions& options, std::function<size_t()> open_connections)
    : options_(options),
      open_connections_(std::move(open_connections)),
      max_request_size_(options.flash.memory_size == 0
                            ? options.max_request_size
                            : std::max(options.max_request_size, options.flash.max_block_length + 12)) {
    if (options.flash.memory_size > 0) {
        FlashEcuOptions flash = options.flash;
        flash.log = [this](const std::string& line) { log_event(options_, line); };
        flash_ = std::make_unique<FlashEcu>(flash);
    }
}

void Entity::finish() {
    if (flash_ && !options_.flash.out_file.empty() && !finished_.exchange(true)) {
        std::string error;
        if (!flash_->write_out(&error)) {
            log_event(options_, "flash: " + error);
        }
    }
}

bool Entity::wait_unless_stopping(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !alive_changed_.wait_until(lock, deadline, [this] { return stopping_; });
}

// Protocol versions 1 to 3 are those of ISO 13400-2:2010, 2012 and 2019.
int Entity::header_nack(const uint8_t* header, Transport transport) const {
    const uint8_t version = header[0];
    const PayloadRule* rule = find_rule(load_be16(header + 2));
    const uint32_t length = load_be32(header + 4);
    const bool known_version =
        (version >= 0x01 && version <= 0x03) ||
        (version == kVehicleIdDefaultVersion && rule != nullptr && rule->default_version);
    if (version != static_cast<uint8_t>(~header[1]) || !known_version) {
        return kNackIncorrectPattern;
    }
    if (rule == nullptr || (rule->transports & transport) == 0) {
        return kNackUnknownPayloadType;
    }
    if (length > max_request_size_) {
        return kNackMessageTooLarge;
    }
    return rule->valid_length(length) ? -1 : kNackInvalidPayloadLength;
}

Bytes Entity::counted_nack(const uint8_t* header, int code) {
    ++generic_nacks_;
    const uint8_t version = code == kNackIncorrectPattern ? kEntityVersion : reply_version_for(header[0]);
    return {version, static_cast<uint8_t>(~version), 0x00, 0x00, 0x00, 0x00, 0x00,
            0x01,    static_cast<uint8_t>(code)};
}

HeaderVerdict Entity::check_header(const Connection& connection, const uint8_t* header) {
    const int code = header_nack(header, kTcp);
    if (code < 0) {
        return HeaderVerdict{};
    }
    log_event(options_, connection.name() + ": generic header NACK " + std::to_string(code));
    return HeaderVerdict{counted_nack(header, code),
                         code == kNackIncorrectPattern || code == kNackInvalidPayloadLength};
}

Replies Entity::answer(Connection& connection, const uint8_t* message, uint32_t count) {
    return dispatch(&connection, message, count);
}

Replies Entity::answer_datagram(const uint8_t* datagram, uint32_t count) {
    if (count < DOIP_HEADER_SIZE) {
        return {};
    }
    const uint16_t type = load_be16(datagram + 2);
    if (type == DOIP_PT_VEHICLE_ID_RESPONSE || type == DOIP_PT_GENERIC_NACK) {
        return {};
    }
    ++udp_requests_;
    int code = header_nack(datagram, kUdp);
    if (code < 0 && count != DOIP_HEADER_SIZE + load_be32(datagram + 4)) {
        code = kNackInvalidPayloadLength;
    }
    if (code >= 0) {
        return {counted_nack(datagram, code)};
    }
    return dispatch(nullptr, datagram, count);
}

Replies Entity::dispatch(Connection* connection, const uint8_t* message, uint32_t count) {
    const PayloadRule* rule = find_rule(load_be16(message + 2));
    if (rule == nullptr || rule->handler == nullptr) {
        return {};
    }
    return (this->*rule->handler)(Request{message, count, reply_version_for(message[0]), connection});
}

bool Entity::activated(const Connection& connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(registered_.begin(), registered_.end(),
                       [&](const Registration& r) { return r.connection.get() == &connection; });
}

void Entity::closed(const Connection& connection) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        registered_.erase(
            std::remove_if(registered_.begin(), registered_.end(),
                           [&](const Registration& r) { return r.connection.get() == &connection; }),
            registered_.end());
    }
    alive_changed_.notify_all();
}

void Entity::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    alive_changed_.notify_all();
}

Entity::Registration* Entity::registration(const Connection& connection) {
    for (Registration& r : registered_) {
        if (r.connection.get() == &connection) {
            return &r;
        }
    }
    return nullptr;
}

Entity::Registration* Entity::holder_of(uint16_t tester_address) {
    for (Registration& r : registered_) {
        if (r.tester_address == tester_address) {
            return &r;
        }
    }
    return nullptr;
}

std::optional<uint16_t> Entity::tester_of(const Connection& connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Registration* r = registration(connection);
    return r == nullptr ? std::nullopt : std::optional<uint16_t>(r->tester_address);
}

SimulatorStats Entity::stats() const {
    SimulatorStats s;
    s.activations = activations_;
    s.diagnostic_messages = diagnostic_messages_;
    s.generic_nacks = generic_nacks_;
    s.udp_requests = udp_requests_;
    return s;
}

bool Entity::knows_target(uint16_t address) const {
    const std::vector<uint16_t>& extra = options_.extra_ecu_addresses;
    return address == options_.logical_address ||
           std::find(extra.begin(), extra.end(), address) != extra.end();
}

std::vector<uint16_t> Entity::targets() const {
    std::vector<uint16_t> all = options_.extra_ecu_addresses;
    all.push_back(options_.logical_address);
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
}

std::string Entity::vin_of(uint16_t target) const {
    std::string vin = options_.vin;
    vin.resize(17, ' ');
    if (target != options_.logical_address) {
        vin.replace(vin.size() - 4, 4, hex16(target).substr(2));
    }
    return vin;
}

doip_addressing_s Entity::from(uint16_t source, uint16_t target, uint8_t version) {
    doip_addressing_s a{};
    a.source_address = source;
    a.target_address = target;
    a.protocol_version = version;
    return a;
}

}  // namespace doip_tools
