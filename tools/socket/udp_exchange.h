// Request/response over UDP for vehicle discovery, entity status and power mode (UDP_DISCOVERY).
#ifndef DOIP_TOOLS_SOCKET_UDP_EXCHANGE_H
#define DOIP_TOOLS_SOCKET_UDP_EXCHANGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "net.h"

namespace doip_tools {

struct UdpReply {
    net::Endpoint from;
    std::vector<uint8_t> bytes;
    double ms = 0;  // when it arrived, in milliseconds since the request went out (or the listening began)
};

// Sends `request` from an ephemeral port to host:port (a broadcast address works too) and collects the
// datagrams that come back within `timeout_ms`; it returns early once `enough` replies are in (0: wait the
// whole time, as discovery by broadcast does). 0, or a DOIP_SOCKET_ERR_* code with `error` filled.
int udp_exchange(const std::string& host, uint16_t port, const std::vector<uint8_t>& request, int timeout_ms,
                 size_t enough, std::vector<UdpReply>* replies, std::string* error);

// Binds `at` (an empty ip: any address, so that broadcasts arrive too) and collects every datagram that comes
// within `timeout_ms`, as a tester waiting for vehicle announcements does. 0, or a DOIP_SOCKET_ERR_* code
// with `error` filled.
int udp_listen(const net::Endpoint& at, int timeout_ms, std::vector<UdpReply>* datagrams, std::string* error);

}  // namespace doip_tools

#endif
