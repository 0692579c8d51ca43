// The thread of one TCP connection: its TLS handshake, its timers, and the byte stream cut into messages for
// the entity.
#include <algorithm>
#include <climits>

#include "bytes.h"
#include "server.h"

namespace doip_tools {
namespace {

// Whole milliseconds from `since` to `until`, as text.
std::string ms_between(Clock::time_point since, Clock::time_point until) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(until - since).count());
}

}  // namespace

// T_TCP_Initial_Inactivity runs from the accept until routing is activated, T_TCP_General_Inactivity from
// the last whole message received once it is, and the read timeout from the first byte of a message that
// is not whole yet. On a TLS connection the handshake counts against T_TCP_Initial_Inactivity too: both run
// from the accept.
void Server::serve(Client& client) {
    Connection& connection = *client.connection;
    const Clock::time_point accepted = Clock::now();
    connection.last_message = accepted;
    Inbound in;
    net::set_send_timeout(connection.handle(),
                          static_cast<int>(std::min<uint32_t>(options_.read_timeout_ms, INT_MAX)));
    std::vector<uint8_t> chunk(kReceiveChunk);
    const bool served = !connection.secure() || handshake(connection);
    while (served) {
        const bool activated = entity_.activated(connection);
        const Clock::time_point quiet_since = activated ? connection.last_message : accepted;
        const uint32_t quiet_limit =
            activated ? options_.general_inactivity_ms : options_.initial_inactivity_ms;
        Clock::time_point deadline = quiet_since + std::chrono::milliseconds(quiet_limit);
        const bool reading =
            options_.read_timeout_ms > 0 && in.message_began &&
            *in.message_began + std::chrono::milliseconds(options_.read_timeout_ms) < deadline;
        if (reading) {
            deadline = *in.message_began + std::chrono::milliseconds(options_.read_timeout_ms);
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            if (reading) {
                log_event(options_, connection.name() + ": closed after " +
                                        ms_between(*in.message_began, now) +
                                        " ms with a message begun and not whole (read timeout " +
                                        std::to_string(options_.read_timeout_ms) + " ms)");
            } else {
                log_event(options_, connection.name() + ": closed after " + ms_between(quiet_since, now) +
                                        " ms " +
                                        (activated ? "of inactivity" : "without routing activation"));
            }
            break;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        const int ready = connection.wait_readable(static_cast<int>(std::min<long long>(wait, INT_MAX)));
        if (ready < 0) {
            break;
        }
        if (ready == 0) {
            continue;
        }
        std::string why;
        const long n = connection.receive(chunk.data(), chunk.size(), &why);
        if (n < 0) {
            if (!why.empty()) {
                log_event(options_, connection.name() + ": " + why);
            }
            break;
        }
        if (n == 0) {
            continue;
        }
        in.pending.insert(in.pending.end(), chunk.begin(), chunk.begin() + n);
        if (!handle_stream(connection, in)) {
            break;
        }
    }
    connection.retire();
    log_event(options_, connection.name() + ": connection closed");
    entity_.closed(connection);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client.done = true;
    }
    clients_changed_.notify_all();
}

bool Server::handshake(Connection& connection) {
    tls::HandshakeResult result;
    std::unique_ptr<tls::Session> session =
        tls::accept(tls_context_, connection.handle(),
                    static_cast<int>(std::min<uint32_t>(options_.initial_inactivity_ms, INT_MAX)), &result);
    if (!session) {
        log_event(options_, "TLS handshake with " + connection.name() + " failed: " + result.text);
        return false;
    }
    const std::string description = session->description();
    connection.start_session(std::move(session));
    log_event(options_, connection.name() + ": TLS established (" + description + ")");
    return true;
}

// A message ends where its payload (or the dropped payload of a refused one) ends; what follows the last
// such end in this call came with the latest bytes, so its read timer starts now.
bool Server::handle_stream(Connection& connection, Inbound& in) {
    std::vector<uint8_t>& pending = in.pending;
    size_t offset = 0;
    bool message_ended = false;
    bool open = true;
    while (open) {
        const size_t dropped = std::min(in.skip, pending.size() - offset);
        offset += dropped;
        in.skip -= dropped;
        message_ended = message_ended || (dropped > 0 && in.skip == 0);
        if (in.skip > 0 || pending.size() - offset < DOIP_HEADER_SIZE) {
            break;
        }
        const uint8_t* message = pending.data() + offset;
        const uint32_t payload_length = load_be32(message + 4);
        HeaderVerdict verdict = entity_.check_header(connection, message);
        if (!verdict.nack.empty()) {
            writer_.send(connection, std::move(verdict.nack));
            open = !verdict.close && !connection.cut_off;
            in.skip = payload_length;
            offset += DOIP_HEADER_SIZE;
            message_ended = message_ended || payload_length == 0;
            continue;
        }
        if (pending.size() - offset - DOIP_HEADER_SIZE < payload_length) {
            break;
        }
        const uint32_t length = DOIP_HEADER_SIZE + payload_length;
        offset += length;
        message_ended = true;
        connection.last_message = Clock::now();
        for (Bytes& reply : entity_.answer(connection, message, length)) {
            writer_.send(connection, std::move(reply));
            if (connection.cut_off) {
                break;
            }
        }
        open = !connection.close_after_reply && !connection.cut_off;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(offset));
    if (pending.empty() && in.skip == 0) {
        in.message_began.reset();
    } else if (message_ended || !in.message_began) {
        in.message_began = Clock::now();
    }
    return open;
}

}  // namespace doip_tools
