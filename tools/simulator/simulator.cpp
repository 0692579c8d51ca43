#include "simulator.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "doip.h"
#include "uds_table.h"

namespace doip_tools {

struct Simulator::Client {
    net::Handle handle = net::kInvalid;
    std::string name;
    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<bool> activated{false};  // written by the client's thread under the simulator's mutex
    uint16_t tester_address = 0;         // the client's thread only
    bool close_after_reply = false;
    bool cut_off = false;
};

namespace {

constexpr int kPollMs = 50;
constexpr uint8_t kDefaultVersion = 0x02;

// Generic header NACK codes.
constexpr uint8_t kNackIncorrectPattern = 0x00;
constexpr uint8_t kNackUnknownPayloadType = 0x01;
constexpr uint8_t kNackMessageTooLarge = 0x02;
constexpr uint8_t kNackInvalidPayloadLength = 0x04;

// Diagnostic message NACK codes.
constexpr uint8_t kDiagNackInvalidSourceAddress = 0x02;
constexpr uint8_t kDiagNackUnknownTargetAddress = 0x03;

constexpr uint8_t kRoutingSuccessful = 0x10;
constexpr uint8_t kRoutingAllSocketsActive = 0x01;
constexpr uint8_t kRoutingSourceAddressDifferent = 0x02;
constexpr uint8_t kRoutingUnsupportedType = 0x06;

uint16_t load_be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t load_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
void store_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

bool is_vehicle_id_request(uint16_t type) {
    return type == DOIP_PT_VEHICLE_ID_REQUEST || type == DOIP_PT_VEHICLE_ID_EID_REQUEST ||
           type == DOIP_PT_VEHICLE_ID_VIN_REQUEST;
}

// Versions of ISO 13400-2:2010, 2012 and 2019; 0xFF is the default version of vehicle identification
// requests.
bool supported_version(uint8_t version, uint16_t type) {
    return (version >= 0x01 && version <= 0x03) || (version == 0xFF && is_vehicle_id_request(type));
}

bool accepted_on_tcp(uint16_t type) {
    switch (type) {
        case DOIP_PT_VEHICLE_ID_REQUEST:
        case DOIP_PT_VEHICLE_ID_EID_REQUEST:
        case DOIP_PT_VEHICLE_ID_VIN_REQUEST:
        case DOIP_PT_ROUTING_ACTIVATION_REQUEST:
        case DOIP_PT_ALIVE_CHECK_REQUEST:
        case DOIP_PT_ALIVE_CHECK_RESPONSE:
        case DOIP_PT_ENTITY_STATUS_REQUEST:
        case DOIP_PT_POWER_MODE_REQUEST:
        case DOIP_PT_DIAG_MSG:
            return true;
        default:
            return false;
    }
}

bool accepted_on_udp(uint16_t type) {
    return is_vehicle_id_request(type) || type == DOIP_PT_ENTITY_STATUS_REQUEST ||
           type == DOIP_PT_POWER_MODE_REQUEST;
}

bool valid_payload_length(uint16_t type, uint32_t length) {
    switch (type) {
        case DOIP_PT_VEHICLE_ID_EID_REQUEST:
            return length == 6;
        case DOIP_PT_VEHICLE_ID_VIN_REQUEST:
            return length == 17;
        case DOIP_PT_ROUTING_ACTIVATION_REQUEST:
            return length == 7 || length == 11;
        case DOIP_PT_ALIVE_CHECK_RESPONSE:
            return length == 2;
        case DOIP_PT_DIAG_MSG:
            return length >= 5;  // source and target address and at least one UDS byte
        default:
            return length == 0;
    }
}

uint8_t reply_version_for(uint8_t request_version) {
    return request_version == 0xFF ? kDefaultVersion : request_version;
}

std::vector<uint8_t> generic_nack(uint8_t version, uint8_t code) {
    return {version, static_cast<uint8_t>(~version), 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, code};
}

doip_addressing_s addressing(uint16_t source, uint16_t target, uint8_t version) {
    doip_addressing_s a{};
    a.source_address = source;
    a.target_address = target;
    a.protocol_version = version;
    return a;
}

std::string hex_address(uint16_t a) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", a);
    return text;
}

// Checks a header as an entity does: the generic NACK code it deserves, or -1 when it is fine.
int header_nack(const uint8_t* h, bool tcp, uint32_t max_request_size) {
    const uint8_t version = h[0];
    const uint16_t type = load_be16(h + 2);
    const uint32_t length = load_be32(h + 4);
    if (version != static_cast<uint8_t>(~h[1]) || !supported_version(version, type)) {
        return kNackIncorrectPattern;
    }
    if (!(tcp ? accepted_on_tcp(type) : accepted_on_udp(type))) {
        return kNackUnknownPayloadType;
    }
    if (length > max_request_size) {
        return kNackMessageTooLarge;
    }
    if (!valid_payload_length(type, length)) {
        return kNackInvalidPayloadLength;
    }
    return -1;
}

}  // namespace

