// A reference TCP socket layer for libdoip: fills doip_socket_ops_s with real sockets and hands every DoIP
// message received either to the library's cache or to the connection's own queue.
//
// Connections are identified by the `channel` that the application passes to doip_activate (and so to the
// socket functions): one connection per channel, 0 to 255. Each connection has a serial: a number that is
// unique per opened connection in the process (1, 2, 3, ...), so messages of an earlier connection on a
// reused channel can be told apart.
//
// Where the received messages go (SocketLayerOptions::delivery, for connections opened afterwards):
//   library     every message is appended to the library's cache (doip_append_eth_message), with
//                 channel = 0 for a routing activation response (payload type 0x0006), since doip_activate
//                           waits for it on channel 0; the connection's channel for every other message;
//                 aux1    = the connection's channel, for every message (so a 0x0006 on channel 0 still
//                           names its connection);
//                 aux2    = the connection's serial.
//               An application reads them from the library's default queue (doip_get_message).
//   connection  every message goes to the connection's own queue (an Inbox), which one thread of the
//               application reads with take(): one hand-over per read of the socket, from the receive
//               thread straight to the reader, and no copy beyond the one out of the receive buffer. Only
//               what the library itself waits for, the routing activation response, is also appended to
//               its cache as above (for doip_activate's own listener; the copy on the default queue is
//               taken off again, so that queue stays empty). A tester with several connections reads each
//               on its own thread.
//
// One receive thread per connection frames the byte stream (MessageFramer). A header with a bad pattern
// (the inverse byte not the complement of the version byte), or one that announces more than
// `max_payload_length` payload bytes, closes the connection and is logged; a partial message is never
// handed on. A message of a payload type the library does not know is logged (level 1), counted and
// skipped whole, and the connection goes on: a tester neither answers nor closes for it. A peer that closes
// the connection in the middle of a message is logged too. The connection then stays in the table, unusable
// (send fails), until it is closed; end_reason() tells why it ended.
//
// open() binds the context's local address and port when either is set (with address reuse, so an
// activation right after a close can take the same port) and connects to the remote end within
// `connect_timeout_ms`. When that local port cannot be used at the moment (still in use towards the same
// entity), it falls back to an ephemeral port and writes the port taken into ctx->local.port, so the
// library's connection key names the real connection.
//
// The layer does not outrun the application. With library delivery, before it appends a message it looks
// at how many messages the library's queues hold for its connections (doip_msg_cache_count); while that is
// near 1000, the limit of the library's queues (which drop the oldest beyond it), the connection stops
// reading its socket, so that TCP flow control slows the entity down, and goes on when the application has
// caught up (reader_progress(), or a look every few milliseconds). What fell off the library's queue all the
// same is counted (SocketLayerStats::messages_dropped). With connection delivery the connection stops
// reading while its own queue is at its high-water mark, and goes on as soon as the reader takes a message.
//
// close() marks the connection unusable and takes its send lock before it releases the descriptor, so no
// send can write to a number that another connection has taken meanwhile. Called on the connection's own
// receive thread (from a hook the library or the layer calls there), it leaves the release to the end of
// that thread's loop, which reads no further.
//
// The library keeps one socket table per process, and so this layer is one object per process.
// All functions may be called from any thread. Log lines go to the layer's own logger: level 2 for errors
// (bad stream, failed connect or send), level 1 for events (a peer closing, a port fallback).
#ifndef DOIP_TOOLS_SOCKET_SOCKET_LAYER_H
#define DOIP_TOOLS_SOCKET_SOCKET_LAYER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "doip.h"
#include "framer.h"
#include "inbox.h"
#include "tls.h"

