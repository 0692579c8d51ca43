// What the entity simulator is (its addresses, identity and limits), how it misbehaves on request (fault
// injection) and what it counts.
#ifndef DOIP_TOOLS_SIMULATOR_SIMULATOR_OPTIONS_H
#define DOIP_TOOLS_SIMULATOR_SIMULATOR_OPTIONS_H

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "flash_ecu.h"

namespace doip_tools {

// Changes to what goes out on TCP, for tests of a tester's error paths.
struct SimulatorFaults {
    uint32_t reply_delay_ms = 0;  // every TCP reply waits this long
    bool silent = false;          // no TCP reply at all
    uint32_t cut_reply_to = 0;    // replies cut to this many bytes; the length field adjusted when 8 or more
    int reply_version = -1;       // protocol version byte of replies (inverse consistent); -1: the request's
    bool bad_inverse_version = false;   // the inverse version byte of replies is wrong
    uint32_t garbage_before_reply = 0;  // bytes of garbage sent before each reply
    bool close_mid_message = false;     // sends the first half of the first reply, then closes the connection
    uint32_t split_segment_size = 0;    // replies go out in TCP segments of this many bytes (0: whole)
    // After a routing activation response that grants routing (code 0x10): this many diagnostic messages
    // nobody asked for, from the entity to the tester, in one write (62 F2 00 and a 16-bit counter each).
    uint32_t unsolicited_burst = 0;
};

// Secure DoIP: TCP_DATA over TLS on a port of its own, beside the plain one. The files are PEM.
struct SimulatorTls {
    bool enabled = false;
    uint16_t port = 0;  // 0: an ephemeral port
    std::string cert_file;
    std::string key_file;
    std::string client_ca_file;  // set: a client certificate issued by one of these CAs is required
    std::string keylog_file;  // set: the session keys are appended to it (NSS key log format, for Wireshark)
    // Routing activation type 0xE0 (central security) on a plain connection gets code 0x07.
    bool require_tls = false;
    bool allow_null_cipher = false;  // authentication-only suites (TLS 1.2) are offered too
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
    uint8_t node_type = 0x00;  // DoIP gateway
    // Activated sockets at once; one more gets code 0x01. The entity status reports it, 255 at most (its
    // field is one byte). As many as the connections a tester process opens at most (doip-tester load).
    uint32_t max_sockets = 256;
    uint8_t power_mode = 0x01;             // ready
    uint32_t max_request_size = 4096;      // larger messages get generic NACK 0x02
    uint32_t ack_echo_bytes = 0;           // bytes of the diagnostic request echoed in the positive ACK
    uint16_t functional_address = 0xE400;  // a diagnostic message to it is answered by every target
    bool close_after_reset = false;        // the connection ends after the answer to an ECU reset (11 xx)
    // ISO 13400-2's timers, shortened by tests.
    uint32_t alive_check_timeout_ms = 2000;  // A_DoIP_Ctrl: the wait for alive check responses
    uint32_t initial_inactivity_ms = 2000;   // T_TCP_Initial_Inactivity: a socket without routing activation
    uint32_t general_inactivity_ms =
        300000;  // T_TCP_General_Inactivity: an activated socket without messages
    // A message begun on TCP (even one byte of its header) that is not whole this long after its first
    // byte closes the connection, as does a reply the tester takes nothing of for this long; 0: no limit.
    uint32_t read_timeout_ms = 2000;
    // TCP connections served at once; a connection beyond them is closed at once. Well above max_sockets,
    // so that testers waiting for an alive check still get in.
    uint32_t max_connections = 512;
    // Vehicle announcements after start: off by default here so that simulators in tests and the demo
    // stay quiet (doip-sim turns them on). An empty address: the broadcast address of the bound one.
    bool announce = false;
    std::string announce_address;
    uint16_t announce_port = 13400;
    SimulatorTls tls;
    SimulatorFaults faults;
    // A flashable ECU at logical_address (memory_size > 0): it answers the programming services first.
    FlashEcuOptions flash;
    std::function<void(const std::string&)> log;  // one line per event; may be empty
};

// Passes one event line to the options' log, if there is one.
inline void log_event(const SimulatorOptions& options, const std::string& line) {
    if (options.log) {
        options.log(line);
    }
}

struct SimulatorStats {
    uint64_t connections = 0;          // TCP connections accepted, the refused ones included
    uint64_t connections_refused = 0;  // closed at once: max_connections reached, or no thread for it
    uint64_t activations = 0;          // routing activation requests answered
    uint64_t diagnostic_messages = 0;
    uint64_t generic_nacks = 0;
    uint64_t udp_requests = 0;
};

}  // namespace doip_tools

#endif