Simulator::Simulator(SimulatorOptions options) : options_(std::move(options)) {}

Simulator::~Simulator() {
    stop();
}

void Simulator::log(const std::string& line) const {
    if (options_.log) {
        options_.log(line);
    }
}

bool Simulator::start(std::string* error) {
    net::startup();
    // With port 0 the TCP port is ephemeral and UDP takes the same number, which may be taken: try again.
    for (int attempt = 0; attempt < 20; ++attempt) {
        listener_ = net::tcp_listen(net::Endpoint{options_.bind_ip, options_.port}, 64, error);
        if (listener_ == net::kInvalid) {
            return false;
        }
        net::Endpoint bound;
        net::local_endpoint(listener_, &bound);
        port_ = bound.port;
        if (!options_.udp) {
            break;
        }
        udp_ = net::udp_open(net::Endpoint{options_.bind_ip, port_}, error);
        if (udp_ != net::kInvalid) {
            break;
        }
        net::close(listener_);
        listener_ = net::kInvalid;
        if (options_.port != 0) {
            return false;
        }
    }
    if (listener_ == net::kInvalid) {
        return false;
    }
    accept_thread_ = std::thread([this] { accept_loop(); });
    if (udp_ != net::kInvalid) {
        udp_thread_ = std::thread([this] { udp_loop(); });
    }
    log("listening on " + options_.bind_ip + ":" + std::to_string(port_) +
        (options_.udp ? " (TCP and UDP)" : " (TCP)") + ", logical address " +
        hex_address(options_.logical_address));
    return true;
}

void Simulator::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
    }
    stopped_cv_.notify_all();
    if (accept_thread_.joinable()) {
        accept_thread_.join();
    }
    if (udp_thread_.joinable()) {
        udp_thread_.join();
    }
    std::list<std::shared_ptr<Client>> clients;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clients.swap(clients_);
    }
    for (const auto& client : clients) {
        net::shutdown_both(client->handle);
    }
    for (const auto& client : clients) {
        client->thread.join();
        net::close(client->handle);
    }
    net::close(listener_);
    net::close(udp_);
    listener_ = udp_ = net::kInvalid;
}

SimulatorStats Simulator::stats() const {
    SimulatorStats s;
    s.connections = connections_;
    s.activations = activations_;
    s.diagnostic_messages = diagnostic_messages_;
    s.generic_nacks = generic_nacks_;
    s.udp_requests = udp_requests_;
    return s;
}

size_t Simulator::open_connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(clients_.begin(), clients_.end(),
                                             [](const std::shared_ptr<Client>& c) { return !c->done; }));
}

bool Simulator::sleep_unless_stopped(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopped_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void Simulator::accept_loop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                return;
            }
            // Reap the threads of connections that have ended.
            for (auto it = clients_.begin(); it != clients_.end();) {
                if ((*it)->done) {
                    (*it)->thread.join();
                    net::close((*it)->handle);
                    it = clients_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        if (net::wait_readable(listener_, kPollMs) != 1) {
            continue;
        }
        net::Endpoint peer;
        const net::Handle handle = net::tcp_accept(listener_, &peer);
        if (handle == net::kInvalid) {
            continue;
        }
        auto client = std::make_shared<Client>();
        client->handle = handle;
        client->name = peer.ip + ":" + std::to_string(peer.port);
        ++connections_;
        log("connection from " + client->name);
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            net::close(handle);
            return;
        }
        client->thread = std::thread([this, client] { serve(client); });
        clients_.push_back(client);
    }
}

