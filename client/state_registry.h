// The connection state registry: connection key -> activation state, ordered byte-wise by key.
#ifndef DOIP_CLIENT_STATE_REGISTRY_H
#define DOIP_CLIENT_STATE_REGISTRY_H

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace doip::detail {

// Every member is safe to call from any thread; each call holds the lock only for its own work.
class StateRegistry {
  public:
    void set(const std::string& key, int state);
    std::optional<int> get(const std::string& key) const;
    void erase(const std::string& key);
    void clear();
    // A snapshot of the keys in their order.
    std::vector<std::string> keys() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, int> states_;
};

}  // namespace doip::detail

#endif
