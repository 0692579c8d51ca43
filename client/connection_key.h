// The text that names a connection: "local_ip:local_port,remote_ip:remote_port".
#ifndef DOIP_CLIENT_CONNECTION_KEY_H
#define DOIP_CLIENT_CONNECTION_KEY_H

#include <string>

#include "doip.h"

namespace doip::detail {

// Size of the buffer the key is formatted in; a key keeps at most 44 characters (longer ones are cut).
constexpr size_t kConnectionKeySize = 45;

// The address text of an end point, read only up to its field size whether terminated or not.
std::string address_text(const eth_config_s& end);

// The key of a context. Address texts are read only up to their field size, terminated or not.
std::string connection_key(const doip_s& ctx);

}  // namespace doip::detail

#endif
