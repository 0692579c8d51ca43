// TLS sessions on OpenSSL 3. The socket is reached through a BIO of our own over the net:: wrapper, so
// that writes never raise SIGPIPE and the handle stays the caller's.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>

#include "tls_openssl.h"

namespace doip_tools::tls {
namespace {

using Clock = std::chrono::steady_clock;

// A tester that sent no certificate although the entity asked for one hears in TLS 1.3 only after its
// handshake whether the entity accepts that: the wait for the entity's first record.
constexpr int kCertificateVerdictMs = 1000;

BIO_METHOD* socket_method();

class OpenSslSession : public Session {
  public:
    OpenSslSession(std::shared_ptr<OpenSslContext> context, SSL* ssl, net::Handle socket)
        : context_(std::move(context)), ssl_(ssl), socket_(socket) {
        BIO* bio = BIO_new(socket_method());
        BIO_set_data(bio, this);
        BIO_set_init(bio, 1);
        SSL_set_bio(ssl_, bio, bio);
        SSL_set_app_data(ssl_, this);
    }
    ~OpenSslSession() override { SSL_free(ssl_); }
    OpenSslSession(const OpenSslSession&) = delete;
    OpenSslSession& operator=(const OpenSslSession&) = delete;

    // The handshake on the non-blocking socket, within `timeout_ms`.
    bool handshake(bool client, int timeout_ms, HandshakeResult* result);

    size_t read(uint8_t* buffer, size_t capacity, ReadStatus* status, std::string* error) override;
    bool has_buffered() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return SSL_pending(ssl_) > 0;
    }
    int wait_readable(int timeout_ms) override {
        return has_buffered() ? 1 : net::wait_readable(socket_, timeout_ms);
    }
    bool write_all(const uint8_t* bytes, size_t count, int timeout_ms, std::string* error) override;
    void close_notify() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!notified_) {
            notified_ = true;
            SSL_shutdown(ssl_);
            ERR_clear_error();
        }
    }
    std::string description() const override { return description_; }

    // The BIO's side.
    net::Handle socket() const { return socket_; }
    void note_io_error() {
        io_reset_ = net::last_error_is_reset();
        io_error_ = net::last_error_text();
    }
    uint64_t bytes_read = 0;
    bool certificate_requested = false;

  private:
    HandshakeResult failure(bool client, int ret, int ssl_error);
    bool await_certificate_verdict(Clock::time_point deadline, HandshakeResult* result);
    std::string socket_error_text() const { return io_error_.empty() ? "the connection ended" : io_error_; }

    const std::shared_ptr<OpenSslContext> context_;
    SSL* const ssl_;
    const net::Handle socket_;
    std::mutex mutex_;  // every call on ssl_
    bool notified_ = false;
    bool io_reset_ = false;
    std::string io_error_;
    std::string description_;
};

int bio_write(BIO* bio, const char* data, int length) {
    auto* session = static_cast<OpenSslSession*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const long n = net::send_some(session->socket(), reinterpret_cast<const uint8_t*>(data),
                                  static_cast<size_t>(length));
    if (n < 0) {
        if (net::last_error_would_block()) {
            BIO_set_retry_write(bio);
        } else {
            session->note_io_error();
        }
        return -1;
    }
    return static_cast<int>(n);
}

int bio_read(BIO* bio, char* data, int length) {
    auto* session = static_cast<OpenSslSession*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const long n =
        net::recv_some(session->socket(), reinterpret_cast<uint8_t*>(data), static_cast<size_t>(length));
    if (n < 0) {
        if (net::last_error_would_block()) {
            BIO_set_retry_read(bio);
        } else {
            session->note_io_error();
        }
        return -1;
    }
    session->bytes_read += static_cast<uint64_t>(n);
    return static_cast<int>(n);
}

long bio_ctrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* socket_method() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "doip socket");
        BIO_meth_set_write(m, bio_write);
        BIO_meth_set_read(m, bio_read);
        BIO_meth_set_ctrl(m, bio_ctrl);
        return m;
    }();
    return method;
}

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

bool is_reason(unsigned long error, int reason) {
    return error != 0 && ERR_GET_LIB(error) == ERR_LIB_SSL && ERR_GET_REASON(error) == reason;
}

