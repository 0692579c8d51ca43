#include "server.h"

#include <algorithm>
#include <climits>
#include <new>
#include <random>
#include <system_error>

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

}  // namespace

Server::Server(const SimulatorOptions& options, Entity& entity)
    : options_(options), entity_(entity), writer_(options, stop_) {
    entity_.set_sender(
        [this](Connection& connection, Bytes reply) { writer_.send(connection, std::move(reply)); });
}

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

// The context first: settings that cannot be used fail the start before anything listens.
bool Server::start_tls(std::string* error) {
    const SimulatorTls& settings = options_.tls;
    tls::ServerOptions tls_options;
    tls_options.cert_file = settings.cert_file;
    tls_options.key_file = settings.key_file;
    tls_options.client_ca_file = settings.client_ca_file;
    tls_options.keylog_file = settings.keylog_file;
    tls_options.allow_null_cipher = settings.allow_null_cipher;
    std::string why;
    tls_context_ = tls::server_context(tls_options, &why);
    if (!tls_context_) {
        *error = "TLS: " + why;
        return false;
    }
    tls_listener_ =
        net::tcp_listen(net::Endpoint{options_.bind_ip, settings.port}, net::max_listen_backlog(), &why);
    if (tls_listener_ == net::kInvalid) {
        *error = "TLS port " + std::to_string(settings.port) + ": " + why;
        return false;
    }
    net::Endpoint bound;
    net::local_endpoint(tls_listener_, &bound);
    tls_port_ = bound.port;
    return true;
}

bool Server::start(std::string* error) {
    net::startup();
    if (options_.tls.enabled && !start_tls(error)) {
        tls_context_.reset();
        return false;
    }
    if (!bind_sockets(error)) {
        net::close(tls_listener_);
        tls_listener_ = net::kInvalid;
        tls_port_ = 0;
        return false;
    }
    accept_thread_ = std::thread([this] { accept_loop(listener_, false); });
    if (tls_listener_ != net::kInvalid) {
        tls_accept_thread_ = std::thread([this] { accept_loop(tls_listener_, true); });
    }
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
    if (tls_accept_thread_.joinable()) {
        tls_accept_thread_.join();
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
    net::close(tls_listener_);
    listener_ = udp_ = tls_listener_ = net::kInvalid;
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
// when accepting stopped working and one when it works again. Both listeners' threads reap: each takes the
// ended clients out under the lock, so no client is joined twice.
void Server::accept_loop(net::Handle listener, bool secure) {
    uint64_t failures = 0;
    Clock::time_point first_failure;
    while (!stop_.requested()) {
        reap_ended_clients();
        if (net::wait_readable(listener, kPollMs) != 1) {
            continue;
        }
        net::Endpoint peer;
        const net::Handle handle = net::tcp_accept(listener, &peer);
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
                                    " failed attempts in " + ms_text(ms_since(first_failure)));
            failures = 0;
        }
        admit(handle, peer, secure);
    }
}

// Out of memory or threads, the connection is refused and the others go on.
void Server::admit(net::Handle handle, const net::Endpoint& peer, bool secure) {
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
            refusal = start_client(handle, name, secure);
        }
    }
    if (refusal.empty()) {
        clients_changed_.notify_all();
    } else {
        refuse(handle, name, refusal);
    }
}

std::string Server::start_client(net::Handle handle, const std::string& name, bool secure) {
    std::shared_ptr<Client> client;
    try {
        client = std::make_shared<Client>();
        client->connection = std::make_shared<Connection>(
            handle, name, secure, static_cast<int>(std::min<uint32_t>(options_.read_timeout_ms, INT_MAX)));
        clients_.push_back(client);
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
    log_event(options_, (secure ? "TLS connection from " : "connection from ") + name);
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
