// A throw-away PKI for the tests, the demo and trying TLS out (doip-sim --make-certs): a CA and
// certificates made by it, written as PEM files. Keys are EC P-256, made afresh each time; nothing here is
// for a real vehicle.
#ifndef DOIP_TOOLS_SOCKET_CERTIFICATES_H
#define DOIP_TOOLS_SOCKET_CERTIFICATES_H

#include <string>

namespace doip_tools::tls {

// The files make_certificates() writes into its directory (names relative to it).
struct CertificateFiles {
    std::string ca = "ca.pem";          // the CA that issued everything below but `stranger`
    std::string entity = "entity.pem";  // the entity: subjectAltName IP:<entity_ip> and DNS:<entity_name>
    std::string entity_key = "entity.key";
    std::string tester = "tester.pem";  // a tester (client) certificate
    std::string tester_key = "tester.key";
    std::string expired = "expired.pem";  // the entity's names, but valid only in the past
    std::string expired_key = "expired.key";
    std::string other_address = "other.pem";  // another address (IP:192.0.2.1), same CA
    std::string other_address_key = "other.key";
    std::string stranger = "stranger.pem";  // the entity's names, from a CA nobody trusts
    std::string stranger_key = "stranger.key";
    std::string stranger_ca = "stranger-ca.pem";
};

// Makes the CA and the certificates in `dir` (created if missing; existing files are replaced; keys are
// written readable by the owner only where the system has such permissions). False with `error` filled on
// failure, or when the build has no TLS.
bool make_certificates(const std::string& dir, const std::string& entity_ip, const std::string& entity_name,
                       std::string* error);

}  // namespace doip_tools::tls

#endif
