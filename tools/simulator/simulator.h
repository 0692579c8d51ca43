// A DoIP entity simulator (ISO 13400-2 server side) for tests, demos and trying testers without a vehicle.
//
// It listens for TCP_DATA connections and UDP_DISCOVERY datagrams on one port and answers:
//   routing activation (0x0005)  -> 0x0006 with the configured response code; the OEM field is echoed when
//                                   the request carried one
//   diagnostic message (0x8001)  -> positive ACK 0x8002, then the UDS response of uds_table.h, from the
//                                   target ECU to the tester; NACK 0x8003 code 0x03 for an unknown target,
//                                   NACK 0x02 (and close) for a source address without routing activation
//   alive check request (0x0007) -> 0x0008 with the tester's address
//   entity status (0x4001)       -> 0x4002;  power mode (0x4003) -> 0x4004
//   vehicle identification (0x0001, 0x0002 with EID, 0x0003 with VIN) -> 0x0004 when the EID/VIN match
// A bad header gets a generic NACK (0x0000): 0x00 incorrect pattern (then the connection is closed),
// 0x01 unknown payload type (message skipped), 0x02 message too large (skipped), 0x04 invalid payload length
// (then closed). The input is framed as a byte stream; each TCP connection is served by its own thread.
//
// Fault injection (SimulatorFaults) changes what goes out on TCP, for tests of a tester's error paths.
#ifndef DOIP_TOOLS_SIMULATOR_SIMULATOR_H
#define DOIP_TOOLS_SIMULATOR_SIMULATOR_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net.h"

namespace doip_tools {

struct SimulatorFaults {
    uint32_t reply_delay_ms = 0;  // every TCP reply waits this long
    bool silent = false;          // no TCP reply at all
    uint32_t cut_reply_to = 0;    // replies cut to this many bytes (at least 8), their length field adjusted
    int reply_version = -1;       // protocol version byte of replies (inverse consistent); -1: the request's
    bool bad_inverse_version = false;   // the inverse version byte of replies is wrong
    uint32_t garbage_before_reply = 0;  // bytes of garbage sent before each reply
    bool close_mid_message = false;     // sends the first half of the first reply, then closes the connection
    uint32_t split_segment_size = 0;    // replies go out in TCP segments of this many bytes (0: whole)
};

struct SimulatorOptions {
    std::string bind_ip = "127.0.0.1";
    uint16_t port = 0;  // TCP and UDP; 0: an ephemeral port (the same number for both)
    bool udp = true;
    uint16_t logical_address = 0x0CE1;
    std::vector<uint16_t> extra_ecu_addresses;  // further diagnostic targets behind the entity
    uint8_t activation_response_code = 0x10;
    std::string vin = "WDOIPSIM000000001";
    std::array<uint8_t, 6> eid = {0x02, 0x00, 0x5E, 0x00, 0x0C, 0xE1};
    std::array<uint8_t, 6> gid = {0x02, 0x00, 0x5E, 0x00, 0x00, 0x01};
    uint8_t node_type = 0x00;          // DoIP gateway
    uint8_t max_sockets = 16;          // reported in the entity status; more activated sockets get code 0x01
    uint8_t power_mode = 0x01;         // ready
    uint32_t max_request_size = 4096;  // larger messages get generic NACK 0x02
    uint32_t ack_echo_bytes = 0;       // bytes of the diagnostic request echoed in the positive ACK
    SimulatorFaults faults;
    std::function<void(const std::string&)> log;  // one line per event; may be empty
};

struct SimulatorStats {
    uint64_t connections = 0;
    uint64_t activations = 0;  // routing activation requests answered
    uint64_t diagnostic_messages = 0;
    uint64_t generic_nacks = 0;
    uint64_t udp_requests = 0;
};

class Simulator {
  public:
    explicit Simulator(SimulatorOptions options);
    // Stops it.
    ~Simulator();

    // Binds and starts serving; returns once both sockets listen. False with `error` filled on failure.
    bool start(std::string* error);
    // Closes every connection and joins every thread. Idempotent.
    void stop();

    // The TCP (and UDP) port, valid after start().
    uint16_t port() const { return port_; }
    SimulatorStats stats() const;
    // TCP connections being served.
    size_t open_connections() const;

    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    struct Client;

  private:
    void accept_loop();
    void udp_loop();
    void serve(const std::shared_ptr<Client>& client);
    void log(const std::string& line) const;
    bool sleep_unless_stopped(uint32_t ms);

    // Message handling, shared by TCP and UDP; each returns the replies to send.
    std::vector<std::vector<uint8_t>> answer(Client* client, const std::vector<uint8_t>& message);
    std::vector<uint8_t> vehicle_id_response(uint8_t version) const;
    bool knows_target(uint16_t address) const;

    void send_reply(Client& client, std::vector<uint8_t> bytes);

    const SimulatorOptions options_;
    uint16_t port_ = 0;
    net::Handle listener_ = net::kInvalid;
    net::Handle udp_ = net::kInvalid;
    std::thread accept_thread_;
    std::thread udp_thread_;

    mutable std::mutex mutex_;
    std::condition_variable stopped_cv_;
    bool stopping_ = false;
    std::list<std::shared_ptr<Client>> clients_;

    std::atomic<uint64_t> connections_{0};
    std::atomic<uint64_t> activations_{0};
    std::atomic<uint64_t> diagnostic_messages_{0};
    std::atomic<uint64_t> generic_nacks_{0};
    std::atomic<uint64_t> udp_requests_{0};
};

}  // namespace doip_tools

#endif
