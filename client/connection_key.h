// The text that names a connection: "local_ip:local_port,remote_ip:remote_port", built and split here only.
#ifndef DOIP_CLIENT_CONNECTION_KEY_H
#define DOIP_CLIENT_CONNECTION_KEY_H

#include <optional>
#include <string>
#include <string_view>

#include "doip.h"

namespace doip::detail {

// Size of the buffer the key is formatted in; a key keeps at most 44 characters (longer ones are cut).
constexpr size_t kConnectionKeySize = 45;

// The address text of an end point, read only up to its field size whether terminated or not.
std::string address_text(const eth_config_s& end);

// The key of a context. Address texts are read only up to their field size, terminated or not.
std::string connection_key(const doip_s& ctx);

// One end of a key: the text before its first ':' and the port text after it, unconverted.
struct KeyEnd {
    std::string_view address;
    std::string_view port;
};

// The two ends of a key, split at its first ','; each end splits at its own first ':'. An end without a
// ':' (or a key without a ',', for the remote end) is absent. The views point into `key`.
struct KeyEnds {
    std::optional<KeyEnd> local;
    std::optional<KeyEnd> remote;
};
KeyEnds split_connection_key(std::string_view key);

// Splits an end, or any text, at its first ':'; absent without one.
std::optional<KeyEnd> split_key_end(std::string_view end);

// The port number at the start of a port text, read as strtol reads it (leading white space, a sign,
// digits up to the first other character); absent when the text does not start with a number that fits
// an int.
std::optional<int> key_port_number(std::string_view port);

}  // namespace doip::detail

#endif
