#include "socket_layer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "formatting.h"
#include "framer.h"
#include "net.h"

namespace doip_tools {
namespace {

constexpr size_t kReceiveChunk = 16384;

}  // namespace

struct SocketLayer::Connection {
    Connection(uint32_t max_payload_length, Delivery how) : delivery(how), framer(max_payload_length) {}

    uint8_t channel = 0;
    uint32_t serial = 0;
    net::Handle handle = net::kInvalid;
    std::string name;  // "channel 3 (127.0.0.1:10001 -> 127.0.0.1:13400)" for log lines
    std::thread thread;
    std::atomic<bool> closing{false};
    uint8_t protocol_version = 0;  // of the context that opened it: what the peer's headers must carry
    std::atomic<bool> usable{true};
    EndReason end;  // guarded by the layer's mutex
    std::mutex send_mutex;
    bool release_at_end = false;  // closed on its own receive thread: the loop's end releases the descriptor
    const Delivery delivery;
    Inbox inbox;  // connection delivery

    // Whoever reads the socket holds read_mutex: the receive thread, or with connection delivery the
    // application's reader in take(). The fields below it are guarded by it.
    std::mutex read_mutex;
    MessageFramer framer;
    std::vector<uint8_t> chunk = std::vector<uint8_t>(kReceiveChunk);
    std::vector<ReceivedMessage> batch;  // connection delivery: the messages of one read
    uint32_t room =
        0;  // library delivery: messages that may be appended before the reader is looked at again
    bool pause_logged = false;
    bool shut_at_end = false;  // the stream ended in a fault: shut the connection down (after logging it)

    std::atomic<bool> stream_ended{false};  // nothing more to read: end reason set, or a read after close()
    std::atomic<bool> finished{false};      // finish() has run
    // Connection delivery: readers in take() and when the last one left the socket (steady clock ticks).
    // The receive thread stands aside meanwhile (see stand_aside()).
    std::atomic<int> direct_readers{0};
    std::atomic<int64_t> last_direct_read{0};
    std::mutex aside_mutex;
    std::condition_variable aside_cv;
};

namespace {

constexpr size_t kLoggedBytes = 16;
// The library's queues hold 1000 messages each and drop the oldest beyond; a connection with library
// delivery stops reading before they get near that.
constexpr uint32_t kLibraryQueueLimit = 1000;
constexpr uint32_t kHighWater = 750;
// A reader that does not report its progress (the application on the default queue) is looked at this often.
constexpr int kReaderPollMs = 5;
// Connection delivery: after a reader in take() has read the socket itself, the receive thread leaves the
// socket to it for this long, so that the two do not wake for the same bytes while exchanges go on.
constexpr auto kStandAside = std::chrono::milliseconds(50);
// The receive thread's longest wait for the socket before it looks whether it is to stand aside or stop.
constexpr int kReceivePollMs = 100;

int64_t ticks_now() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

const CodeName kErrorTexts[] = {
    {DOIP_SOCKET_ERR_BAD_ADDRESS, "socket layer: an address is not dotted-decimal IPv4"},
    {DOIP_SOCKET_ERR_SOCKET, "socket layer: no socket could be made"},
    {DOIP_SOCKET_ERR_BIND, "socket layer: the local address/port cannot be bound"},
    {DOIP_SOCKET_ERR_CONNECT, "socket layer: the entity refused the connection"},
    {DOIP_SOCKET_ERR_CONNECT_TIMEOUT, "socket layer: the entity did not answer the connect in time"},
    {DOIP_SOCKET_ERR_NOT_OPEN, "socket layer: no connection on that channel"},
    {DOIP_SOCKET_ERR_SEND, "socket layer: sending failed"},
    {DOIP_SOCKET_ERR_CLOSED, "socket layer: the connection was closed (by the peer or after a bad stream)"},
};

std::string text_of(const eth_config_s& end) {
    return std::string(end.ip_address, strnlen(end.ip_address, sizeof end.ip_address));
}

int socket_send(uint8_t channel, doip_s*, uint8_t* bytes, uint32_t length) {
    return SocketLayer::instance().send(channel, bytes, length);
}

int socket_close(uint8_t channel, doip_s*) {
    return SocketLayer::instance().close(channel);
}

int socket_open(uint8_t channel, doip_s* ctx) {
    return SocketLayer::instance().open(channel, ctx);
}

}  // namespace

void Waker::notify() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_all();
}

