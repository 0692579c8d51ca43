// POSIX implementation of the socket wrapper.
#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace doip_tools::net {
namespace {

int fd_of(Handle h) {
    return static_cast<int>(h);
}

bool make_address(const Endpoint& e, sockaddr_in* out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(e.port);
    if (e.ip.empty()) {
        out->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, e.ip.c_str(), &out->sin_addr) == 1;
}

Endpoint endpoint_of(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return Endpoint{text, ntohs(a.sin_port)};
}

void set_int_option(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);
}

bool set_blocking(int fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        return false;
    }
    return fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK)) == 0;
}

// 1 when `events` (or an error or hang-up) are pending on the socket, 0 after `timeout_ms`, -1 on failure.
int wait_for(Handle socket, short events, int timeout_ms) {
    pollfd p{fd_of(socket), events, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    return ready < 0 ? -1 : (ready == 0 ? 0 : 1);
}

std::string errno_text(int err) {
    return std::strerror(err);
}

// A connect error: the local port is busy, or `otherwise`.
ConnectError busy_or(int err, ConnectError otherwise) {
    return err == EADDRINUSE || err == EADDRNOTAVAIL ? ConnectError::local_port_busy : otherwise;
}

ConnectResult fail(int fd, ConnectError error, int err) {
    if (fd >= 0) {
        ::close(fd);
    }
    ConnectResult r;
    r.error = error;
    r.text = errno_text(err);
    return r;
}

// A socket of `type` with the socket option `option` set, bound to `at`; -1 with `error` filled.
int bound_socket(const Endpoint& at, int type, int option, std::string* error) {
    sockaddr_in address{};
    if (!make_address(at, &address)) {
        *error = "not a dotted-decimal IPv4 address: " + at.ip;
        return -1;
    }
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno_text(errno);
        return -1;
    }
    set_int_option(fd, SOL_SOCKET, option, 1);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = errno_text(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

// The socket's own address (getsockname) or its peer's (getpeername).
bool name_of(Handle socket, int (*query)(int, sockaddr*, socklen_t*), Endpoint* out) {
    sockaddr_in address{};
    socklen_t len = sizeof address;
    if (query(fd_of(socket), reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        return false;
    }
    *out = endpoint_of(address);
    return true;
}

}  // namespace

bool startup() {
    return true;
}

bool is_ipv4(const std::string& ip) {
    in_addr a{};
    return !ip.empty() && inet_pton(AF_INET, ip.c_str(), &a) == 1;
}

ConnectResult tcp_connect(const Endpoint& local, const Endpoint& remote, int timeout_ms) {
    sockaddr_in local_address{};
    sockaddr_in remote_address{};
    if (!make_address(local, &local_address) || remote.ip.empty() || !make_address(remote, &remote_address)) {
        ConnectResult r;
        r.error = ConnectError::bad_address;
        r.text = "not a dotted-decimal IPv4 address";
        return r;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return fail(-1, ConnectError::socket, errno);
    }
    if (!local.ip.empty() || local.port != 0) {
        set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local_address), sizeof local_address) != 0) {
            const int err = errno;
            return fail(fd, busy_or(err, ConnectError::bind), err);
        }
    }
    if (!set_blocking(fd, false)) {
        return fail(fd, ConnectError::socket, errno);
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote_address), sizeof remote_address) != 0) {
        int err = errno;
        if (err != EINPROGRESS) {
            return fail(fd, busy_or(err, ConnectError::refused), err);
        }
        pollfd p{fd, POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, timeout_ms);
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            return fail(fd, ConnectError::timeout, ETIMEDOUT);
        }
        socklen_t len = sizeof err;
        if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
            return fail(fd, ConnectError::refused, errno);
        }
        if (err != 0) {
            return fail(fd, busy_or(err, ConnectError::refused), err);
        }
    }
    if (!set_blocking(fd, true)) {
        return fail(fd, ConnectError::socket, errno);
    }
    set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    ConnectResult r;
    r.handle = fd;
    return r;
}

