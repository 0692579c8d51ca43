// The DoIP entity behind the simulator's sockets: what it accepts and how it answers. Its rules are one
// table, a row per payload type (entity.cpp): the transports it comes on, its valid payload lengths and the
// handler that answers it. A new payload type is a row there and a handler here.
#ifndef DOIP_TOOLS_SIMULATOR_ENTITY_H
#define DOIP_TOOLS_SIMULATOR_ENTITY_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "connection.h"
#include "doip.h"
#include "flash_ecu.h"
#include "simulator_options.h"

namespace doip_tools {

using Bytes = std::vector<uint8_t>;
using Replies = std::vector<Bytes>;

enum Transport : uint8_t { kTcp = 1, kUdp = 2 };

// The protocol version of what the entity sends by itself (alive check requests, announcements), and of its
// replies to requests of the default version 0xFF.
constexpr uint8_t kEntityVersion = 0x02;

// What to do with a TCP message header.
struct HeaderVerdict {
    Bytes nack;          // the generic NACK to send; empty when the header is fine
    bool close = false;  // after the NACK: close the connection (otherwise its payload is skipped)
};

class Entity {
  public:
    // `open_connections` tells the TCP connections being served; `options` must outlive the entity.
    Entity(const SimulatorOptions& options, std::function<size_t()> open_connections);

    // A TCP message's 8 header bytes, judged as soon as they are in.
    HeaderVerdict check_header(const Connection& connection, const uint8_t* header);
    // The connection's thread. The replies to a whole TCP message whose header passed check_header. A
    // routing activation may wait up to A_DoIP_Ctrl for other connections' alive check responses (without
    // the entity's lock) and shut silent connections down. `connection` must be owned by a shared_ptr.
    Replies answer(Connection& connection, const uint8_t* message, uint32_t count);
    // The replies to a datagram (any bytes). Vehicle announcements and generic NACKs get none: two
    // entities on one network would otherwise answer each other for ever.
    Replies answer_datagram(const uint8_t* datagram, uint32_t count);
    // Any thread. Whether routing is active on the connection (its inactivity timer depends on it).
    bool activated(const Connection& connection) const;
    // The connection's thread: it has ended; its activation no longer counts.
    void closed(const Connection& connection);
    // Any thread. Ends every wait for alive check responses at once (the simulator is stopping).
    void stop();
    // Before serving: how a reply goes out at once, through the fault injection, while the connection's
    // thread goes on (the response-pending answers of the flash ECU).
    void set_sender(std::function<void(Connection&, Bytes)> send) { send_ = std::move(send); }
    // Once every connection has ended: the flash ECU's memory to its out file, if it has both; once.
    void finish();
    // The vehicle announcement (0x0004): the vehicle identification response.
    Bytes announcement() const;

    // activations, diagnostic_messages, generic_nacks and udp_requests.
    SimulatorStats stats() const;

  private:
    struct Request {
        const uint8_t* bytes;  // the whole message
        uint32_t count;
        uint8_t reply_version;   // protocol version of the replies
        Connection* connection;  // null for a datagram
    };
    using Handler = Replies (Entity::*)(const Request&);
    struct PayloadRule {
        uint16_t type;
        uint8_t transports;  // kTcp, kUdp or both
        bool (*valid_length)(uint32_t payload_length);
        bool default_version;  // also accepted with the default protocol version 0xFF
        Handler handler;       // null: accepted, not answered
    };
    static const PayloadRule kRules[];
    static const PayloadRule* find_rule(uint16_t type);

    // The generic NACK code the header deserves on `transport`, or -1 when it is fine.
    int header_nack(const uint8_t* header, Transport transport) const;
    Bytes counted_nack(const uint8_t* header, int code);
    Replies dispatch(Connection* connection, const uint8_t* message, uint32_t count);