bool Waker::wait(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool signalled =
        cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return signalled_; });
    signalled_ = false;
    return signalled;
}

SocketLayer& SocketLayer::instance() {
    static SocketLayer layer;
    return layer;
}

SocketLayer::~SocketLayer() {
    close_all();
}

void SocketLayer::configure(const SocketLayerOptions& options) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = options;
}

doip_socket_ops_s SocketLayer::ops() {
    doip_socket_ops_s ops{};
    ops.doip_socket_send = &socket_send;
    ops.doip_socket_close = &socket_close;
    ops.doip_socket_open = &socket_open;
    return ops;
}

void SocketLayer::install() {
    doip_set_socket_ops(ops());
}

namespace {

std::string format_line(const char* format, va_list args) {
    char line[1024];
    const int prefix = std::snprintf(line, sizeof line, "doip_socket: ");
    std::vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix), format, args);
    return line;
}

}  // namespace

void SocketLayer::emit(int level, const std::string& line) {
    doip_logger_fn logger;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        logger = options_.logger;
    }
    if (logger != nullptr) {
        logger(level, line.c_str(), static_cast<uint32_t>(line.size()));
    }
}

void SocketLayer::log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string line = format_line(format, args);
    va_end(args);
    emit(level, line);
}

void SocketLayer::note(LogLines& lines, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    lines.emplace_back(level, format_line(format, args));
    va_end(args);
}

void SocketLayer::flush(LogLines& lines) {
    for (const auto& line : lines) {
        emit(line.first, line.second);
    }
    lines.clear();
}

int SocketLayer::open(uint8_t channel, doip_s* ctx) {
    if (ctx == nullptr) {
        return DOIP_SOCKET_ERR_BAD_ADDRESS;
    }
    close(channel);
    SocketLayerOptions options;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        options = options_;
    }
    net::startup();
    net::Endpoint local{text_of(ctx->local), ctx->local.port};
    const net::Endpoint remote{text_of(ctx->remote), ctx->remote.port};
    const int timeout = static_cast<int>(options.connect_timeout_ms);
    net::ConnectResult result = net::tcp_connect(local, remote, timeout);
    if (result.error == net::ConnectError::local_port_busy && options.fallback_to_ephemeral_port &&
        local.port != 0) {
        log(1, "channel %u: local port %s:%u is busy (%s); taking an ephemeral port", channel,
            local.ip.c_str(), local.port, result.text.c_str());
        local.port = 0;
        result = net::tcp_connect(local, remote, timeout);
    }
    if (result.error != net::ConnectError::none) {
        log(2, "channel %u: connecting %s:%u -> %s:%u failed: %s", channel, local.ip.c_str(), local.port,
            remote.ip.c_str(), remote.port, result.text.c_str());
        switch (result.error) {
            case net::ConnectError::bad_address:
                return DOIP_SOCKET_ERR_BAD_ADDRESS;
            case net::ConnectError::socket:
                return DOIP_SOCKET_ERR_SOCKET;
            case net::ConnectError::local_port_busy:
            case net::ConnectError::bind:
                return DOIP_SOCKET_ERR_BIND;
            case net::ConnectError::timeout:
                return DOIP_SOCKET_ERR_CONNECT_TIMEOUT;
            default:
                return DOIP_SOCKET_ERR_CONNECT;
        }
    }
    net::Endpoint bound;
    if (net::local_endpoint(result.handle, &bound) && bound.port != ctx->local.port) {
        ctx->local.port = bound.port;
    }

    auto connection = std::make_shared<Connection>(options.max_payload_length, options.delivery);
    connection->channel = channel;
    connection->handle = result.handle;
    connection->protocol_version = ctx->protocol_version;
    char name[160];
    std::snprintf(name, sizeof name, "channel %u (%s:%u -> %s:%u)", channel, bound.ip.c_str(), bound.port,
                  remote.ip.c_str(), remote.port);
    connection->name = name;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connection->serial = ++last_serial_;
        ++stats_.connections_opened;
        ++stats_.receive_threads;
    }
    connection->thread = std::thread([this, connection] { receive(connection); });
    std::shared_ptr<Connection> replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& slot = connections_[channel];
        replaced = std::move(slot);
        slot = connection;
    }
    if (replaced) {
        // Another thread opened the same channel meanwhile; the later open wins.
        retire(replaced);
    }
    return DOIP_OK;
}