int max_listen_backlog() {
    std::ifstream somaxconn("/proc/sys/net/core/somaxconn");
    int most = 0;
    if (somaxconn >> most && most > 0) {
        return most;
    }
    return SOMAXCONN;
}

Handle tcp_listen(const Endpoint& at, int backlog, std::string* error) {
    const int fd = bound_socket(at, SOCK_STREAM, SO_REUSEADDR, error);
    if (fd >= 0 && ::listen(fd, backlog) != 0) {
        *error = errno_text(errno);
        ::close(fd);
        return kInvalid;
    }
    return fd < 0 ? kInvalid : fd;
}

Handle tcp_accept(Handle listener, Endpoint* peer) {
    sockaddr_in address{};
    socklen_t len = sizeof address;
    int fd;
    do {
        fd = ::accept4(fd_of(listener), reinterpret_cast<sockaddr*>(&address), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return kInvalid;
    }
    set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    if (peer != nullptr) {
        *peer = endpoint_of(address);
    }
    return fd;
}

Handle udp_open(const Endpoint& at, std::string* error) {
    const int fd = bound_socket(at, SOCK_DGRAM, SO_BROADCAST, error);
    return fd < 0 ? kInvalid : fd;
}

bool udp_send_to(Handle socket, const Endpoint& to, const uint8_t* bytes, size_t count) {
    sockaddr_in address{};
    if (!make_address(to, &address)) {
        return false;
    }
    const ssize_t sent = ::sendto(fd_of(socket), bytes, count, MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return sent == static_cast<ssize_t>(count);
}

long udp_recv_from(Handle socket, uint8_t* buffer, size_t capacity, Endpoint* from) {
    sockaddr_in address{};
    socklen_t len = sizeof address;
    ssize_t n;
    do {
        n = ::recvfrom(fd_of(socket), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&address), &len);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 && from != nullptr) {
        *from = endpoint_of(address);
    }
    return static_cast<long>(n);
}

bool local_endpoint(Handle socket, Endpoint* out) {
    return name_of(socket, &::getsockname, out);
}

bool peer_endpoint(Handle socket, Endpoint* out) {
    return name_of(socket, &::getpeername, out);
}

long recv_some(Handle socket, uint8_t* buffer, size_t capacity) {
    ssize_t n;
    do {
        n = ::recv(fd_of(socket), buffer, capacity, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long send_some(Handle socket, const uint8_t* bytes, size_t count) {
    ssize_t n;
    do {
        n = ::send(fd_of(socket), bytes, count, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

bool send_all(Handle socket, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t n = ::send(fd_of(socket), bytes, count, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool set_send_timeout(Handle socket, int timeout_ms) {
    const timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return setsockopt(fd_of(socket), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

int wait_readable(Handle socket, int timeout_ms) {
    return wait_for(socket, POLLIN, timeout_ms);
}

int wait_writable(Handle socket, int timeout_ms) {
    return wait_for(socket, POLLOUT, timeout_ms);
}

bool set_nonblocking(Handle socket) {
    return set_blocking(fd_of(socket), false);
}

bool last_error_would_block() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

void shutdown_both(Handle socket) {
    if (socket != kInvalid) {
        ::shutdown(fd_of(socket), SHUT_RDWR);
    }
}

void close(Handle socket) {
    if (socket != kInvalid) {
        ::close(fd_of(socket));
    }
}

void close_with_reset(Handle socket) {
    if (socket != kInvalid) {
        const linger reset_on_close{1, 0};
        setsockopt(fd_of(socket), SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close);
        ::close(fd_of(socket));
    }
}

std::string last_error_text() {
    return errno_text(errno);
}

bool last_error_is_reset() {
    return errno == ECONNRESET;
}

}  // namespace doip_tools::net