    // The handlers of kRules (entity_discovery.cpp, entity_routing.cpp, entity_diagnostic.cpp).
    Replies vehicle_id(const Request& request);
    Replies entity_status(const Request& request);
    Replies power_mode(const Request& request);
    Replies routing_activation(const Request& request);
    Replies alive_check(const Request& request);
    Replies alive_check_response(const Request& request);
    Replies diagnostic_message(const Request& request);
    // The flash ECU's answer on the wire (entity_diagnostic.cpp): the ACK, response-pending answers and the
    // final response, sent at once and with waits when the answer has them. The connection's thread.
    Replies flash_replies(Connection& connection, const doip_addressing_s& from_ecu, Bytes ack, uint8_t sid,
                          const EcuAnswer& answer);
    // Sends `reply` now; false when the connection is cut off.
    bool send_now(Connection& connection, Bytes reply);
    // Waits until `deadline`; false when stop() came first.
    bool wait_unless_stopping(std::chrono::steady_clock::time_point deadline);

    // A connection with routing activated, and the alive check responses that came on it.
    struct Registration {
        std::shared_ptr<Connection> connection;
        uint16_t tester_address;
        uint64_t alive_responses;
    };
    // The response code for a routing activation on `connection`; activates it when granted. Counting
    // the activated sockets and activating this one is one step under mutex_, around the alive checks.
    uint8_t admit(Connection& connection, uint16_t source_address, uint8_t activation_type);
    // Sends alive check requests to `targets` and waits up to A_DoIP_Ctrl for their responses with the
    // lock released; the silent ones are unregistered and shut down. Called and returns with `lock` held.
    void probe(std::unique_lock<std::mutex>& lock, const std::vector<std::shared_ptr<Connection>>& targets);
    // Under mutex_; null when routing is not active on the connection.
    Registration* registration(const Connection& connection);
    Registration* holder_of(uint16_t tester_address);
    std::optional<uint16_t> tester_of(const Connection& connection);
    bool knows_target(uint16_t address) const;
    // Every diagnostic target behind the entity, in address order: its own address and each further ECU.
    std::vector<uint16_t> targets() const;
    // The VIN a target reports: the entity's own, or for a further ECU the entity's with its last four
    // characters replaced by the ECU's address in hex.
    std::string vin_of(uint16_t target) const;
    Bytes identification(uint8_t version) const;
    // The addressing block of a reply from `source`; from the entity itself to no one in particular.
    static doip_addressing_s from(uint16_t source, uint16_t target, uint8_t version);
    doip_addressing_s from_entity(const Request& request) const {
        return from(options_.logical_address, 0, request.reply_version);
    }

    const SimulatorOptions& options_;
    const std::function<size_t()> open_connections_;
    // The largest payload taken, also the entity status's max data size: room for the flash ECU's longest
    // TransferData and its DoIP header and addresses.
    const uint32_t max_request_size_;
    std::unique_ptr<FlashEcu> flash_;  // null without flash memory
    std::function<void(Connection&, Bytes)> send_;
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::condition_variable alive_changed_;  // an alive check response came, a connection ended or stop()
    std::vector<Registration> registered_;   // under mutex_
    bool stopping_ = false;                  // under mutex_
    std::atomic<uint64_t> activations_{0};
    std::atomic<uint64_t> diagnostic_messages_{0};
    std::atomic<uint64_t> generic_nacks_{0};
    std::atomic<uint64_t> udp_requests_{0};
};

// A reply record in its wire form. `room` is the capacity the encoder asks for when it wants more than the
// message takes.
template <typename Record>
Bytes encode(const Record& record, int (*serialize)(const Record*, uint8_t*, uint32_t), size_t room = 0) {
    const size_t size = DOIP_HEADER_SIZE + record.header.payload_length;
    Bytes out(std::max(size, room));
    serialize(&record, out.data(), static_cast<uint32_t>(out.size()));
    out.resize(size);
    return out;
}

}  // namespace doip_tools

#endif