namespace doip_tools {

// Results of the layer's socket functions; doip_activate passes them on unchanged.
enum {
    DOIP_SOCKET_ERR_BAD_ADDRESS = -1001,      // an address of the context is not dotted-decimal IPv4
    DOIP_SOCKET_ERR_SOCKET = -1002,           // no socket could be made
    DOIP_SOCKET_ERR_BIND = -1003,             // the local address/port cannot be bound
    DOIP_SOCKET_ERR_CONNECT = -1004,          // the entity refused the connection or it failed
    DOIP_SOCKET_ERR_CONNECT_TIMEOUT = -1005,  // the entity did not answer within the connect timeout
    DOIP_SOCKET_ERR_NOT_OPEN = -1006,         // no connection on that channel
    DOIP_SOCKET_ERR_SEND = -1007,             // sending failed
    DOIP_SOCKET_ERR_CLOSED = -1008,           // the connection was closed by the peer or after a bad stream
    DOIP_SOCKET_ERR_TLS_UNAVAILABLE = -1009,  // TLS asked for, but this build has none
    DOIP_SOCKET_ERR_TLS_CONFIG = -1010,       // the TLS settings cannot be used (a file, a key mismatch)
    DOIP_SOCKET_ERR_TLS_HANDSHAKE = -1011,    // the TLS handshake failed (not TLS, an alert, ...)
    DOIP_SOCKET_ERR_TLS_VERIFY = -1012,       // the entity's certificate was not accepted
    DOIP_SOCKET_ERR_TLS_TIMEOUT = -1013,      // the TLS handshake did not complete in time
    DOIP_SOCKET_ERR_TLS_TRUNCATED = -1014,    // the entity ended the connection without TLS close_notify
    DOIP_SOCKET_ERR_TLS = -1015               // a TLS error on an established connection
};

enum class Delivery {
    library,    // every message to the library's cache
    connection  // every message to the connection's queue (take()); the library gets what it waits for
};

struct SocketLayerOptions {
    doip_logger_fn logger = nullptr;  // typically the hook given to doip_set_logger_ops
    Delivery delivery = Delivery::library;
    uint32_t max_payload_length = 65536;  // a larger announced payload closes the connection
    uint32_t connect_timeout_ms = 2000;
    bool fallback_to_ephemeral_port = true;
    // Set: every connection is TLS (the handshake within connect_timeout_ms as well); never plain TCP
    // instead, even when these settings cannot be used (open() fails then).
    std::optional<tls::ClientOptions> tls;
};

struct SocketLayerStats {
    uint64_t connections_opened = 0;
    uint64_t connections_closed = 0;
    uint64_t messages_appended = 0;      // handed on: to the library's cache or to a connection's queue
    uint64_t stream_errors = 0;          // bad header, too large, closed mid-message, receive error
    uint64_t peer_closes = 0;            // orderly closes by the peer between messages
    uint64_t unknown_payload_types = 0;  // messages of an unknown payload type skipped
    uint64_t reader_pauses = 0;          // times a connection stopped reading until its reader caught up
    uint64_t messages_dropped = 0;       // appended while the library's queue was full: its oldest fell off
    uint64_t receive_threads = 0;        // receive threads running now (not a counter)
};

// Why a connection became unusable.
enum class ConnectionEnd {
    none,                // usable, or no connection on the channel
    peer_closed,         // the peer closed it between messages
    closed_mid_message,  // the peer closed it in the middle of a message
    bad_header,          // a header with a bad pattern (version and inverse byte)
    too_large,           // a header announced more payload bytes than max_payload_length
    reset,               // the peer reset it
    receive_failed,      // another receive error
    tls_truncated,       // TLS: the peer closed the connection without close_notify
    tls_failed           // TLS: an error or an alert on the established connection
};

struct EndReason {
    ConnectionEnd cause = ConnectionEnd::none;
    std::string text;  // in words, as a tester prints it: "the entity closed the connection"
};

// Wakes a thread that waits for received messages; shared between the layer and its waiters so that a
// notification never touches a waiter that is gone.
class Waker {
  public:
    void notify();
    // Waits until notified since the last wait, or for `timeout_ms`. True when notified.
    bool wait(int timeout_ms);

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

class SocketLayer {
  public:
    static SocketLayer& instance();

    // Options for connections opened afterwards (the logger applies at once). DOIP_OK, or when the TLS
    // settings cannot be used DOIP_SOCKET_ERR_TLS_CONFIG or DOIP_SOCKET_ERR_TLS_UNAVAILABLE with `error`
    // filled (if given); every open() then fails with that code until the layer is configured again.
    int configure(const SocketLayerOptions& options, std::string* error = nullptr);
    // The table of this layer's functions, as doip_set_socket_ops takes it.
    static doip_socket_ops_s ops();
    // doip_set_socket_ops(ops()).
    static void install();

    // The three socket functions (their static forms are in ops()). `ctx` may be null for close.
    int open(uint8_t channel, doip_s* ctx);
    int send(uint8_t channel, const uint8_t* bytes, uint32_t length);
    int close(uint8_t channel);
    // Closes every connection and joins every receive thread.
    void close_all();

    // True while the channel's connection is connected and receiving.
    bool is_open(uint8_t channel) const;
    // True while the channel's connection is usable and its serial is `serial` (0: any serial).
    bool is_open(uint8_t channel, uint32_t serial) const;
    // Why the channel's connection became unusable; `cause` none while it is usable or when there is none.
    // Set before the connection turns unusable and before the wakers hear of it.
    EndReason end_reason(uint8_t channel) const;
    // Why the last open() on the channel failed, in words (the system's or OpenSSL's reason); empty when it
    // succeeded.
    std::string open_failure(uint8_t channel) const;
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" for a TLS connection on the channel; empty for plain TCP or none.
    std::string security(uint8_t channel) const;
    // The serial of the channel's connection (its aux2), 0 when there is none.
    uint32_t serial(uint8_t channel) const;
    // Connection delivery: the messages on the channel's queue, not yet taken.
    size_t queued(uint8_t channel) const;
    // Connections in the table, usable or not (closed ones are gone).
    size_t connection_count() const;
    SocketLayerStats stats() const;

