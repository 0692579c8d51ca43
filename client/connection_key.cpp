#include "client/connection_key.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace doip::detail {
namespace {

int bounded_length(const char (&text)[DOIP_IP_ADDRESS_SIZE]) {
    const void* nul = std::memchr(text, '\0', sizeof text);
    return nul != nullptr ? static_cast<int>(static_cast<const char*>(nul) - text)
                          : static_cast<int>(sizeof text);
}

// Empty, or four decimal numbers 0..255 of one to three digits separated by '.', NUL-terminated in the
// field.
bool is_key_address(const eth_config_s& end) {
    const int length = bounded_length(end.ip_address);
    if (length == static_cast<int>(sizeof end.ip_address)) {
        return false;  // not terminated
    }
    if (length == 0) {
        return true;
    }
    int numbers = 0;
    int digits = 0;
    int value = 0;
    for (int i = 0; i <= length; ++i) {
        const char c = end.ip_address[i];
        if (c >= '0' && c <= '9') {
            value = value * 10 + (c - '0');
            if (++digits > 3 || value > 255) {
                return false;
            }
        } else if ((c == '.' || c == '\0') && digits > 0) {
            ++numbers;
            digits = 0;
            value = 0;
        } else {
            return false;
        }
    }
    return numbers == 4;
}

}  // namespace

std::string address_text(const eth_config_s& end) {
    return std::string(end.ip_address, static_cast<size_t>(bounded_length(end.ip_address)));
}

bool has_key_addresses(const doip_s& ctx) {
    return is_key_address(ctx.local) && is_key_address(ctx.remote);
}

std::string connection_key(const doip_s& ctx) {
    return address_text(ctx.local) + ':' + std::to_string(ctx.local.port) + ',' + address_text(ctx.remote) +
           ':' + std::to_string(ctx.remote.port);
}

std::optional<KeyEnd> split_key_end(std::string_view end) {
    const size_t colon = end.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    return KeyEnd{end.substr(0, colon), end.substr(colon + 1)};
}

KeyEnds split_connection_key(std::string_view key) {
    const size_t comma = key.find(',');
    KeyEnds ends;
    ends.local = split_key_end(key.substr(0, comma));
    if (comma != std::string_view::npos) {
        ends.remote = split_key_end(key.substr(comma + 1));
    }
    return ends;
}

std::optional<int> key_port_number(std::string_view port) {
    // strtol needs a terminated text; a key is at most kConnectionKeyMax characters.
    const std::string text(port);
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

}  // namespace doip::detail
