// The process-wide objects, defined in one translation unit so that they are constructed in this order
// when the library is loaded and destroyed in the reverse order when it is unloaded. The message cache
// is built on first use and therefore destroyed before all of them; the timer loop, destroyed next,
// quits and joins its thread before the registries and the text table go. At process exit nothing is
// destroyed (module/process_object.h). The client reaches them through client/client_objects.h.
#include "client/client_objects.h"
#include "client/message_cache.h"
#include "client/protocol_timers.h"
#include "client/state_registry.h"
#include "client/timer_loop.h"
#include "module/process_object.h"

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

MessageCache& doip_message_cache() {
    static ProcessObject<MessageCache> cache;
    return cache.get();
}

// Runs right after the four objects above exist, before any exported function can be called.
const bool g_installed = [] {
    ClientObjects objects;
    objects.error_texts = &doip_err_str_map.get();
    objects.states = &doip_state_registry.get();
    objects.timers = &doip_timer_registry.get();
    objects.timer_loop = &doip_timer_event_loop.get();
    objects.message_cache = &doip_message_cache;
    install_client_objects(objects);
    return true;
}();

}  // namespace
}  // namespace doip::detail
