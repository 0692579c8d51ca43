// The target list: the local end of every connection the state registry knows, in key order.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "client/client_objects.h"
#include "client/connection_key.h"
#include "client/state_registry.h"
#include "doip.h"

namespace {

constexpr size_t kTargetAddressMax = 64;

}  // namespace

// The first end is split at the key's first ':' and its port number ends at the ',' after it.
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
        const std::optional<doip::detail::KeyEnd> first_end = doip::detail::split_key_end(key);
        if (!first_end) {
            continue;
        }
        const std::optional<int> port = doip::detail::key_port_number(first_end->port);
        if (!port) {
            continue;
        }
        eth_config_s& target = targets[written];
        std::memset(&target, 0, sizeof target);
        std::memcpy(target.ip_address, first_end->address.data(),
                    std::min(first_end->address.size(), kTargetAddressMax));
        target.ip_address[kTargetAddressMax] = '\0';
        target.port = static_cast<uint16_t>(static_cast<unsigned>(*port) & 0xFFFFu);
        ++written;
    }
    *count = written;
    return DOIP_OK;
}
