#include "server.h"

#include <algorithm>
#include <climits>
#include <new>
#include <random>
#include <system_error>

#include "bytes.h"

namespace doip_tools {
namespace {

// Where the announcements go when no address is given: the broadcast address of the bound one. The
// netmask of an interface is not looked up: a /24 network is assumed for addresses other than loopback
// (127.255.255.255) and "any" (the limited broadcast 255.255.255.255).
std::string broadcast_of(const std::string& bound) {
    if (bound.empty() || bound == "0.0.0.0") {
        return "255.255.255.255";
    }
    if (bound.rfind("127.", 0) == 0) {
        return "127.255.255.255";
    }
    return bound.substr(0, bound.rfind('.') + 1) + "255";
}

// Whole milliseconds from `since` to `until`, as text.
std::string ms_between(Clock::time_point since, Clock::time_point until = Clock::now()) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(until - since).count());
}

}  // namespace

Server::Server(const SimulatorOptions& options, Entity& entity)
    : options_(options), entity_(entity), writer_(options, stop_) {}

Server::~Server() {
    stop();
}

// With port 0 the TCP port is ephemeral and UDP takes the same number, which may be taken: try again.
bool Server::bind_sockets(std::string* error) {
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        listener_ =
            net::tcp_listen(net::Endpoint{options_.bind_ip, options_.port}, net::max_listen_backlog(), error);
        if (listener_ == net::kInvalid) {
            return false;
        }
        net::Endpoint bound;
        net::local_endpoint(listener_, &bound);
        port_ = bound.port;
        if (!options_.udp) {
            return true;
        }
        udp_ = net::udp_open(net::Endpoint{options_.bind_ip, port_}, error);
        if (udp_ != net::kInvalid) {
            return true;
        }
        net::close(listener_);
        listener_ = net::kInvalid;
        if (options_.port != 0) {
            return false;
        }
    }
    return false;
}

bool Server::start(std::string* error) {
    net::startup();
    if (!bind_sockets(error)) {
        return false;
    }
    accept_thread_ = std::thread([this] { accept_loop(); });
    if (udp_ != net::kInvalid) {
        udp_thread_ = std::thread([this] { udp_loop(); });
    }
    if (udp_ != net::kInvalid && options_.announce) {
        const net::Endpoint to{
            options_.announce_address.empty() ? broadcast_of(options_.bind_ip) : options_.announce_address,
            options_.announce_port};
        announce_thread_ = std::thread([this, to] { announce(to); });
    }
    return true;
}

void Server::stop() {
    if (!stop_.request()) {
        return;
    }
    if (accept_thread_.joinable()) {
        accept_thread_.join();
    }
    if (udp_thread_.joinable()) {
        udp_thread_.join();
    }
    if (announce_thread_.joinable()) {
        announce_thread_.join();
    }
    std::list<std::shared_ptr<Client>> clients;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clients.swap(clients_);
    }
    for (const auto& client : clients) {
        client->connection->shut_down();
    }
    for (const auto& client : clients) {
        client->thread.join();
        net::close(client->connection->handle());
    }
    net::close(listener_);
    net::close(udp_);
    listener_ = udp_ = net::kInvalid;
}

size_t Server::open_connections_locked() const {
    return static_cast<size_t>(std::count_if(clients_.begin(), clients_.end(),
                                             [](const std::shared_ptr<Client>& c) { return !c->done; }));
}

size_t Server::open_connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_connections_locked();
}

bool Server::wait_for_open_connections(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return clients_changed_.wait_for(lock, timeout, [&] { return open_connections_locked() == count; });
}

// The threads of ended connections are joined outside the lock: a thread that ends takes it last.
void Server::reap_ended_clients() {
    std::list<std::shared_ptr<Client>> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            const auto next = std::next(it);
            if ((*it)->done) {
                ended.splice(ended.end(), clients_, it);
            }
            it = next;
        }
    }
    for (const auto& client : ended) {
        client->thread.join();
        net::close(client->connection->handle());
    }
}

