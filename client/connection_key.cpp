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

}  // namespace

std::string address_text(const eth_config_s& end) {
    return std::string(end.ip_address, static_cast<size_t>(bounded_length(end.ip_address)));
}

std::string connection_key(const doip_s& ctx) {
    char buf[kConnectionKeySize] = {};
    std::snprintf(buf, sizeof buf, "%.*s:%d,%.*s:%d", bounded_length(ctx.local.ip_address),
                  ctx.local.ip_address, static_cast<int>(ctx.local.port),
                  bounded_length(ctx.remote.ip_address), ctx.remote.ip_address,
                  static_cast<int>(ctx.remote.port));
    return std::string(buf);
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
    // strtol needs a terminated text; a key is at most 44 characters.
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