void Simulator::serve(const std::shared_ptr<Client>& client) {
    std::vector<uint8_t> pending;
    std::vector<uint8_t> chunk(16384);
    size_t skip = 0;
    bool open = true;
    while (open) {
        const long n = net::recv_some(client->handle, chunk.data(), chunk.size());
        if (n <= 0) {
            break;
        }
        pending.insert(pending.end(), chunk.begin(), chunk.begin() + n);
        size_t offset = 0;
        while (open) {
            if (skip > 0) {
                const size_t k = std::min(skip, pending.size() - offset);
                offset += k;
                skip -= k;
                if (skip > 0) {
                    break;
                }
                continue;
            }
            if (pending.size() - offset < DOIP_HEADER_SIZE) {
                break;
            }
            const uint8_t* h = pending.data() + offset;
            const int nack = header_nack(h, true, options_.max_request_size);
            if (nack >= 0) {
                ++generic_nacks_;
                const uint8_t version =
                    nack == kNackIncorrectPattern ? kDefaultVersion : reply_version_for(h[0]);
                log(client->name + ": generic header NACK " + std::to_string(nack));
                send_reply(*client, generic_nack(version, static_cast<uint8_t>(nack)));
                if (nack == kNackIncorrectPattern || nack == kNackInvalidPayloadLength) {
                    open = false;
                    break;
                }
                skip = load_be32(h + 4);
                offset += DOIP_HEADER_SIZE;
                continue;
            }
            const size_t length = DOIP_HEADER_SIZE + load_be32(h + 4);
            if (pending.size() - offset < length) {
                break;
            }
            const std::vector<uint8_t> message(
                pending.begin() + static_cast<std::ptrdiff_t>(offset),
                pending.begin() + static_cast<std::ptrdiff_t>(offset + length));
            offset += length;
            for (auto& reply : answer(client.get(), message)) {
                send_reply(*client, std::move(reply));
                if (client->cut_off) {
                    break;
                }
            }
            if (client->close_after_reply || client->cut_off) {
                open = false;
            }
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    net::shutdown_both(client->handle);
    log(client->name + ": connection closed");
    client->done = true;
}

void Simulator::udp_loop() {
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                return;
            }
        }
        if (net::wait_readable(udp_, kPollMs) != 1) {
            continue;
        }
        net::Endpoint from;
        const long n = net::udp_recv_from(udp_, buffer.data(), buffer.size(), &from);
        if (n < static_cast<long>(DOIP_HEADER_SIZE)) {
            continue;
        }
        ++udp_requests_;
        int nack = header_nack(buffer.data(), false, options_.max_request_size);
        if (nack < 0 && static_cast<uint32_t>(n) != DOIP_HEADER_SIZE + load_be32(buffer.data() + 4)) {
            nack = kNackInvalidPayloadLength;
        }
        std::vector<std::vector<uint8_t>> replies;
        if (nack >= 0) {
            ++generic_nacks_;
            replies.push_back(
                generic_nack(nack == kNackIncorrectPattern ? kDefaultVersion : reply_version_for(buffer[0]),
                             static_cast<uint8_t>(nack)));
        } else {
            replies = answer(nullptr, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n));
        }
        for (const auto& reply : replies) {
            net::udp_send_to(udp_, from, reply.data(), reply.size());
        }
    }
}

bool Simulator::knows_target(uint16_t address) const {
    return address == options_.logical_address ||
           std::find(options_.extra_ecu_addresses.begin(), options_.extra_ecu_addresses.end(), address) !=
               options_.extra_ecu_addresses.end();
}

std::vector<uint8_t> Simulator::vehicle_id_response(uint8_t version) const {
    const doip_addressing_s a = addressing(options_.logical_address, 0, version);
    uint8_t vin[17];
    std::string padded = options_.vin;
    padded.resize(sizeof vin, ' ');
    std::memcpy(vin, padded.data(), sizeof vin);
    vehicle_id_response_s record{};
    doip_vehicle_id_response_init(&a, &record, vin, options_.logical_address, options_.eid.data(),
                                  options_.gid.data(), 0x00, 0, 0);
    std::vector<uint8_t> out(41);
    doip_vehicle_id_response_serilize(&record, out.data(), static_cast<uint32_t>(out.size()));
    out.resize(DOIP_HEADER_SIZE + record.header.payload_length);
    return out;
}

