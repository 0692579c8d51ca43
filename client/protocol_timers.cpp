#include "client/protocol_timers.h"

namespace doip::detail {

// The timer loop does not exist yet: nothing to start.
void start_timer_loop_once() {}

}  // namespace doip::detail