// A failed accept (out of descriptors or memory, a connection aborted before it was taken) is tried
// again after a pause rather than at once, since the listener stays readable meanwhile; one line says
// when accepting stopped working and one when it works again.
void Server::accept_loop() {
    uint64_t failures = 0;
    Clock::time_point first_failure;
    while (!stop_.requested()) {
        reap_ended_clients();
        if (net::wait_readable(listener_, kPollMs) != 1) {
            continue;
        }
        net::Endpoint peer;
        const net::Handle handle = net::tcp_accept(listener_, &peer);
        if (handle == net::kInvalid) {
            if (failures++ == 0) {
                first_failure = Clock::now();
                log_event(options_, "cannot accept a connection: " + net::last_error_text() +
                                        "; trying again every " + std::to_string(kAcceptRetryMs) + " ms");
            }
            stop_.pause(kAcceptRetryMs);
            continue;
        }
        reap_ended_clients();  // their threads' stacks, for the new one
        if (failures > 0) {
            log_event(options_, "accepting connections again after " + std::to_string(failures) +
                                    " failed attempts in " + ms_between(first_failure) + " ms");
            failures = 0;
        }
        admit(handle, peer);
    }
}

// Out of memory or threads, the connection is refused and the others go on.
void Server::admit(net::Handle handle, const net::Endpoint& peer) {
    const std::string name = peer.ip + ":" + std::to_string(peer.port);
    ++connections_;
    std::string refusal;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t open = open_connections_locked();
        if (stop_.requested()) {
            refusal = "the simulator is stopping";
        } else if (open >= options_.max_connections) {
            refusal = std::to_string(open) + " connections are open, the most --max-connections allows";
        } else {
            refusal = start_client(handle, name);
        }
    }
    if (refusal.empty()) {
        clients_changed_.notify_all();
    } else {
        refuse(handle, name, refusal);
    }
}

std::string Server::start_client(net::Handle handle, const std::string& name) {
    std::shared_ptr<Client> client;
    try {
        client = std::make_shared<Client>();
        client->connection = std::make_shared<Connection>(handle, name);
        clients_.push_back(client);
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
    log_event(options_, "connection from " + name);
    try {
        client->thread = std::thread([this, client] { serve(*client); });
        return {};
    } catch (const std::system_error& e) {
        clients_.pop_back();
        return std::string("cannot start a thread for it: ") + e.what();
    }
}

void Server::refuse(net::Handle handle, const std::string& name, const std::string& why) {
    ++refused_;
    log_event(options_, "refused the connection from " + name + ": " + why);
    net::close(handle);
}

// T_TCP_Initial_Inactivity runs from the accept until routing is activated, T_TCP_General_Inactivity from
// the last whole message received once it is, and the read timeout from the first byte of a message that
// is not whole yet.
void Server::serve(Client& client) {
    Connection& connection = *client.connection;
    const Clock::time_point accepted = Clock::now();
    connection.last_message = accepted;
    Inbound in;
    std::vector<uint8_t> chunk(kReceiveChunk);
    for (;;) {
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
        const int ready =
            net::wait_readable(connection.handle(), static_cast<int>(std::min<long long>(wait, INT_MAX)));
        if (ready < 0) {
            break;
        }
        if (ready == 0) {
            continue;
        }
        const long n = net::recv_some(connection.handle(), chunk.data(), chunk.size());
        if (n <= 0) {
            break;
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

void Server::udp_loop() {
    std::vector<uint8_t> buffer(65536);
    while (!stop_.requested()) {
        if (net::wait_readable(udp_, kPollMs) != 1) {
            continue;
        }
        net::Endpoint from;
        const long n = net::udp_recv_from(udp_, buffer.data(), buffer.size(), &from);
        if (n < 0) {
            continue;
        }
        for (const Bytes& reply : entity_.answer_datagram(buffer.data(), static_cast<uint32_t>(n))) {
            net::udp_send_to(udp_, from, reply.data(), reply.size());
        }
    }
}

void Server::announce(const net::Endpoint& to) {
    std::mt19937 random(std::random_device{}());
    const uint32_t wait = std::uniform_int_distribution<uint32_t>(0, kAnnounceWaitMs)(random);
    if (!stop_.pause(wait)) {
        return;
    }
    const Bytes announcement = entity_.announcement();
    for (int i = 1; i <= kAnnounceCount; ++i) {
        if (i > 1 && !stop_.pause(kAnnounceIntervalMs)) {
            return;
        }
        const bool sent = net::udp_send_to(udp_, to, announcement.data(), announcement.size());
        log_event(options_, "vehicle announcement " + std::to_string(i) + " of " +
                                std::to_string(kAnnounceCount) + " to " + to.ip + ":" +
                                std::to_string(to.port) + (sent ? "" : " failed: " + net::last_error_text()));
    }
}

}  // namespace doip_tools