void SocketLayer::retire(const std::shared_ptr<Connection>& connection) {
    connection->closing = true;
    connection->usable = false;
    connection->inbox.close();  // its receive thread stops waiting for room, its reader for messages
    {
        std::lock_guard<std::mutex> lock(connection->aside_mutex);
        connection->aside_cv.notify_all();  // nor does it stand aside any longer
    }
    reader_progress();  // a receive thread waiting for the library's reader stops waiting
    net::shutdown_both(connection->handle);
    if (connection->thread.get_id() == std::this_thread::get_id()) {
        // The receive loop reads no further and releases the descriptor when it ends.
        connection->release_at_end = true;
        connection->thread.detach();
        return;
    }
    connection->thread.join();
    release(*connection);
}

void SocketLayer::release(Connection& connection) {
    // A reader in take() leaves the socket (it is shut down) and a send under way finishes (it fails) before
    // the number is given back.
    std::lock_guard<std::mutex> read_lock(connection.read_mutex);
    std::lock_guard<std::mutex> send_lock(connection.send_mutex);
    net::close(connection.handle);
}

std::shared_ptr<SocketLayer::Connection> SocketLayer::find(uint8_t channel) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = connections_.find(channel);
    return found == connections_.end() ? nullptr : found->second;
}

int SocketLayer::send(uint8_t channel, const uint8_t* bytes, uint32_t length) {
    const std::shared_ptr<Connection> connection = find(channel);
    if (!connection) {
        return DOIP_SOCKET_ERR_NOT_OPEN;
    }
    std::lock_guard<std::mutex> lock(connection->send_mutex);
    // Looked at under the send lock: once close() has it, the descriptor may belong to someone else.
    if (!connection->usable) {
        return DOIP_SOCKET_ERR_CLOSED;
    }
    if (!net::send_all(connection->handle, bytes, length)) {
        log(2, "%s: send failed: %s", connection->name.c_str(), net::last_error_text().c_str());
        return DOIP_SOCKET_ERR_SEND;
    }
    return DOIP_OK;
}

int SocketLayer::close(uint8_t channel) {
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto entry = connections_.extract(channel);
        if (entry.empty()) {
            return DOIP_OK;
        }
        connection = std::move(entry.mapped());
        ++stats_.connections_closed;
    }
    retire(connection);
    return DOIP_OK;
}

void SocketLayer::close_all() {
    std::vector<uint8_t> channels;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : connections_) {
            channels.push_back(entry.first);
        }
    }
    for (uint8_t channel : channels) {
        close(channel);
    }
}

bool SocketLayer::is_open(uint8_t channel) const {
    return is_open(channel, 0);
}

bool SocketLayer::is_open(uint8_t channel, uint32_t serial) const {
    const std::shared_ptr<Connection> connection = find(channel);
    return connection && connection->usable && (serial == 0 || connection->serial == serial);
}

EndReason SocketLayer::end_reason(uint8_t channel) const {
    const std::shared_ptr<Connection> connection = find(channel);
    std::lock_guard<std::mutex> lock(mutex_);
    return connection ? connection->end : EndReason{};
}

uint32_t SocketLayer::serial(uint8_t channel) const {
    const std::shared_ptr<Connection> connection = find(channel);
    return connection ? connection->serial : 0;
}

size_t SocketLayer::queued(uint8_t channel) const {
    const std::shared_ptr<Connection> connection = find(channel);
    return connection ? connection->inbox.size() : 0;
}

size_t SocketLayer::connection_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

SocketLayerStats SocketLayer::stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void SocketLayer::reader_progress() {
    if (waiting_for_reader_ > 0) {
        // Under the mutex, so that a receive thread between its look and its wait does not miss it.
        std::lock_guard<std::mutex> lock(reader_mutex_);
        reader_cv_.notify_all();
    }
}

