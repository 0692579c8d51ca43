// A DoIP entity simulator (ISO 13400-2 server side) for tests, demos and trying testers without a vehicle.
//
// It listens for TCP_DATA connections and UDP_DISCOVERY datagrams on one port and answers:
//   routing activation (0x0005)  -> 0x0006 with the configured response code; the OEM field is echoed when
//                                   the request carried one. Denied with 0x00, 0x01, 0x02, 0x03, 0x05 or
//                                   0x06: the socket is closed after the response (0x04 and 0x07 keep it).
//                                   A source address active on another socket, or every socket active:
//                                   alive check requests (0x0007) there and a wait of A_DoIP_Ctrl; the
//                                   silent sockets are closed, and the newcomer gets 0x03 (its address
//                                   still active), 0x01 (still no room) or 0x10
//   diagnostic message (0x8001)  -> positive ACK 0x8002, then the UDS response of uds_table.h, from the
//                                   target ECU to the tester; to the functional address, one ACK and the
//                                   response of every target in address order (no NRC 0x11, 0x12, 0x31,
//                                   0x7E, 0x7F); NACK 0x8003 code 0x03 for an unknown target, NACK 0x02
//                                   (and close) for a source address without routing activation
//                                   With options.flash, the entity's own address is also a flashable ECU
//                                   (flash_ecu.h) that answers the programming services first, with
//                                   response-pending answers, late answers and dropped connections as its
//                                   faults ask
//   alive check request (0x0007) -> 0x0008 with the tester's address
//   entity status (0x4001)       -> 0x4002;  power mode (0x4003) -> 0x4004
//   vehicle identification (0x0001, 0x0002 with EID, 0x0003 with VIN) -> 0x0004 when the EID/VIN match
// A bad header gets a generic NACK (0x0000): 0x00 incorrect pattern (then the connection is closed),
// 0x01 unknown payload type (message skipped), 0x02 message too large (skipped), 0x04 invalid payload length
// (then closed). On UDP a vehicle announcement (0x0004) or a generic NACK gets nothing. The input is framed
// as a byte stream; each TCP connection is served by its own thread and closed after
// T_TCP_Initial_Inactivity without routing activation, or T_TCP_General_Inactivity without a message once
// activated, or when a message begun is not whole within the read timeout. A connection beyond
// max_connections, or one no thread can be started for, is closed at once. With SimulatorOptions::announce it
// sends 3 vehicle announcements after start.
//
// With options.tls it serves secure DoIP too: TCP_DATA over TLS on a port of its own (3496 for doip-sim),
// the same answers once the handshake is done. With require_tls a routing activation of type 0xE0 (central
// security) on a plain connection is denied with 0x07 (the socket stays open).
//
// Its parts: the server (server.h: sockets, threads, framing, timers, announcements), the entity (entity.h:
// the rules of each payload type, the answers and the registered sockets) and the fault injection
// (faults.h: SimulatorFaults applied to the replies).
#ifndef DOIP_TOOLS_SIMULATOR_SIMULATOR_H
#define DOIP_TOOLS_SIMULATOR_SIMULATOR_H

#include <chrono>
#include <cstdint>
#include <string>

#include "entity.h"
#include "server.h"
#include "simulator_options.h"

namespace doip_tools {

class Simulator {
  public:
    explicit Simulator(SimulatorOptions options);
    // Stops it.
    ~Simulator();

    // Binds and starts serving; returns once both sockets listen. False with `error` filled on failure.
    bool start(std::string* error);
    // Closes every connection and joins every thread; ends alive check waits and pending announcements at
    // once. Idempotent.
    void stop();

    // The TCP (and UDP) port, valid after start().
    uint16_t port() const { return server_.port(); }
    // The TLS port (options.tls), valid after start(); 0 without TLS.
    uint16_t tls_port() const { return server_.tls_port(); }
    SimulatorStats stats() const;
    // TCP connections being served.
    size_t open_connections() const { return server_.open_connections(); }
    // Waits until exactly `count` TCP connections are served; false when `timeout` passes first.
    bool wait_for_open_connections(size_t count, std::chrono::milliseconds timeout) const {
        return server_.wait_for_open_connections(count, timeout);
    }

    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

  private:
    const SimulatorOptions options_;
    Entity entity_;
    Server server_;
};

}  // namespace doip_tools

#endif