HandshakeResult OpenSslSession::failure(bool client, int ret, int ssl_error) {
    if (client && context_->verify_peer && SSL_get_verify_result(ssl_) != X509_V_OK) {
        const long verify = SSL_get_verify_result(ssl_);
        ERR_clear_error();
        std::string text = X509_verify_cert_error_string(verify);
        if (verify == X509_V_ERR_IP_ADDRESS_MISMATCH || verify == X509_V_ERR_HOSTNAME_MISMATCH) {
            text += " (the certificate is not for the address or name connected to)";
        }
        return {HandshakeError::verification, text};
    }
    unsigned long code = 0;
    const std::string reason = take_openssl_error("", &code);
    if (ssl_error == SSL_ERROR_SYSCALL || is_reason(code, SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
        if (io_reset_) {
            return {HandshakeError::not_tls, "the peer reset the connection during the TLS handshake"};
        }
        if (ret == 0 || reason.empty() || is_reason(code, SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
            return {HandshakeError::not_tls, "the peer closed the connection during the TLS handshake"};
        }
        return {HandshakeError::failed, socket_error_text()};
    }
    if (is_reason(code, SSL_R_WRONG_VERSION_NUMBER) || is_reason(code, SSL_R_PACKET_LENGTH_TOO_LONG) ||
        is_reason(code, SSL_R_UNKNOWN_PROTOCOL) || is_reason(code, SSL_R_HTTP_REQUEST)) {
        return {HandshakeError::not_tls, "the peer does not speak TLS (" + reason + ")"};
    }
    if (reason.find("alert") != std::string::npos) {
        return {HandshakeError::rejected, "the peer refused the handshake: " + reason};
    }
    if (!client && is_reason(code, SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE)) {
        return {HandshakeError::rejected, "the peer sent no certificate, and one is required"};
    }
    if (!client && SSL_get_verify_result(ssl_) != X509_V_OK) {
        return {HandshakeError::verification, std::string("the peer's certificate: ") +
                                                  X509_verify_cert_error_string(SSL_get_verify_result(ssl_))};
    }
    return {HandshakeError::failed, reason.empty() ? "the TLS handshake failed" : reason};
}

bool OpenSslSession::handshake(bool client, int timeout_ms, HandshakeResult* result) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        ERR_clear_error();
        const int ret = client ? SSL_connect(ssl_) : SSL_accept(ssl_);
        if (ret == 1) {
            break;
        }
        const int error = SSL_get_error(ssl_, ret);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            *result = failure(client, ret, error);
            return false;
        }
        const int left = remaining_ms(deadline);
        const int ready = left == 0                      ? 0
                          : error == SSL_ERROR_WANT_READ ? net::wait_readable(socket_, left)
                                                         : net::wait_writable(socket_, left);
        if (ready <= 0) {
            *result = ready == 0
                          ? HandshakeResult{HandshakeError::timeout,
                                            "no TLS handshake within " + std::to_string(timeout_ms) + " ms"}
                          : HandshakeResult{HandshakeError::failed, net::last_error_text()};
            return false;
        }
    }
    if (client && certificate_requested && SSL_version(ssl_) == TLS1_3_VERSION &&
        !await_certificate_verdict(deadline, result)) {
        return false;
    }
    description_ =
        std::string(SSL_get_version(ssl_)) + " " + SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_));
    return true;
}

// In TLS 1.3 the entity judges the tester's (missing) certificate after the tester's handshake is done:
// it answers with an alert, or with its first records (session tickets). Waits for either, so that a
// refusal is a handshake failure rather than the end of a connection that seemed established.
bool OpenSslSession::await_certificate_verdict(Clock::time_point deadline, HandshakeResult* result) {
    const uint64_t before = bytes_read;
    const Clock::time_point until =
        std::min(deadline, Clock::now() + std::chrono::milliseconds(kCertificateVerdictMs));
    for (;;) {
        uint8_t byte = 0;
        ERR_clear_error();
        const int ret = SSL_peek(ssl_, &byte, 1);
        if (ret > 0) {
            return true;
        }
        const int error = SSL_get_error(ssl_, ret);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            *result = failure(true, ret, error);
            return false;
        }
        if (bytes_read != before) {
            return true;  // a record that is not an alert: the entity goes on
        }
        const int left = remaining_ms(until);
        if (left == 0 || net::wait_readable(socket_, left) <= 0) {
            return true;  // a silent entity: taken as going on
        }
    }
}

size_t OpenSslSession::read(uint8_t* buffer, size_t capacity, ReadStatus* status, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(capacity, INT_MAX)));
    if (n > 0) {
        *status = ReadStatus::data;
        return static_cast<size_t>(n);
    }
    const int ssl_error = SSL_get_error(ssl_, n);
    unsigned long code = 0;
    switch (ssl_error) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            *status = ReadStatus::would_block;
            break;
        case SSL_ERROR_ZERO_RETURN:
            *status = ReadStatus::closed;
            break;
        case SSL_ERROR_SYSCALL:
            ERR_clear_error();
            *status = io_reset_           ? ReadStatus::reset
                      : io_error_.empty() ? ReadStatus::truncated
                                          : ReadStatus::failed;
            *error = socket_error_text();
            break;
        default: {
            const std::string reason = take_openssl_error("TLS error", &code);
            *status = is_reason(code, SSL_R_UNEXPECTED_EOF_WHILE_READING) ? ReadStatus::truncated
                      : io_reset_                                         ? ReadStatus::reset
                                                                          : ReadStatus::failed;
            *error = reason;
            break;
        }
    }
    return 0;
}