uint32_t SocketLayer::wait_for_reader(Connection& connection) {
    bool paused = false;
    for (;;) {
        std::vector<uint8_t> channels{0};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& entry : connections_) {
                if (entry.first != 0) {
                    channels.push_back(entry.first);
                }
            }
        }
        uint32_t library = 0;
        for (uint8_t channel : channels) {
            const int count = doip_msg_cache_count(channel);
            library += count > 0 ? static_cast<uint32_t>(count) : 0;
        }
        const uint32_t fullest = library;
        if (connection.closing) {
            return 0;
        }
        if (fullest < kHighWater) {
            if (library >= kLibraryQueueLimit) {
                std::lock_guard<std::mutex> lock(mutex_);
                ++stats_.messages_dropped;
            }
            // Every connection may use its share of the room left before the next look.
            return std::max<uint32_t>(1, (kHighWater - fullest) / static_cast<uint32_t>(channels.size()));
        }
        if (!paused) {
            paused = true;
            if (!connection.pause_logged) {  // an entity that floods would fill the log otherwise
                connection.pause_logged = true;
                log(1,
                    "%s: %u messages wait for the application; not reading until it catches up (said once)",
                    connection.name.c_str(), fullest);
            }
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.reader_pauses;
        }
        ++waiting_for_reader_;
        {
            std::unique_lock<std::mutex> lock(reader_mutex_);
            if (!connection.closing) {
                reader_cv_.wait_for(lock, std::chrono::milliseconds(kReaderPollMs));
            }
        }
        --waiting_for_reader_;
    }
}

void SocketLayer::add_waker(const std::shared_ptr<Waker>& waker) {
    std::lock_guard<std::mutex> lock(mutex_);
    wakers_.push_back(waker);
    waker_count_ = wakers_.size();
}

void SocketLayer::remove_waker(const std::shared_ptr<Waker>& waker) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = wakers_.begin(); it != wakers_.end(); ++it) {
        if (*it == waker) {
            wakers_.erase(it);
            waker_count_ = wakers_.size();
            return;
        }
    }
}

void SocketLayer::notify_wakers() {
    if (waker_count_ == 0) {
        return;
    }
    std::vector<std::shared_ptr<Waker>> wakers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wakers = wakers_;
    }
    for (const auto& waker : wakers) {
        waker->notify();
    }
}

void SocketLayer::end(Connection& connection, ConnectionEnd cause, const std::string& text) {
    connection.shut_at_end = cause != ConnectionEnd::peer_closed;
    std::lock_guard<std::mutex> lock(mutex_);
    connection.end = EndReason{cause, text};
    if (cause == ConnectionEnd::peer_closed) {
        ++stats_.peer_closes;
    } else {
        ++stats_.stream_errors;
    }
}

void SocketLayer::deliver(Connection& connection) {
    {
        // Counted first, so whoever has seen a message also sees the count.
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.messages_appended += connection.batch.size();
    }
    connection.inbox.put(connection.batch);
    notify_wakers();
}

void SocketLayer::append_to_library(const Connection& connection, const MessageFramer::Frame& frame) {
    doip_message_s message{};
    message.channel = frame.payload_type == DOIP_PT_ROUTING_ACTIVATION_RESPONSE ? 0 : connection.channel;
    message.length = frame.length;
    message.aux1 = connection.channel;
    message.aux2 = connection.serial;
    message.data = const_cast<uint8_t*>(frame.data);
    doip_append_eth_message(&message);
}