    // Any thread (library delivery): the application has taken messages off the library's queue;
    // connections that wait for it look again at once.
    void reader_progress();

    // Connection delivery: the oldest message of the connection on `channel` whose serial is `serial` (0: any
    // serial), waiting at most `timeout`. `ended` as soon as that connection is unusable and all it sent is
    // taken, or gone (closed, or replaced by a connection with another serial). One reader per connection.
    Inbox::Taken take(uint8_t channel, uint32_t serial, ReceivedMessage* out,
                      std::chrono::milliseconds timeout);

    // `waker` is notified after every appended message and whenever a connection becomes unusable (until
    // removed).
    void add_waker(const std::shared_ptr<Waker>& waker);
    void remove_waker(const std::shared_ptr<Waker>& waker);

    // English text of a DOIP_SOCKET_ERR_* code, or nullptr for another code.
    static const char* error_text(int code);

    SocketLayer(const SocketLayer&) = delete;
    SocketLayer& operator=(const SocketLayer&) = delete;
    ~SocketLayer();

    struct Connection;

  private:
    SocketLayer() = default;

    using LogLines = std::vector<std::pair<int, std::string>>;

    void receive(const std::shared_ptr<Connection>& connection);
    // One read of the socket (which must hold bytes, or the call waits) and everything framed from it handed
    // on, with the read lock held. False when the stream ended (its end reason set) or the connection closes.
    // Log lines are collected, to be flushed once the lock is released.
    bool read_once(Connection& connection, LogLines& lines);
    // After the stream's end and its log lines: a connection that ended in a fault shut down, then finish().
    void conclude(Connection& connection);
    // Once: the connection unusable, its reader and the wakers told.
    void finish(Connection& connection);
    // The receive thread of a connection with connection delivery, while a reader in take() reads the
    // socket itself or did so lately: waits. False when the connection ends meanwhile.
    bool stand_aside(Connection& connection);
    // Ends a connection taken out of the table: unusable, shut down, its thread joined (or, on that thread
    // itself, left to end its loop), then its descriptor released under its send lock.
    void retire(const std::shared_ptr<Connection>& connection);
    // Library delivery, before appending a message: waits while the library's queues are near their limit;
    // returns how many messages may be appended before the next look (0 when the connection closes).
    uint32_t wait_for_reader(Connection& connection);
    // Puts the framed messages of one read on the connection's queue.
    void deliver(Connection& connection);
    void append_to_library(const Connection& connection, const MessageFramer::Frame& frame);
    // Releases the descriptor of a retired connection once no reader and no send uses it.
    void release(Connection& connection);
    void log(int level, const char* format, ...);
    void emit(int level, const std::string& line);
    // Formats a line into `lines`, to be logged by flush() outside the read lock.
    static void note(LogLines& lines, int level, const char* format, ...);
    void flush(LogLines& lines);
    std::shared_ptr<Connection> find(uint8_t channel) const;
    void end(Connection& connection, ConnectionEnd cause, const std::string& text);
    void notify_wakers();
    // 1 when the connection's stream may have bytes to read (TLS: decrypted ones held back too), 0 after
    // `timeout_ms`, -1 on failure.
    static int wait_readable(Connection& connection, int timeout_ms);
    // The TLS handshake on the freshly connected `connection`: DOIP_OK or a DOIP_SOCKET_ERR_TLS_* code,
    // with `failure` filled.
    int secure(Connection& connection, const std::string& peer_ip, const SocketLayerOptions& options,
               std::string* failure);
    void set_open_failure(uint8_t channel, const std::string& text);

    mutable std::mutex mutex_;
    SocketLayerOptions options_;
    std::shared_ptr<tls::Context> tls_context_;  // made by configure() from options_.tls
    int tls_error_ = DOIP_OK;                    // why it could not be made
    std::string tls_error_text_;
    std::map<uint8_t, std::string> open_failures_;
    std::map<uint8_t, std::shared_ptr<Connection>> connections_;
    std::vector<std::shared_ptr<Waker>> wakers_;
    uint32_t last_serial_ = 0;
    SocketLayerStats stats_;
    std::atomic<size_t> waker_count_{0};
    std::mutex reader_mutex_;
    std::condition_variable reader_cv_;
    std::atomic<int> waiting_for_reader_{0};
};

}  // namespace doip_tools

#endif
