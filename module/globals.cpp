// The process-wide objects, defined in one translation unit so that they are constructed in this order
// when the library is loaded and destroyed in the reverse order when it is unloaded. The message cache
// is built on first use and therefore destroyed before all of them; the timer loop, destroyed next,
// quits and joins its thread before the registries and the text table go. At process exit nothing is
// destroyed (client/process_object.h).
#include "module/globals.h"

#include "client/process_object.h"
#include "client/protocol_timers.h"
#include "client/state_registry.h"
#include "client/timer_loop.h"

namespace doip::detail {
namespace {

// 1. The error text table.
ProcessObject<const ErrorTextMap> doip_err_str_map(make_error_text_map());
// 2. The connection state registry.
ProcessObject<StateRegistry> doip_state_registry;
// 3. The timer registry.
ProcessObject<TimerRegistry> doip_timer_registry;
// 4. The protocol timer loop; no thread runs until the first doip_init.
ProcessObject<TimerLoop> doip_timer_event_loop;

}  // namespace

const ErrorTextMap& err_str_map() {
    return doip_err_str_map.get();
}
StateRegistry& state_registry() {
    return doip_state_registry.get();
}
TimerRegistry& timer_registry() {
    return doip_timer_registry.get();
}
TimerLoop& timer_loop() {
    return doip_timer_event_loop.get();
}

}  // namespace doip::detail
