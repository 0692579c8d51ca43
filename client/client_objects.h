// The process-wide objects that the exported client functions share: the error text table, the connection
// state registry, the timer registry, the protocol timer loop and the message cache.
//
// The client does not own them. The library's module layer builds them when the library is loaded, in an
// order that lets the timer loop end before the registries go, destroys them when it is unloaded, and hands
// them over here with install_client_objects() before any exported function can run.
#ifndef DOIP_CLIENT_CLIENT_OBJECTS_H
#define DOIP_CLIENT_CLIENT_OBJECTS_H

#include "client/error_text.h"

namespace doip::detail {

class MessageCache;
class StateRegistry;
class TimerLoop;
class TimerRegistry;

struct ClientObjects {
    const ErrorTextMap* error_texts = nullptr;
    StateRegistry* states = nullptr;
    TimerRegistry* timers = nullptr;
    TimerLoop* timer_loop = nullptr;
    // The cache is built on its first use (thread-safe), so the module hands over how to reach it.
    MessageCache& (*message_cache)() = nullptr;
};

// Load time only, while no other thread can be inside the library.
void install_client_objects(const ClientObjects& objects);

// Any thread, between load and unload.
const ErrorTextMap& error_texts();
StateRegistry& state_registry();
TimerRegistry& timer_registry();
TimerLoop& timer_loop();
MessageCache& message_cache();

}  // namespace doip::detail

#endif
