#include "client/connection_key.h"

#include <cstdio>
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

}  // namespace doip::detail
