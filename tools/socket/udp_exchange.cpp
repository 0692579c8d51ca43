#include "udp_exchange.h"

#include <chrono>

#include "bytes.h"
#include "socket_layer.h"

namespace doip_tools {
namespace {

using Clock = std::chrono::steady_clock;

// True when the datagram is one whole DoIP message of a sensible size.
bool whole_message(const uint8_t* bytes, size_t count) {
    return count >= DOIP_HEADER_SIZE && bytes[1] == static_cast<uint8_t>(~bytes[0]) &&
           load_be32(bytes + 4) == count - DOIP_HEADER_SIZE && count - DOIP_HEADER_SIZE <= kMaxUdpPayload;
}

// Collects the datagrams that reach `socket` until `deadline`, at most `enough` of them (0: no limit).
void collect(net::Handle socket, Clock::time_point start, Clock::time_point deadline, size_t enough,
             std::vector<UdpReply>* replies, UdpSkipped* skipped) {
    UdpSkipped ignored;
    if (skipped == nullptr) {
        skipped = &ignored;
    }
    std::vector<uint8_t> buffer(65536);
    while (enough == 0 || replies->size() < enough) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || net::wait_readable(socket, static_cast<int>(left.count())) != 1) {
            break;
        }
        UdpReply reply;
        const long n = net::udp_recv_from(socket, buffer.data(), buffer.size(), &reply.from);
        if (n < 0) {
            // An ICMP port-unreachable shows up here on some systems: nobody listens there.
            continue;
        }
        if (!whole_message(buffer.data(), static_cast<size_t>(n))) {
            ++skipped->undecodable;
            continue;
        }
        if (replies->size() >= kMaxUdpReplies) {
            ++skipped->not_kept;
            continue;
        }
        reply.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        reply.bytes.assign(buffer.begin(), buffer.begin() + n);
        replies->push_back(std::move(reply));
    }
}

}  // namespace

int udp_exchange(const std::string& host, uint16_t port, const std::vector<uint8_t>& request, int timeout_ms,
                 size_t enough, std::vector<UdpReply>* replies, std::string* error, UdpSkipped* skipped) {
    net::startup();
    if (!net::is_ipv4(host)) {
        *error = "not a dotted-decimal IPv4 address: " + host;
        return DOIP_SOCKET_ERR_BAD_ADDRESS;
    }
    const net::Handle socket = net::udp_open(net::Endpoint{}, error);
    if (socket == net::kInvalid) {
        return DOIP_SOCKET_ERR_SOCKET;
    }
    const auto start = Clock::now();
    if (!net::udp_send_to(socket, net::Endpoint{host, port}, request.data(), request.size())) {
        *error = net::last_error_text();
        net::close(socket);
        return DOIP_SOCKET_ERR_SEND;
    }
    collect(socket, start, start + std::chrono::milliseconds(timeout_ms), enough, replies, skipped);
    net::close(socket);
    return DOIP_OK;
}

int udp_listen(const net::Endpoint& at, int timeout_ms, std::vector<UdpReply>* datagrams, std::string* error,
               UdpSkipped* skipped) {
    net::startup();
    if (!at.ip.empty() && !net::is_ipv4(at.ip)) {
        *error = "not a dotted-decimal IPv4 address: " + at.ip;
        return DOIP_SOCKET_ERR_BAD_ADDRESS;
    }
    const net::Handle socket = net::udp_open(at, error);
    if (socket == net::kInvalid) {
        return DOIP_SOCKET_ERR_BIND;
    }
    const auto start = Clock::now();
    collect(socket, start, start + std::chrono::milliseconds(timeout_ms), 0, datagrams, skipped);
    net::close(socket);
    return DOIP_OK;
}

}  // namespace doip_tools
