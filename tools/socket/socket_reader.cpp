// Reading the connections of the socket layer: the receive threads, the reader in take() that reads its
// connection's socket itself, framing, and handing each message on as the connection's delivery has it.
#include <algorithm>
#include <chrono>
#include <string>

#include "connection.h"
#include "formatting.h"
#include "socket_layer.h"

namespace doip_tools {
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

}  // namespace

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

int SocketLayer::wait_readable(Connection& connection, int timeout_ms) {
    return connection.tls ? connection.tls->wait_readable(timeout_ms)
                          : net::wait_readable(connection.handle, timeout_ms);
}

bool SocketLayer::read_once(Connection& connection, LogLines& lines) {
    const char* name = connection.name.c_str();
    MessageFramer& framer = connection.framer;
    long n = 0;
    if (connection.tls) {
        tls::ReadStatus status = tls::ReadStatus::failed;
        std::string error;
        n = static_cast<long>(
            connection.tls->read(connection.chunk.data(), connection.chunk.size(), &status, &error));
        if (status == tls::ReadStatus::would_block) {
            return !connection.closing;  // no whole record yet
        }
        if (status != tls::ReadStatus::data && status != tls::ReadStatus::closed) {
            if (connection.closing) {
                return false;
            }
            const char* where = framer.buffered() > 0 ? " in the middle of a message" : "";
            if (status == tls::ReadStatus::truncated) {
                note(lines, 2, "%s: the peer closed the connection without TLS close_notify%s", name, where);
                end(connection, ConnectionEnd::tls_truncated,
                    std::string("the entity closed the connection without TLS close_notify") + where +
                        " (what it sent last may be cut short)");
            } else if (status == tls::ReadStatus::reset) {
                note(lines, 2, "%s: receive failed: %s", name, error.c_str());
                end(connection, ConnectionEnd::reset, "the connection was reset");
            } else {
                note(lines, 2, "%s: TLS error: %s", name, error.c_str());
                end(connection, ConnectionEnd::tls_failed, "TLS error: " + error);
            }
            return false;
        }
    } else {
        n = net::recv_some(connection.handle, connection.chunk.data(), connection.chunk.size());
    }
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
            // A plain socket's read waits for bytes itself; a TLS one does not.
            if (c.tls && wait_readable(c, kReceivePollMs) == 0) {
                continue;
            }
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
            if (wait_readable(c, kReceivePollMs) == 0) {
                continue;
            }
            // A reader in take() that holds the socket reads these bytes itself; one that held it meanwhile
            // may have read them (the read must not wait with the lock held: take() keeps its timeout).
            std::unique_lock<std::mutex> lock(c.read_mutex, std::try_to_lock);
            if (!lock.owns_lock() || c.stream_ended || c.closing || wait_readable(c, 0) == 0) {
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
                ready = wait_readable(c, left_ms);
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

}  // namespace doip_tools
