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
#include "connection.h"
#include "net.h"

namespace doip_tools {
namespace {

const CodeName kErrorTexts[] = {
    {DOIP_SOCKET_ERR_BAD_ADDRESS, "socket layer: an address is not dotted-decimal IPv4"},
    {DOIP_SOCKET_ERR_SOCKET, "socket layer: no socket could be made"},
    {DOIP_SOCKET_ERR_BIND, "socket layer: the local address/port cannot be bound"},
    {DOIP_SOCKET_ERR_CONNECT, "socket layer: the entity refused the connection"},
    {DOIP_SOCKET_ERR_CONNECT_TIMEOUT, "socket layer: the entity did not answer the connect in time"},
    {DOIP_SOCKET_ERR_NOT_OPEN, "socket layer: no connection on that channel"},
    {DOIP_SOCKET_ERR_SEND, "socket layer: sending failed"},
    {DOIP_SOCKET_ERR_CLOSED, "socket layer: the connection was closed (by the peer or after a bad stream)"},
    {DOIP_SOCKET_ERR_TLS_UNAVAILABLE,
     "socket layer: TLS was asked for, but this build has none (built without TLS)"},
    {DOIP_SOCKET_ERR_TLS_CONFIG,
     "socket layer: the TLS settings cannot be used (a CA, certificate or key file, or a key that does not "
     "match)"},
    {DOIP_SOCKET_ERR_TLS_HANDSHAKE, "socket layer: the TLS handshake with the entity failed"},
    {DOIP_SOCKET_ERR_TLS_VERIFY, "socket layer: the entity's TLS certificate was not accepted"},
    {DOIP_SOCKET_ERR_TLS_TIMEOUT,
     "socket layer: the TLS handshake did not complete within the connect timeout"},
    {DOIP_SOCKET_ERR_TLS_TRUNCATED,
     "socket layer: the entity ended the TLS connection without close_notify (what it sent last may be cut "
     "short)"},
    {DOIP_SOCKET_ERR_TLS, "socket layer: a TLS error ended the connection"},
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

int SocketLayer::configure(const SocketLayerOptions& options, std::string* error) {
    std::shared_ptr<tls::Context> context;
    int code = DOIP_OK;
    std::string text;
    if (options.tls) {
        if (!tls::available()) {
            code = DOIP_SOCKET_ERR_TLS_UNAVAILABLE;
            text = tls::kUnavailableText;
        } else if (!(context = tls::client_context(*options.tls, &text))) {
            code = DOIP_SOCKET_ERR_TLS_CONFIG;
        }
    }
    if (error != nullptr) {
        *error = text;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = options;
    tls_context_ = std::move(context);
    tls_error_ = code;
    tls_error_text_ = std::move(text);
    return code;
}

std::string SocketLayer::open_failure(uint8_t channel) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = open_failures_.find(channel);
    return found == open_failures_.end() ? std::string() : found->second;
}

void SocketLayer::set_open_failure(uint8_t channel, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (text.empty()) {
        open_failures_.erase(channel);
    } else {
        open_failures_[channel] = text;
    }
}

std::string SocketLayer::security(uint8_t channel) const {
    const std::shared_ptr<Connection> connection = find(channel);
    return connection && connection->tls ? connection->tls->description() : std::string();
}

int SocketLayer::secure(Connection& connection, const std::string& peer_ip, const SocketLayerOptions& options,
                        std::string* failure) {
    std::shared_ptr<tls::Context> context;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (tls_error_ != DOIP_OK) {
            *failure = tls_error_text_;
            return tls_error_;
        }
        context = tls_context_;
    }
    tls::HandshakeResult result;
    connection.tls = tls::connect(context, connection.handle, peer_ip,
                                  static_cast<int>(options.connect_timeout_ms), &result);
    if (connection.tls) {
        return DOIP_OK;
    }
    *failure = result.text;
    switch (result.error) {
        case tls::HandshakeError::timeout:
            return DOIP_SOCKET_ERR_TLS_TIMEOUT;
        case tls::HandshakeError::verification:
            return DOIP_SOCKET_ERR_TLS_VERIFY;
        default:
            return DOIP_SOCKET_ERR_TLS_HANDSHAKE;
    }
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
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): the callers start the list and end it.
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
        set_open_failure(channel, result.text);
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
    if (options.tls) {
        std::string failure;
        const int secured = secure(*connection, remote.ip, options, &failure);
        if (secured != DOIP_OK) {
            log(2, "%s: TLS handshake failed: %s", name, failure.c_str());
            set_open_failure(channel, failure);
            net::close(result.handle);
            return secured;
        }
        log(1, "%s: TLS established (%s)", name, connection->tls->description().c_str());
    }
    set_open_failure(channel, std::string());
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
    if (connection->tls) {
        connection->tls->close_notify();  // the entity sees an orderly end rather than a cut
    }
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
        std::lock_guard<std::mutex> table_lock(mutex_);
        switch (connection->end.cause) {
            case ConnectionEnd::tls_truncated:
                return DOIP_SOCKET_ERR_TLS_TRUNCATED;
            case ConnectionEnd::tls_failed:
                return DOIP_SOCKET_ERR_TLS;
            default:
                return DOIP_SOCKET_ERR_CLOSED;
        }
    }
    if (connection->tls) {
        std::string error;
        if (!connection->tls->write_all(bytes, length, 0, &error)) {
            log(2, "%s: send failed: %s", connection->name.c_str(), error.c_str());
            return DOIP_SOCKET_ERR_SEND;
        }
    } else if (!net::send_all(connection->handle, bytes, length)) {
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

const char* SocketLayer::error_text(int code) {
    return find_name(kErrorTexts, code);
}

}  // namespace doip_tools
