// The OpenSSL side of tls.h, shared by its two files: tls_context_openssl.cpp (settings, certificates,
// keys, the key log) and tls_session_openssl.cpp (handshakes, reads and writes over the socket wrapper).
#ifndef DOIP_TOOLS_SOCKET_TLS_OPENSSL_H
#define DOIP_TOOLS_SOCKET_TLS_OPENSSL_H

#include <openssl/ssl.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "tls.h"

namespace doip_tools::tls {

// The reason of the oldest error in OpenSSL's queue ("certificate verify failed"), which is emptied;
// `fallback` when there is none.
std::string take_openssl_error(const std::string& fallback, unsigned long* code = nullptr);

// A tester without a certificate of its own declines the entity's request for one; whether the entity
// goes on without it shows after the handshake (see the session's certificate verdict).
int decline_certificate(SSL* ssl, X509** certificate, EVP_PKEY** key);

class OpenSslContext : public Context {
  public:
    explicit OpenSslContext(SSL_CTX* ctx) : ctx_(ctx) { SSL_CTX_set_app_data(ctx_, this); }
    ~OpenSslContext() override {
        SSL_CTX_free(ctx_);
        if (keylog_ != nullptr) {
            std::fclose(keylog_);
        }
    }
    OpenSslContext(const OpenSslContext&) = delete;
    OpenSslContext& operator=(const OpenSslContext&) = delete;

    SSL_CTX* get() const { return ctx_; }

    // Appends the session keys of every session to `path` (nothing when empty).
    bool open_keylog(const std::string& path, std::string* error) {
        if (path.empty()) {
            return true;
        }
        keylog_ = std::fopen(path.c_str(), "a");
        if (keylog_ == nullptr) {
            *error = "cannot open the key log file " + path + " for appending";
            return false;
        }
        SSL_CTX_set_keylog_callback(ctx_, [](const SSL* ssl, const char* line) {
            static_cast<OpenSslContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)))->log_key(line);
        });
        return true;
    }

    bool verify_peer = true;
    std::string server_name;
    bool has_certificate = false;

  private:
    void log_key(const char* line) {
        std::lock_guard<std::mutex> lock(keylog_mutex_);
        std::fprintf(keylog_, "%s\n", line);
        std::fflush(keylog_);
    }

    SSL_CTX* const ctx_;
    std::FILE* keylog_ = nullptr;
    std::mutex keylog_mutex_;
};

}  // namespace doip_tools::tls

#endif
