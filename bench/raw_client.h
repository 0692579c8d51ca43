// A tester written directly on a blocking POSIX socket: the floor the library's path is measured against.
// It frames what it reads by the header lengths and checks only what a benchmark needs.
#ifndef DOIP_BENCH_RAW_CLIENT_H
#define DOIP_BENCH_RAW_CLIENT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bytes.h"
#include "doip.h"
#include "session_support.h"  // kEntity

namespace doip_bench {

class RawClient {
  public:
    ~RawClient() { close(); }
    RawClient() = default;
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connect(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            return false;
        }
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    }

    // Routing activation of `source` (activation type 0, with the OEM field as the library sends it).
    bool activate(uint16_t source) {
        const uint8_t request[] = {0x02, 0xFD, 0x00, 0x05, 0x00, 0x00, 0x00, 0x0B, hi(source), lo(source),
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        return write_all(request, sizeof request) && read_message() &&
               type() == DOIP_PT_ROUTING_ACTIVATION_RESPONSE && frame_.size() >= 13 && frame_[12] == 0x10;
    }

    // One tester present (3E 00) from `source` to the entity: the acknowledgement, then the response.
    bool exchange(uint16_t source) {
        const uint8_t request[] = {0x02, 0xFD,       0x80,       0x01,        0x00,        0x00, 0x00,
                                   0x06, hi(source), lo(source), hi(kEntity), lo(kEntity), 0x3E, 0x00};
        return write_all(request, sizeof request) && read_message() && type() == DOIP_PT_DIAG_MSG_ACK &&
               read_message() && type() == DOIP_PT_DIAG_MSG && frame_.size() == 14 && frame_[12] == 0x7E;
    }

    // A diagnostic message from `source` to the entity whose UDS bytes the caller has put in `message`
    // from kDiagnosticHeader on (the header and addresses are written here); then its acknowledgement and
    // the response, whose UDS bytes response() gives.
    bool exchange(uint16_t source, std::vector<uint8_t>& message) {
        uint8_t* m = message.data();
        m[0] = 0x02;
        m[1] = 0xFD;
        doip_tools::store_be16(m + 2, DOIP_PT_DIAG_MSG);
        doip_tools::store_be32(m + 4, static_cast<uint32_t>(message.size() - DOIP_HEADER_SIZE));
        doip_tools::store_be16(m + 8, source);
        doip_tools::store_be16(m + 10, kEntity);
        return write_all(m, message.size()) && read_message() && type() == DOIP_PT_DIAG_MSG_ACK &&
               read_message() && type() == DOIP_PT_DIAG_MSG && frame_.size() > kDiagnosticHeader;
    }
    // The UDS bytes of the last response.
    const uint8_t* response() const { return frame_.data() + kDiagnosticHeader; }
    size_t response_size() const { return frame_.size() - kDiagnosticHeader; }

    // The generic header, then the source and target address.
    static constexpr size_t kDiagnosticHeader = DOIP_HEADER_SIZE + 4;

    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    static uint8_t hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
    static uint8_t lo(uint16_t v) { return static_cast<uint8_t>(v); }
    uint16_t type() const { return static_cast<uint16_t>(frame_[2] << 8 | frame_[3]); }

    bool write_all(const uint8_t* bytes, size_t count) {
        while (count > 0) {
            const ssize_t n = ::send(fd_, bytes, count, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            bytes += n;
            count -= static_cast<size_t>(n);
        }
        return true;
    }
    bool read_exact(uint8_t* into, size_t count) {
        while (count > 0) {
            const ssize_t n = ::recv(fd_, into, count, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            into += n;
            count -= static_cast<size_t>(n);
        }
        return true;
    }
    // One whole message: the 8-byte header, then as many payload bytes as it announces.
    bool read_message() {
        frame_.resize(DOIP_HEADER_SIZE);
        if (!read_exact(frame_.data(), DOIP_HEADER_SIZE)) {
            return false;
        }
        const uint32_t payload = static_cast<uint32_t>(frame_[4]) << 24 |
                                 static_cast<uint32_t>(frame_[5]) << 16 |
                                 static_cast<uint32_t>(frame_[6]) << 8 | frame_[7];
        if (payload > 65536) {
            return false;
        }
        frame_.resize(DOIP_HEADER_SIZE + payload);
        return read_exact(frame_.data() + DOIP_HEADER_SIZE, payload);
    }

    int fd_ = -1;
    std::vector<uint8_t> frame_;
};

}  // namespace doip_bench

#endif
