// The target list: the local end of every connection the state registry knows, in key order.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "client/state_registry.h"
#include "doip.h"

namespace {

constexpr size_t kTargetAddressMax = 64;

// Reads a leading decimal int the way strtol does (white space, sign, digits up to the first other
// character); nothing when the text does not start with a number or the number does not fit an int.
std::optional<int> leading_int(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

}  // namespace

extern "C" DOIP_API int get_doip_targets(eth_config_s* targets, int* count) {
    if (targets == nullptr || count == nullptr || *count < 1) {
        return DOIP_ERR_GENERAL;
    }
    const int capacity = *count;
    int written = 0;
    for (const std::string& key : doip::detail::state_registry().keys()) {
        if (written >= capacity) {
            break;
        }
        const size_t colon = key.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::optional<int> port = leading_int(key.substr(colon + 1));
        if (!port) {
            continue;
        }
        eth_config_s& target = targets[written];
        std::memset(&target, 0, sizeof target);
        std::memcpy(target.ip_address, key.data(), std::min(colon, kTargetAddressMax));
        target.ip_address[kTargetAddressMax] = '\0';
        target.port = static_cast<uint16_t>(static_cast<unsigned>(*port) & 0xFFFFu);
        ++written;
    }
    *count = written;
    return DOIP_OK;
}