bool OpenSslSession::write_all(const uint8_t* bytes, size_t count, int timeout_ms, std::string* error) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (count > 0) {
        int n = 0;
        int ssl_error = SSL_ERROR_NONE;
        std::string reason;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ERR_clear_error();
            n = SSL_write(ssl_, bytes, static_cast<int>(std::min<size_t>(count, INT_MAX)));
            if (n <= 0) {
                ssl_error = SSL_get_error(ssl_, n);
                reason =
                    ssl_error == SSL_ERROR_SYSCALL ? socket_error_text() : take_openssl_error("TLS error");
            }
        }
        if (n > 0) {
            bytes += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        if (ssl_error != SSL_ERROR_WANT_WRITE && ssl_error != SSL_ERROR_WANT_READ) {
            *error = reason;
            return false;
        }
        const int left = timeout_ms > 0 ? remaining_ms(deadline) : -1;
        int ready = 0;
        if (left == 0) {
            ready = 0;
        } else if (ssl_error == SSL_ERROR_WANT_WRITE) {
            ready = net::wait_writable(socket_, left);
        } else {
            // A write that needs a read first (rare in TLS 1.3) leaves the reading to the connection's
            // reader and tries again shortly.
            ready = net::wait_readable(socket_, left < 0 ? 10 : std::min(left, 10)) < 0 ? -1 : 1;
        }
        if (ready == 0) {
            *error = "the peer took nothing for " + std::to_string(timeout_ms) + " ms";
            return false;
        }
        if (ready < 0) {
            *error = net::last_error_text();
            return false;
        }
    }
    return true;
}

std::unique_ptr<Session> start(const std::shared_ptr<Context>& context, net::Handle socket, bool client,
                               const std::string& peer_ip, int timeout_ms, HandshakeResult* result) {
    const auto openssl = std::dynamic_pointer_cast<OpenSslContext>(context);
    if (!openssl) {
        *result = {HandshakeError::failed, "no TLS context"};
        return nullptr;
    }
    if (!net::set_nonblocking(socket)) {
        *result = {HandshakeError::failed, "cannot make the socket non-blocking: " + net::last_error_text()};
        return nullptr;
    }
    SSL* ssl = SSL_new(openssl->get());
    if (ssl == nullptr) {
        *result = {HandshakeError::failed,
                   "cannot make a TLS session: " + take_openssl_error("out of memory")};
        return nullptr;
    }
    auto session = std::make_unique<OpenSslSession>(openssl, ssl, socket);
    if (client) {
        const std::string& name = openssl->server_name.empty() ? peer_ip : openssl->server_name;
        const bool is_address = net::is_ipv4(name);
        if (!openssl->server_name.empty() && !is_address) {
            SSL_set_tlsext_host_name(ssl, name.c_str());
        }
        if (openssl->verify_peer) {
            X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
            const int set = is_address ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())
                                       : X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
            if (set != 1) {
                *result = {HandshakeError::failed, "cannot verify against the name " + name};
                ERR_clear_error();
                return nullptr;
            }
        }
    }
    if (!session->handshake(client, timeout_ms, result)) {
        return nullptr;
    }
    return session;
}

}  // namespace

// A tester without a certificate of its own declines the entity's request for one; whether the entity
// goes on without it shows later (see await_certificate_verdict()).
int decline_certificate(SSL* ssl, X509** /*certificate*/, EVP_PKEY** /*key*/) {
    static_cast<OpenSslSession*>(SSL_get_app_data(ssl))->certificate_requested = true;
    return 0;
}

std::unique_ptr<Session> connect(const std::shared_ptr<Context>& context, net::Handle socket,
                                 const std::string& peer_ip, int timeout_ms, HandshakeResult* result) {
    return start(context, socket, true, peer_ip, timeout_ms, result);
}

std::unique_ptr<Session> accept(const std::shared_ptr<Context>& context, net::Handle socket, int timeout_ms,
                                HandshakeResult* result) {
    return start(context, socket, false, std::string(), timeout_ms, result);
}

}  // namespace doip_tools::tls
