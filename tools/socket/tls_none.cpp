// A build without TLS: every TLS setting fails with the same text, everything else works.
#include "certificates.h"
#include "tls.h"

namespace doip_tools::tls {

bool available() {
    return false;
}

std::shared_ptr<Context> client_context(const ClientOptions&, std::string* error) {
    *error = kUnavailableText;
    return nullptr;
}

std::shared_ptr<Context> server_context(const ServerOptions&, std::string* error) {
    *error = kUnavailableText;
    return nullptr;
}

std::unique_ptr<Session> connect(const std::shared_ptr<Context>&, net::Handle, const std::string&, int,
                                 HandshakeResult* result) {
    *result = HandshakeResult{HandshakeError::failed, kUnavailableText};
    return nullptr;
}

std::unique_ptr<Session> accept(const std::shared_ptr<Context>&, net::Handle, int, HandshakeResult* result) {
    *result = HandshakeResult{HandshakeError::failed, kUnavailableText};
    return nullptr;
}

bool make_certificates(const std::string&, const std::string&, const std::string&, std::string* error) {
    *error = kUnavailableText;
    return false;
}

}  // namespace doip_tools::tls