bool SocketLayer::read_once(Connection& connection, LogLines& lines) {
    const char* name = connection.name.c_str();
    MessageFramer& framer = connection.framer;
    const long n = net::recv_some(connection.handle, connection.chunk.data(), connection.chunk.size());
    if (n <= 0) {
        if (connection.closing) {
            return false;
        }
        if (n < 0) {
            const bool reset = net::last_error_is_reset();
            const std::string error = net::last_error_text();
            note(lines, 2, "%s: receive failed: %s", name, error.c_str());
            if (reset) {
                end(connection, ConnectionEnd::reset, "the connection was reset");
            } else {
                end(connection, ConnectionEnd::receive_failed, "receiving failed: " + error);
            }
        } else if (framer.buffered() > 0) {
            note(lines, 2,
                 "%s: closed by the peer in the middle of a message (%zu bytes of it received: %s); "
                 "nothing of it was handed on",
                 name, framer.buffered(), hex_bytes(framer.peek(kLoggedBytes)).c_str());
            end(connection, ConnectionEnd::closed_mid_message,
                "the entity closed the connection in the middle of a message");
        } else {
            note(lines, 1, "%s: closed by the peer", name);
            end(connection, ConnectionEnd::peer_closed, "the entity closed the connection");
        }
        return false;
    }
    framer.feed(connection.chunk.data(), static_cast<size_t>(n));
    const bool to_inbox = connection.delivery == Delivery::connection;
    MessageFramer::Frame frame;
    MessageFramer::Status status = MessageFramer::Status::need_more;
    while (!connection.closing && ((status = framer.next(&frame)) == MessageFramer::Status::message ||
                                   status == MessageFramer::Status::unknown_type)) {
        if (status == MessageFramer::Status::unknown_type) {
            // Discarded whole; neither a NACK nor a close is a tester's answer to it.
            note(lines, 1, "%s: skipped a message of unknown payload type 0x%04X, %u payload bytes: %s", name,
                 frame.payload_type, frame.announced,
                 hex_bytes(frame.data, frame.length, kLoggedBytes).c_str());
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.unknown_payload_types;
            continue;
        }
        if (to_inbox) {
            ReceivedMessage m;
            m.channel = frame.payload_type == DOIP_PT_ROUTING_ACTIVATION_RESPONSE ? 0 : connection.channel;
            m.aux1 = connection.channel;
            m.aux2 = connection.serial;
            m.bytes.assign(frame.data, frame.data + frame.length);
            connection.batch.push_back(std::move(m));
            if (frame.payload_type == DOIP_PT_ROUTING_ACTIVATION_RESPONSE) {
                // On the connection's queue before doip_activate can return with it. Its copy on the
                // default queue, which nobody reads with this delivery, is taken off again.
                deliver(connection);
                append_to_library(connection, frame);
                doip_message_s stale{};
                doip_get_message(&stale, nullptr);
                doip_message_destory(&stale);
            }
            continue;
        }
        if (connection.room == 0 && (connection.room = wait_for_reader(connection)) == 0) {
            return false;
        }
        --connection.room;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.messages_appended;
        }
        append_to_library(connection, frame);
        notify_wakers();
    }
    if (!connection.batch.empty()) {
        deliver(connection);
    }
    if (status == MessageFramer::Status::bad_header) {
        note(lines, 2, "%s: bad DoIP header (doip_deserialize: %d) at %s; connection closed", name,
             frame.code, hex_bytes(framer.peek(kLoggedBytes)).c_str());
        end(connection, ConnectionEnd::bad_header,
            "the entity sent " + header_fault_text(frame.data, connection.protocol_version));
        return false;
    }
    if (status == MessageFramer::Status::too_large) {
        note(lines, 2,
             "%s: a message announces %u payload bytes, more than the limit of %u; connection closed", name,
             frame.announced, framer.max_payload_length());
        end(connection, ConnectionEnd::too_large,
            "the entity announced a message of " + std::to_string(frame.announced) +
                " payload bytes, more than the maximum of " + std::to_string(framer.max_payload_length()));
        return false;
    }
    return !connection.closing;
}

void SocketLayer::conclude(Connection& connection) {
    {
        std::lock_guard<std::mutex> lock(connection.read_mutex);
        if (connection.shut_at_end && !connection.closing) {
            net::shutdown_both(connection.handle);
        }
    }
    finish(connection);
}

void SocketLayer::finish(Connection& connection) {
    if (connection.finished.exchange(true)) {
        return;
    }
    // Last: whoever sees the connection unusable also sees its log lines, counts and end reason.
    connection.usable = false;
    connection.inbox.end();
    {
        std::lock_guard<std::mutex> lock(connection.aside_mutex);
        connection.aside_cv.notify_all();
    }
    notify_wakers();
}

