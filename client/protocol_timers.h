// The protocol timers of the client and the registry that remembers them per connection.
#ifndef DOIP_CLIENT_PROTOCOL_TIMERS_H
#define DOIP_CLIENT_PROTOCOL_TIMERS_H

#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "uilitylib.h"

namespace doip::detail {

// Connection key -> the timers started for it, oldest first. A key exists only while its list is not
// empty. Any thread.
class TimerRegistry {
  public:
    void add(const std::string& key, int kind, uilitylib::TimerId id);
    // Removes and returns the oldest entry of `kind` under `key`.
    std::optional<uilitylib::TimerId> remove_oldest(const std::string& key, int kind);

  private:
    std::mutex mutex_;
    std::map<std::string, std::list<std::pair<int, uilitylib::TimerId>>> timers_;
};

// Starts the process-wide protocol timer loop unless it already runs. Called by every doip_init.
void start_timer_loop_once();

}  // namespace doip::detail

#endif
