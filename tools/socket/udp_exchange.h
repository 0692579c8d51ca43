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

// What a collection passed over. A datagram is kept when it is one whole DoIP message: its header has a good
// pattern, its payload length is the rest of the datagram and at most kMaxUdpPayload (no UDP message of the
// protocol comes near it). At most kMaxUdpReplies are kept; an entity that floods the tester is not.
struct UdpSkipped {
    size_t undecodable = 0;  // datagrams that are not one whole DoIP message
    size_t not_kept = 0;     // whole messages that came after kMaxUdpReplies were kept
};

constexpr size_t kMaxUdpReplies = 256;
constexpr uint32_t kMaxUdpPayload = 1024;

// Sends `request` from an ephemeral port to host:port (a broadcast address works too) and collects the
// datagrams that come back within `timeout_ms`; it returns early once `enough` replies are in (0: wait the
// whole time, as discovery by broadcast does). 0, or a DOIP_SOCKET_ERR_* code with `error` filled. What
// was not kept is counted in `skipped` when it is given.
int udp_exchange(const std::string& host, uint16_t port, const std::vector<uint8_t>& request, int timeout_ms,
                 size_t enough, std::vector<UdpReply>* replies, std::string* error,
                 UdpSkipped* skipped = nullptr);

// Binds `at` (an empty ip: any address, so that broadcasts arrive too) and collects every datagram that comes
// within `timeout_ms`, as a tester waiting for vehicle announcements does. 0, or a DOIP_SOCKET_ERR_* code
// with `error` filled; `skipped` as for udp_exchange.
int udp_listen(const net::Endpoint& at, int timeout_ms, std::vector<UdpReply>* datagrams, std::string* error,
               UdpSkipped* skipped = nullptr);

}  // namespace doip_tools

#endif
