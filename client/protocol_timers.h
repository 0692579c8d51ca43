// The protocol timers of the client and the process-wide loop they run on.
#ifndef DOIP_CLIENT_PROTOCOL_TIMERS_H
#define DOIP_CLIENT_PROTOCOL_TIMERS_H

namespace doip::detail {

// Starts the process-wide protocol timer loop unless it already runs. Called by every doip_init.
void start_timer_loop_once();

}  // namespace doip::detail

#endif
