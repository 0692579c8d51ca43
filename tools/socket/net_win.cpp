// Winsock implementation of the socket wrapper.
#include "net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace doip_tools::net {
namespace {

SOCKET sock_of(Handle h) {
    return static_cast<SOCKET>(h);
}

Handle handle_of(SOCKET s) {
    return s == INVALID_SOCKET ? kInvalid : static_cast<Handle>(s);
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

void set_int_option(SOCKET s, int level, int name, int value) {
    setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

bool set_blocking(SOCKET s, bool blocking) {
    u_long non_blocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &non_blocking) == 0;
}

std::string error_text(int err) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(err), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = length != 0 && text != nullptr ? std::string(text, length) : std::string();
    LocalFree(text);
    while (!out.empty() &&
           (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out.empty() ? "Winsock error " + std::to_string(err) : out;
}

bool local_port_busy(int err) {
    return err == WSAEADDRINUSE || err == WSAEADDRNOTAVAIL;
}

ConnectResult fail(SOCKET s, ConnectError error, int err) {
    if (s != INVALID_SOCKET) {
        ::closesocket(s);
    }
    ConnectResult r;
    r.error = error;
    r.text = error_text(err);
    return r;
}

// Waits for a non-blocking connect: 1 connected, 0 timeout, -1 failed (the error in *err).
int wait_connected(SOCKET s, int timeout_ms, int* err) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    // select, not WSAPoll: WSAPoll does not report a refused connect on older Windows versions.
    const int ready = ::select(0, nullptr, &writable, &failed, &limit);
    if (ready == 0) {
        *err = WSAETIMEDOUT;
        return 0;
    }
    if (ready < 0) {
        *err = WSAGetLastError();
        return -1;
    }
    int so_error = 0;
    int len = sizeof so_error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0) {
        *err = WSAGetLastError();
        return -1;
    }
    if (FD_ISSET(s, &failed) || so_error != 0) {
        *err = so_error != 0 ? so_error : WSAECONNREFUSED;
        return -1;
    }
    return 1;
}

// A socket of `type` and `protocol`, not inherited, with the socket option `option` set (0: none), bound to
// `at`; INVALID_SOCKET with `error` filled.
SOCKET bound_socket(const Endpoint& at, int type, int protocol, int option, std::string* error) {
    sockaddr_in address{};
    if (!make_address(at, &address)) {
        *error = "not a dotted-decimal IPv4 address: " + at.ip;
        return INVALID_SOCKET;
    }
    startup();
    const SOCKET s = ::socket(AF_INET, type, protocol);
    if (s == INVALID_SOCKET) {
        *error = error_text(WSAGetLastError());
        return INVALID_SOCKET;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (option != 0) {
        set_int_option(s, SOL_SOCKET, option, 1);
    }
    if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = error_text(WSAGetLastError());
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// The socket's own address (getsockname) or its peer's (getpeername).
bool name_of(Handle socket, int(WSAAPI* query)(SOCKET, sockaddr*, int*), Endpoint* out) {
    sockaddr_in address{};
    int len = sizeof address;
    if (query(sock_of(socket), reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        return false;
    }
    *out = endpoint_of(address);
    return true;
}

}  // namespace

// Winsock needs WSAStartup before its first use. Done once; never undone, since the callers cannot know
// who still uses sockets, and the process's end releases Winsock anyway.
bool startup() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        WSADATA data;
        ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return ok;
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
    startup();
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return fail(s, ConnectError::socket, WSAGetLastError());
    }
    // Not inherited by programs this process starts.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (!local.ip.empty() || local.port != 0) {
        set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1);
        if (::bind(s, reinterpret_cast<const sockaddr*>(&local_address), sizeof local_address) != 0) {
            const int err = WSAGetLastError();
            return fail(s, local_port_busy(err) ? ConnectError::local_port_busy : ConnectError::bind, err);
        }
    }
    if (!set_blocking(s, false)) {
        return fail(s, ConnectError::socket, WSAGetLastError());
    }
    if (::connect(s, reinterpret_cast<const sockaddr*>(&remote_address), sizeof remote_address) != 0) {
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) {
            return fail(s, local_port_busy(err) ? ConnectError::local_port_busy : ConnectError::refused, err);
        }
        const int connected = wait_connected(s, timeout_ms, &err);
        if (connected == 0) {
            return fail(s, ConnectError::timeout, err);
        }
        if (connected < 0) {
            return fail(s, local_port_busy(err) ? ConnectError::local_port_busy : ConnectError::refused, err);
        }
    }
    if (!set_blocking(s, true)) {
        return fail(s, ConnectError::socket, WSAGetLastError());
    }
    set_int_option(s, IPPROTO_TCP, TCP_NODELAY, 1);
    ConnectResult r;
    r.handle = handle_of(s);
    return r;
}

// Winsock takes SOMAXCONN as "the most the provider allows".
int max_listen_backlog() {
    return SOMAXCONN;
}

