// (placeholder, replaced by the OpenSSL implementation)
#include "certificates.h"

#include "tls.h"

namespace doip_tools::tls {

bool make_certificates(const std::string&, const std::string&, const std::string&, std::string* error) {
    *error = kUnavailableText;
    return false;
}

}  // namespace doip_tools::tls