std::vector<std::vector<uint8_t>> Simulator::answer(Client* client, const std::vector<uint8_t>& message) {
    const uint8_t* bytes = message.data();
    const auto count = static_cast<uint32_t>(message.size());
    const uint16_t type = load_be16(bytes + 2);
    const uint8_t version = reply_version_for(bytes[0]);
    std::vector<std::vector<uint8_t>> replies;

    switch (type) {
        case DOIP_PT_VEHICLE_ID_REQUEST:
        case DOIP_PT_VEHICLE_ID_EID_REQUEST:
        case DOIP_PT_VEHICLE_ID_VIN_REQUEST: {
            doip_vehicle_id_request_s request{};
            if (doip_vehicle_id_request_deserilize(bytes, count, &request) != DOIP_OK) {
                break;
            }
            std::string padded = options_.vin;
            padded.resize(17, ' ');
            const bool matches =
                type == DOIP_PT_VEHICLE_ID_REQUEST ||
                (type == DOIP_PT_VEHICLE_ID_EID_REQUEST &&
                 std::memcmp(request.eid, options_.eid.data(), 6) == 0) ||
                (type == DOIP_PT_VEHICLE_ID_VIN_REQUEST && std::memcmp(request.vin, padded.data(), 17) == 0);
            if (matches) {
                replies.push_back(vehicle_id_response(version));
            }
            break;
        }
        case DOIP_PT_ENTITY_STATUS_REQUEST: {
            const doip_addressing_s a = addressing(options_.logical_address, 0, version);
            doip_entity_status_response_s record{};
            doip_entity_status_response_init(&a, &record, options_.node_type, options_.max_sockets,
                                             static_cast<uint8_t>(std::min<size_t>(open_connections(), 255)),
                                             1, options_.max_request_size);
            std::vector<uint8_t> out(DOIP_HEADER_SIZE + record.header.payload_length);
            doip_entity_status_response_serilize(&record, out.data(), static_cast<uint32_t>(out.size()));
            replies.push_back(std::move(out));
            break;
        }
        case DOIP_PT_POWER_MODE_REQUEST: {
            const doip_addressing_s a = addressing(options_.logical_address, 0, version);
            doip_power_mode_response_s record{};
            doip_power_mode_response_init(&a, &record, options_.power_mode);
            std::vector<uint8_t> out(DOIP_HEADER_SIZE + record.header.payload_length);
            doip_power_mode_response_serilize(&record, out.data(), static_cast<uint32_t>(out.size()));
            replies.push_back(std::move(out));
            break;
        }
        case DOIP_PT_ROUTING_ACTIVATION_REQUEST: {
            doip_routing_activation_request_s request{};
            if (client == nullptr ||
                doip_routing_activation_request_deserilize(bytes, count, &request) != DOIP_OK) {
                break;
            }
            ++activations_;
            uint8_t code = options_.activation_response_code;
            {
                // Counting the activated sockets and activating this one is one step.
                std::lock_guard<std::mutex> lock(mutex_);
                if (code == kRoutingSuccessful) {
                    const bool known_type = request.activation_type == 0x00 ||
                                            request.activation_type == 0x01 ||
                                            request.activation_type == 0xE0;
                    size_t active = 0;
                    for (const auto& c : clients_) {
                        active += (c.get() != client && !c->done && c->activated) ? 1 : 0;
                    }
                    if (!known_type) {
                        code = kRoutingUnsupportedType;
                    } else if (client->activated && client->tester_address != request.source_address) {
                        code = kRoutingSourceAddressDifferent;
                    } else if (!client->activated && active >= options_.max_sockets) {
                        code = kRoutingAllSocketsActive;
                    }
                }
                if (code == kRoutingSuccessful || code == 0x11) {
                    client->activated = true;
                    client->tester_address = request.source_address;
                }
            }
            log(client->name + ": routing activation from " + hex_address(request.source_address) + " type " +
                std::to_string(request.activation_type) + ": response code " + std::to_string(code));
            const doip_addressing_s a = addressing(options_.logical_address, 0, version);
            doip_routing_activation_response_s record{};
            doip_routing_activation_response_init(&a, &record, request.source_address,
                                                  options_.logical_address, code, request.has_oem_specific,
                                                  request.oem_specific);
            std::vector<uint8_t> out(DOIP_HEADER_SIZE + record.header.payload_length);
            doip_routing_activation_response_serilize(&record, out.data(), static_cast<uint32_t>(out.size()));
            replies.push_back(std::move(out));
            break;
        }
        case DOIP_PT_ALIVE_CHECK_REQUEST: {
            const doip_addressing_s a = addressing(options_.logical_address, 0, version);
            doip_alive_check_response_s record{};
            doip_alive_check_response_init(&a, &record, client != nullptr ? client->tester_address : 0);
            std::vector<uint8_t> out(DOIP_HEADER_SIZE + record.header.payload_length);
            doip_alive_check_response_serilize(&record, out.data(), static_cast<uint32_t>(out.size()));
            replies.push_back(std::move(out));
            break;
        }
        case DOIP_PT_DIAG_MSG: {
            if (client == nullptr) {
                break;
            }
            ++diagnostic_messages_;
            doip_diagnostic_request_s* request = nullptr;
            const int parsed = doip_diag_request_parse(bytes, count, &request);
            if (parsed != DOIP_OK || request == nullptr) {
                doip_diag_msg_request_free(request);
                break;
            }
            const uint16_t tester = request->source_address;
            const uint16_t target = request->target_address;
            const std::vector<uint8_t> uds(request->user_data,
                                           request->user_data + request->user_data_length);
            doip_diag_msg_request_free(request);

            const doip_addressing_s from_ecu = addressing(target, tester, version);
            const auto acknowledgement = [&](bool positive, uint8_t code, uint32_t echo) {
                doip_diagnostic_response_s* record = doip_diag_msg_response_create(echo);
                if (positive) {
                    doip_diag_msg_ack_response_init(&from_ecu, record, code, uds.data(), echo);
                } else {
                    doip_diag_msg_nack_response_init(&from_ecu, record, code, uds.data(), echo);
                }
                std::vector<uint8_t> out(13 + echo);
                doip_diag_msg_response_serilize(record, out.data(), static_cast<uint32_t>(out.size()));
                doip_diag_msg_response_free(record);
                return out;
            };
            if (!client->activated || tester != client->tester_address) {
                log(client->name + ": diagnostic message from " + hex_address(tester) +
                    " without routing activation: NACK 0x02, closing");
                replies.push_back(acknowledgement(false, kDiagNackInvalidSourceAddress, 0));
                client->close_after_reply = true;
                break;
            }
            if (!knows_target(target)) {
                replies.push_back(acknowledgement(false, kDiagNackUnknownTargetAddress, 0));
                break;
            }
            const uint32_t echo =
                std::min<uint32_t>(options_.ack_echo_bytes, static_cast<uint32_t>(uds.size()));
            replies.push_back(acknowledgement(true, 0x00, echo));
            const std::vector<uint8_t> response = uds_response(uds, options_.vin);
            if (!response.empty()) {
                doip_diagnostic_request_s* record =
                    doip_diag_msg_request_create(static_cast<uint32_t>(response.size()));
                doip_diag_msg_request_init(&from_ecu, record, response.data(),
                                           static_cast<uint32_t>(response.size()));
                std::vector<uint8_t> out(12 + response.size());
                doip_diag_msg_request_serilize(record, out.data(), static_cast<uint32_t>(out.size()));
                doip_diag_msg_request_free(record);
                replies.push_back(std::move(out));
            }
            break;
        }
        default:
            break;  // alive check responses need no answer
    }
    return replies;
}