bool SocketLayer::stand_aside(Connection& connection) {
    std::unique_lock<std::mutex> lock(connection.aside_mutex);
    for (;;) {
        if (connection.closing || connection.stream_ended) {
            return false;
        }
        const auto since = std::chrono::steady_clock::duration(ticks_now() - connection.last_direct_read);
        if (connection.direct_readers == 0 && since >= kStandAside) {
            return true;
        }
        connection.aside_cv.wait_for(lock, connection.direct_readers > 0 ? kStandAside : kStandAside - since);
    }
}

void SocketLayer::receive(const std::shared_ptr<Connection>& connection) {
    Connection& c = *connection;
    LogLines lines;
    while (!c.closing && !c.stream_ended) {
        if (c.delivery == Delivery::library) {
            std::unique_lock<std::mutex> lock(c.read_mutex);
            c.stream_ended = !read_once(c, lines);
        } else {
            if (!stand_aside(c)) {
                break;
            }
            if (c.inbox.full()) {
                if (!c.pause_logged) {  // an entity that floods would fill the log otherwise
                    c.pause_logged = true;
                    log(1,
                        "%s: %zu messages wait for the application; not reading until it takes some (said "
                        "once)",
                        c.name.c_str(), Inbox::kHighWater);
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    ++stats_.reader_pauses;
                }
                notify_wakers();
                c.inbox.wait_for_room();
                continue;
            }
            if (net::wait_readable(c.handle, kReceivePollMs) == 0) {
                continue;
            }
            // A reader in take() that holds the socket reads these bytes itself; one that held it meanwhile
            // may have read them (the read must not wait with the lock held: take() keeps its timeout).
            std::unique_lock<std::mutex> lock(c.read_mutex, std::try_to_lock);
            if (!lock.owns_lock() || c.stream_ended || c.closing || net::wait_readable(c.handle, 0) == 0) {
                continue;
            }
            c.stream_ended = !read_once(c, lines);
        }
        flush(lines);
        if (c.stream_ended) {
            conclude(c);
        }
    }
    finish(c);
    if (c.release_at_end) {
        release(c);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --stats_.receive_threads;
    }
    notify_wakers();
}

Inbox::Taken SocketLayer::take(uint8_t channel, uint32_t serial, ReceivedMessage* out,
                               std::chrono::milliseconds timeout) {
    const std::shared_ptr<Connection> connection = find(channel);
    if (!connection || (serial != 0 && connection->serial != serial)) {
        return Inbox::Taken::ended;
    }
    Connection& c = *connection;
    if (c.delivery != Delivery::connection) {
        return c.inbox.take(out, timeout);
    }
    // The reader reads the socket itself while its queue is empty: no hand-over from the receive thread.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    LogLines lines;
    for (;;) {
        const Inbox::Taken taken = c.inbox.take(out, std::chrono::milliseconds(0));
        if (taken != Inbox::Taken::timeout) {
            return taken;
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        const int left_ms =
            left.count() <= 0 ? 0
                              : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        if (c.closing || c.stream_ended) {
            // Its end is on the way (finish() on the thread that saw it).
            return c.inbox.take(out, std::chrono::milliseconds(left_ms));
        }
        int ready = 0;
        bool ended = false;
        ++c.direct_readers;
        {
            std::lock_guard<std::mutex> lock(c.read_mutex);
            if (c.inbox.size() == 0 && !c.closing && !c.stream_ended) {
                ready = net::wait_readable(c.handle, left_ms);
                if (ready != 0 && !c.closing) {
                    ended = c.stream_ended = !read_once(c, lines);
                }
            } else {
                ready = 1;  // the receive thread brought something meanwhile
            }
            c.last_direct_read = ticks_now();
        }
        --c.direct_readers;
        flush(lines);
        if (ended) {
            conclude(c);
        }
        if (ready == 0) {
            return c.inbox.take(out, std::chrono::milliseconds(0));
        }
    }
}

const char* SocketLayer::error_text(int code) {
    return find_name(kErrorTexts, code);
}

}  // namespace doip_tools
