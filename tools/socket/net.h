// A thin wrapper over the operating system's sockets: everything the socket layer, the UDP helper and the
// entity simulator need, and nothing more. The POSIX implementation is net_posix.cpp; a Winsock build only
// adds a net_win.cpp with the same functions. IPv4 only; addresses are dotted-decimal texts.
#ifndef DOIP_TOOLS_SOCKET_NET_H
#define DOIP_TOOLS_SOCKET_NET_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace doip_tools::net {

// A socket descriptor (an int on POSIX, a SOCKET on Windows); kInvalid when there is none.
using Handle = std::intptr_t;
constexpr Handle kInvalid = -1;

struct Endpoint {
    std::string ip;  // dotted-decimal IPv4; empty means "any"
    uint16_t port = 0;
};

// Why a connect attempt failed.
enum class ConnectError {
    none,
    bad_address,      // an address text is not dotted-decimal IPv4
    socket,           // no socket could be made
    local_port_busy,  // the local address/port cannot be used now (bind or connect: in use / not available)
    bind,             // another bind failure
    refused,          // the peer refused or the connection failed
    timeout           // no answer within the connect timeout
};

struct ConnectResult {
    Handle handle = kInvalid;
    ConnectError error = ConnectError::none;
    std::string text;  // the system's description of the failure
};

// Once per process before any other call (Winsock needs it); any thread. Returns false on failure.
bool startup();

// True when `ip` is a dotted-decimal IPv4 address.
bool is_ipv4(const std::string& ip);

// Connects from `local` (bound when its ip or port is set, with address reuse) to `remote`, waiting at most
// `timeout_ms`. The returned socket is blocking, with TCP_NODELAY set.
ConnectResult tcp_connect(const Endpoint& local, const Endpoint& remote, int timeout_ms);

// The longest queue of not yet accepted connections the system allows a listening socket (on Linux
// net.core.somaxconn, read at each call; elsewhere SOMAXCONN).
int max_listen_backlog();
// A listening TCP socket on ip:port (port 0: ephemeral), or kInvalid with `error` filled.
Handle tcp_listen(const Endpoint& at, int backlog, std::string* error);
// Accepts one connection (blocking); kInvalid on failure (last_error_text() says why: out of descriptors,
// the connection was aborted before it was taken, ...). The new socket has TCP_NODELAY set.
Handle tcp_accept(Handle listener, Endpoint* peer);

// A UDP socket bound to ip:port (port 0: ephemeral), broadcast permitted; kInvalid with `error` filled.
Handle udp_open(const Endpoint& at, std::string* error);
// Sends one datagram; false on failure.
bool udp_send_to(Handle socket, const Endpoint& to, const uint8_t* bytes, size_t count);
// Receives one datagram into `buffer`: its size, or -1 on failure.
long udp_recv_from(Handle socket, uint8_t* buffer, size_t capacity, Endpoint* from);

// The address a socket is bound to.
bool local_endpoint(Handle socket, Endpoint* out);
bool peer_endpoint(Handle socket, Endpoint* out);

// Reads what is there (blocking until something is): the byte count, 0 when the peer closed, -1 on error.
long recv_some(Handle socket, uint8_t* buffer, size_t capacity);
// Writes what the socket takes now (never raises SIGPIPE): the byte count, or -1 on error (on a
// non-blocking socket that is full: last_error_would_block()).
long send_some(Handle socket, const uint8_t* bytes, size_t count);
// Writes every byte (never raises SIGPIPE); false when the connection failed, or when the peer took
// nothing for the socket's send timeout.
bool send_all(Handle socket, const uint8_t* bytes, size_t count);
// A send on the socket that can write nothing for `timeout_ms` fails (0: it waits for ever). What was
// written of a message by then is lost: the caller closes the connection.
bool set_send_timeout(Handle socket, int timeout_ms);
// 1 when the socket is readable (or has an error or hang-up pending), 0 on timeout, -1 on failure.
int wait_readable(Handle socket, int timeout_ms);
// 1 when the socket can take bytes (or has an error or hang-up pending), 0 on timeout, -1 on failure.
int wait_writable(Handle socket, int timeout_ms);
// Reads and writes on the socket return at once from now on, having done what they could. False on failure.
bool set_nonblocking(Handle socket);
// True when the last socket error of the calling thread says a non-blocking call could not go on now.
bool last_error_would_block();
// Ends both directions; a thread blocked in recv_some on the socket returns. Safe on a shut socket.
void shutdown_both(Handle socket);
// Releases the descriptor. Must not race with other calls on the same handle.
void close(Handle socket);
// Releases the descriptor so that the peer sees a reset (RST) rather than an orderly close: for a peer
// that aborts a connection (the tests play one). Must not race with other calls on the same handle.
void close_with_reset(Handle socket);

// The text of the last socket error of the calling thread.
std::string last_error_text();
// True when the last socket error of the calling thread says the peer reset the connection.
bool last_error_is_reset();

}  // namespace doip_tools::net

#endif