// No SO_REUSEADDR here: on Windows it would let another socket take over a port that is listening.
Handle tcp_listen(const Endpoint& at, int backlog, std::string* error) {
    const SOCKET s = bound_socket(at, SOCK_STREAM, IPPROTO_TCP, 0, error);
    if (s != INVALID_SOCKET && ::listen(s, backlog) != 0) {
        *error = error_text(WSAGetLastError());
        ::closesocket(s);
        return kInvalid;
    }
    return handle_of(s);
}

Handle tcp_accept(Handle listener, Endpoint* peer) {
    sockaddr_in address{};
    int len = sizeof address;
    const SOCKET s = ::accept(sock_of(listener), reinterpret_cast<sockaddr*>(&address), &len);
    if (s == INVALID_SOCKET) {
        return kInvalid;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    set_int_option(s, IPPROTO_TCP, TCP_NODELAY, 1);
    if (peer != nullptr) {
        *peer = endpoint_of(address);
    }
    return handle_of(s);
}

Handle udp_open(const Endpoint& at, std::string* error) {
    return handle_of(bound_socket(at, SOCK_DGRAM, IPPROTO_UDP, SO_BROADCAST, error));
}

bool udp_send_to(Handle socket, const Endpoint& to, const uint8_t* bytes, size_t count) {
    sockaddr_in address{};
    if (!make_address(to, &address)) {
        return false;
    }
    const int sent = ::sendto(sock_of(socket), reinterpret_cast<const char*>(bytes), static_cast<int>(count),
                              0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return sent == static_cast<int>(count);
}

long udp_recv_from(Handle socket, uint8_t* buffer, size_t capacity, Endpoint* from) {
    sockaddr_in address{};
    int len = sizeof address;
    const int n = ::recvfrom(sock_of(socket), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                             reinterpret_cast<sockaddr*>(&address), &len);
    if (n >= 0 && from != nullptr) {
        *from = endpoint_of(address);
    }
    return n;
}

bool local_endpoint(Handle socket, Endpoint* out) {
    return name_of(socket, &::getsockname, out);
}

bool peer_endpoint(Handle socket, Endpoint* out) {
    return name_of(socket, &::getpeername, out);
}

long recv_some(Handle socket, uint8_t* buffer, size_t capacity) {
    return ::recv(sock_of(socket), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
}

// Windows has no SIGPIPE: a send on a broken connection just fails.
long send_some(Handle socket, const uint8_t* bytes, size_t count) {
    const int n = ::send(sock_of(socket), reinterpret_cast<const char*>(bytes),
                         static_cast<int>(std::min<size_t>(count, 0x7FFFFFFF)), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

bool send_all(Handle socket, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const int n =
            ::send(sock_of(socket), reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
        if (n == SOCKET_ERROR) {
            return false;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool set_send_timeout(Handle socket, int timeout_ms) {
    const DWORD limit = static_cast<DWORD>(timeout_ms);
    return setsockopt(sock_of(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
                      sizeof limit) == 0;
}

int wait_readable(Handle socket, int timeout_ms) {
    WSAPOLLFD p{};
    p.fd = sock_of(socket);
    p.events = POLLRDNORM;
    const int ready = ::WSAPoll(&p, 1, timeout_ms);
    return ready < 0 ? -1 : (ready == 0 ? 0 : 1);
}

int wait_writable(Handle socket, int timeout_ms) {
    WSAPOLLFD p{};
    p.fd = sock_of(socket);
    p.events = POLLWRNORM;
    const int ready = ::WSAPoll(&p, 1, timeout_ms);
    return ready < 0 ? -1 : (ready == 0 ? 0 : 1);
}

bool set_nonblocking(Handle socket) {
    return set_blocking(sock_of(socket), false);
}

bool last_error_would_block() {
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}

// A receive blocked in another thread does not necessarily return on shutdown alone under Windows, so
// pending I/O on the socket is cancelled as well; that receive then fails, as the callers expect of a
// connection they are closing.
void shutdown_both(Handle socket) {
    if (socket != kInvalid) {
        ::shutdown(sock_of(socket), SD_BOTH);
        CancelIoEx(reinterpret_cast<HANDLE>(sock_of(socket)), nullptr);
    }
}

void close(Handle socket) {
    if (socket != kInvalid) {
        ::closesocket(sock_of(socket));
    }
}

void close_with_reset(Handle socket) {
    if (socket != kInvalid) {
        linger reset_on_close{};
        reset_on_close.l_onoff = 1;
        reset_on_close.l_linger = 0;
        setsockopt(sock_of(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset_on_close),
                   sizeof reset_on_close);
        ::closesocket(sock_of(socket));
    }
}

std::string last_error_text() {
    return error_text(WSAGetLastError());
}

bool last_error_is_reset() {
    return WSAGetLastError() == WSAECONNRESET;
}

}  // namespace doip_tools::net