void Simulator::send_reply(Client& client, std::vector<uint8_t> bytes) {
    const SimulatorFaults& f = options_.faults;
    if (f.silent || client.cut_off) {
        return;
    }
    if (f.reply_delay_ms > 0 && !sleep_unless_stopped(f.reply_delay_ms)) {
        return;
    }
    if (f.reply_version >= 0) {
        bytes[0] = static_cast<uint8_t>(f.reply_version);
        bytes[1] = static_cast<uint8_t>(~bytes[0]);
    }
    if (f.bad_inverse_version) {
        bytes[1] = bytes[0];
    }
    if (f.cut_reply_to > 0 && f.cut_reply_to < bytes.size()) {
        bytes.resize(std::max<size_t>(f.cut_reply_to, DOIP_HEADER_SIZE));
        store_be32(bytes.data() + 4, static_cast<uint32_t>(bytes.size() - DOIP_HEADER_SIZE));
    }
    if (f.garbage_before_reply > 0) {
        std::vector<uint8_t> garbage(f.garbage_before_reply);
        uint8_t x = 0xAA;
        for (size_t i = 0; i < garbage.size(); ++i) {
            garbage[i] = i < 2 ? 0xAA : (x = static_cast<uint8_t>(x * 37 + 11));
        }
        net::send_all(client.handle, garbage.data(), garbage.size());
    }
    if (f.close_mid_message) {
        net::send_all(client.handle, bytes.data(), std::max<size_t>(1, bytes.size() / 2));
        log(client.name + ": closing in the middle of a reply (fault injection)");
        net::shutdown_both(client.handle);
        client.cut_off = true;
        return;
    }
    if (f.split_segment_size > 0) {
        for (size_t at = 0; at < bytes.size(); at += f.split_segment_size) {
            const size_t n = std::min<size_t>(f.split_segment_size, bytes.size() - at);
            if (!net::send_all(client.handle, bytes.data() + at, n)) {
                return;
            }
            // A pause, so that each piece leaves as a segment of its own.
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return;
    }
    net::send_all(client.handle, bytes.data(), bytes.size());
}

}  // namespace doip_tools
