#include "client/state_registry.h"

#include "client/client_objects.h"
#include "client/connection_key.h"
#include "doip.h"

namespace doip::detail {

void StateRegistry::set(const std::string& key, int state) {
    std::lock_guard<std::mutex> lock(mutex_);
    states_[key] = state;
}

std::optional<int> StateRegistry::get(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = states_.find(key);
    if (found == states_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void StateRegistry::erase(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.erase(key);
}

void StateRegistry::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.clear();
}

std::vector<std::string> StateRegistry::keys() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> keys;
    keys.reserve(states_.size());
    for (const auto& entry : states_) {
        keys.push_back(entry.first);
    }
    return keys;
}

}  // namespace doip::detail

extern "C" {

DOIP_API int set_doip_state(const doip_s* ctx, int state) {
    if (ctx == nullptr) {
        return DOIP_OK;
    }
    if (!doip::detail::has_key_addresses(*ctx)) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    doip::detail::state_registry().set(doip::detail::connection_key(*ctx), state);
    return DOIP_OK;
}

DOIP_API int get_doip_state(const doip_s* ctx, int* state) {
    if (state == nullptr) {
        return DOIP_OK;
    }
    *state = DOIP_STATE_NONE;
    if (ctx == nullptr) {
        return DOIP_OK;
    }
    if (!doip::detail::has_key_addresses(*ctx)) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    if (const auto stored = doip::detail::state_registry().get(doip::detail::connection_key(*ctx))) {
        *state = *stored;
    }
    return DOIP_OK;
}

DOIP_API int delete_doip_state(const doip_s* ctx) {
    if (ctx == nullptr) {
        return DOIP_OK;
    }
    if (!doip::detail::has_key_addresses(*ctx)) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    doip::detail::state_registry().erase(doip::detail::connection_key(*ctx));
    return DOIP_OK;
}

DOIP_API int reset_doip_state(void) {
    doip::detail::state_registry().clear();
    return DOIP_OK;
}

}  // extern "C"
