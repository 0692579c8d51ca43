// TLS over a connected TCP socket, for the socket layer (client side) and the entity simulator (server
// side). Built on OpenSSL (tls_context_openssl.cpp, tls_session_openssl.cpp); a build without it compiles
// tls_none.cpp, where available() is false and every context fails with the text kUnavailableText.
//
// TLS 1.2 and 1.3 only, with forward-secret AEAD suites only (ECDHE; all of TLS 1.3's are). The
// authentication-only suites (NULL encryption, which some vehicle PKIs use for diagnostics that need
// integrity but not secrecy) are offered only when `allow_null_cipher` is set; they exist in TLS 1.2 only,
// at OpenSSL's security level 0.
//
// A Session owns no socket: its handle stays the caller's (to shut down and close as before). The session
// turns the socket non-blocking for good. Any thread may call read() while another calls write_all(): the
// session serialises them itself and never blocks while it holds its lock.
#ifndef DOIP_TOOLS_SOCKET_TLS_H
#define DOIP_TOOLS_SOCKET_TLS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net.h"

namespace doip_tools::tls {

constexpr const char* kUnavailableText =
    "built without TLS (no OpenSSL in this build); see the README for what a TLS build needs";

enum class Version { tls1_2, tls1_3 };

struct ClientOptions {
    std::string ca_file;  // PEM: the CAs trusted for the entity's certificate chain
    std::string ca_dir;   // a directory of hashed CA certificates (c_rehash), as OpenSSL reads it
    // The chain, and the entity's IP address or name (server_name when set, else the address connected to)
    // against the certificate's subjectAltName. Off: anything is accepted (a tester should say so).
    bool verify_peer = true;
    std::string cert_file;    // PEM: the tester's certificate (mutual TLS); with key_file
    std::string key_file;     // PEM: its private key
    std::string server_name;  // SNI and the name verified; empty: the address connected to
    std::string keylog_file;  // appended in the NSS key log format (for Wireshark); empty: none
    Version min_version = Version::tls1_2;
    Version max_version = Version::tls1_3;
    bool allow_null_cipher = false;
};

struct ServerOptions {
    std::string cert_file;       // PEM: the entity's certificate (and chain)
    std::string key_file;        // PEM: its private key
    std::string client_ca_file;  // PEM: when set, a client certificate issued by one of these is required
    std::string keylog_file;
    Version min_version = Version::tls1_2;
    Version max_version = Version::tls1_3;
    bool allow_null_cipher = false;
};

// True when this build has TLS.
bool available();

// The settings loaded once (CAs, certificate, key), shared by every session made from it. Any thread.
class Context {
  public:
    virtual ~Context() = default;
};

// Null with `error` filled ("cannot read the CA file ca.pem: No such file or directory", the certificate
// and key do not match, kUnavailableText) when the settings cannot be used.
std::shared_ptr<Context> client_context(const ClientOptions& options, std::string* error);
std::shared_ptr<Context> server_context(const ServerOptions& options, std::string* error);

// Why a handshake failed.
enum class HandshakeError {
    none,
    timeout,       // not complete within the time given
    verification,  // the peer's certificate was not accepted (text: the reason OpenSSL gives)
    not_tls,       // the peer answered with something other than TLS, or closed at once
    rejected,      // the peer ended the handshake with an alert (text names it: "certificate required", ...)
    failed         // another failure (text: OpenSSL's reason)
};

struct HandshakeResult {
    HandshakeError error = HandshakeError::none;
    std::string text;  // in words, for a log line or a tester's output
};

// How a read ended.
enum class ReadStatus {
    data,         // bytes were read
    would_block,  // nothing to hand out yet (no whole record, or only handshake messages): wait and retry
    closed,       // the peer closed the session with close_notify
    truncated,    // the connection ended without close_notify: what came last may be cut short
    reset,        // the peer reset the connection
    failed        // a TLS or socket error (text says which)
};

class Session {
  public:
    virtual ~Session() = default;

    // Bytes read into `buffer` (at most `capacity`), 0 with another status.
    virtual size_t read(uint8_t* buffer, size_t capacity, ReadStatus* status, std::string* error) = 0;
    // True when read() has bytes without looking at the socket (decrypted or received but not yet
    // processed): poll() on the socket would not see them.
    virtual bool has_buffered() = 0;
    // 1 when read() may have something (has_buffered(), or the socket is readable), 0 on timeout, -1 on
    // failure.
    virtual int wait_readable(int timeout_ms) = 0;
    // Writes every byte; false (with `error`) when the connection failed or the peer took nothing for
    // `timeout_ms` (0: no limit). What was written of the bytes by then is lost: the caller ends the
    // connection.
    virtual bool write_all(const uint8_t* bytes, size_t count, int timeout_ms, std::string* error) = 0;
    // Sends close_notify if it can without waiting. Idempotent; the socket stays open.
    virtual void close_notify() = 0;
    // "TLSv1.3 TLS_AES_256_GCM_SHA384", for log lines.
    virtual std::string description() const = 0;
};

// The client handshake on the connected `socket` to `peer_ip` (the name verified unless the options give a
// server name), within `timeout_ms`. Null with `result` filled on failure.
std::unique_ptr<Session> connect(const std::shared_ptr<Context>& context, net::Handle socket,
                                 const std::string& peer_ip, int timeout_ms, HandshakeResult* result);
// The server handshake on the accepted `socket`, within `timeout_ms`. Null with `result` filled on failure.
std::unique_ptr<Session> accept(const std::shared_ptr<Context>& context, net::Handle socket, int timeout_ms,
                                HandshakeResult* result);

}  // namespace doip_tools::tls

#endif
