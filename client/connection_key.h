// The text that names a connection: "local_ip:local_port,remote_ip:remote_port", built and split here only.
#ifndef DOIP_CLIENT_CONNECTION_KEY_H
#define DOIP_CLIENT_CONNECTION_KEY_H

#include <optional>
#include <string>
#include <string_view>

#include "doip.h"

namespace doip::detail {

// The longest key: two dotted IPv4 addresses of 15 characters and two ports of 5 digits.
constexpr size_t kConnectionKeyMax = 43;

// The address text of an end point, read only up to its field size whether terminated or not.
std::string address_text(const eth_config_s& end);

// Whether both address texts of the context can form a key: each one empty or a dotted IPv4 address
// (four decimal numbers 0..255 of one to three digits, separated by '.'), terminated within its field.
// Any other text could make two connections share a key, or a key that does not split into its ends.
bool has_key_addresses(const doip_s& ctx);

// The key of a context whose addresses can form one (has_key_addresses), at most kConnectionKeyMax
// characters.
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
