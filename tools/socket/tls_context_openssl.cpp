// TLS settings on OpenSSL 3: the contexts for testers and entities (versions, suites, CAs, certificates
// and keys, the key log), made once and shared by every session.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "tls_openssl.h"

namespace doip_tools::tls {
namespace {

// TLS 1.2 suites: ECDHE key exchange with an AEAD cipher only (TLS 1.3's are all of that kind).
constexpr const char* kCipherList = "ECDHE+AESGCM:ECDHE+CHACHA20";
// Authentication-only suites (no encryption), appended when asked for; they need security level 0.
constexpr const char* kNullCipherList = "ECDHE+AESGCM:ECDHE+CHACHA20:ECDHE+eNULL:@SECLEVEL=0";

int version_number(Version v) {
    return v == Version::tls1_2 ? TLS1_2_VERSION : TLS1_3_VERSION;
}

// What both kinds of context share: versions, suites, a certificate and its key.
std::shared_ptr<OpenSslContext> new_context(const SSL_METHOD* method, Version min, Version max,
                                            bool null_cipher, std::string* error) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(method);
    if (ctx == nullptr) {
        *error = "cannot make a TLS context: " + take_openssl_error("out of memory");
        return nullptr;
    }
    auto context = std::make_shared<OpenSslContext>(ctx);
    if (SSL_CTX_set_min_proto_version(ctx, version_number(min)) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, version_number(max)) != 1 ||
        SSL_CTX_set_cipher_list(ctx, null_cipher ? kNullCipherList : kCipherList) != 1) {
        *error = "cannot set the TLS versions and suites: " + take_openssl_error("rejected");
        return nullptr;
    }
    if (null_cipher) {
        SSL_CTX_set_security_level(ctx, 0);
    }
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return context;
}

bool use_certificate(SSL_CTX* ctx, const std::string& cert, const std::string& key, std::string* error) {
    if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1) {
        *error = "cannot load the certificate " + cert + ": " + take_openssl_error("unreadable");
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        *error = "cannot load the private key " + key + ": " + take_openssl_error("unreadable");
        return false;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        *error = "the private key " + key + " does not belong to the certificate " + cert;
        ERR_clear_error();
        return false;
    }
    return true;
}

}  // namespace

// The reason of the oldest error in OpenSSL's queue ("certificate verify failed"), which is emptied;
// `fallback` when there is none.
std::string take_openssl_error(const std::string& fallback, unsigned long* code) {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (code != nullptr) {
        *code = error;
    }
    if (error == 0) {
        return fallback;
    }
    const char* reason = ERR_reason_error_string(error);
    if (reason != nullptr) {
        return reason;
    }
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return text;
}

bool available() {
    return true;
}

std::shared_ptr<Context> client_context(const ClientOptions& options, std::string* error) {
    auto context = new_context(TLS_client_method(), options.min_version, options.max_version,
                               options.allow_null_cipher, error);
    if (!context) {
        return nullptr;
    }
    SSL_CTX* ctx = context->get();
    context->verify_peer = options.verify_peer;
    context->server_name = options.server_name;
    if (options.verify_peer) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        const char* file = options.ca_file.empty() ? nullptr : options.ca_file.c_str();
        const char* dir = options.ca_dir.empty() ? nullptr : options.ca_dir.c_str();
        const bool loaded = file == nullptr && dir == nullptr
                                ? SSL_CTX_set_default_verify_paths(ctx) == 1
                                : SSL_CTX_load_verify_locations(ctx, file, dir) == 1;
        if (!loaded) {
            *error = "cannot load the CA certificates from " +
                     (file != nullptr  ? options.ca_file
                      : dir != nullptr ? options.ca_dir
                                       : "the system") +
                     ": " + take_openssl_error("unreadable");
            return nullptr;
        }
    } else {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    }
    if (!options.cert_file.empty() || !options.key_file.empty()) {
        if (options.cert_file.empty() || options.key_file.empty()) {
            *error = "a client certificate needs both the certificate and its key";
            return nullptr;
        }
        if (!use_certificate(ctx, options.cert_file, options.key_file, error)) {
            return nullptr;
        }
        context->has_certificate = true;
    } else {
        SSL_CTX_set_client_cert_cb(ctx, decline_certificate);
    }
    if (!context->open_keylog(options.keylog_file, error)) {
        return nullptr;
    }
    return context;
}

std::shared_ptr<Context> server_context(const ServerOptions& options, std::string* error) {
    auto context = new_context(TLS_server_method(), options.min_version, options.max_version,
                               options.allow_null_cipher, error);
    if (!context) {
        return nullptr;
    }
    SSL_CTX* ctx = context->get();
    if (!use_certificate(ctx, options.cert_file, options.key_file, error)) {
        return nullptr;
    }
    if (!options.client_ca_file.empty()) {
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(options.client_ca_file.c_str());
        if (names == nullptr ||
            SSL_CTX_load_verify_locations(ctx, options.client_ca_file.c_str(), nullptr) != 1) {
            sk_X509_NAME_pop_free(names, X509_NAME_free);
            *error = "cannot load the client CA certificates from " + options.client_ca_file + ": " +
                     take_openssl_error("unreadable");
            return nullptr;
        }
        SSL_CTX_set_client_CA_list(ctx, names);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    if (!context->open_keylog(options.keylog_file, error)) {
        return nullptr;
    }
    return context;
}

}  // namespace doip_tools::tls
