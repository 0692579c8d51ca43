#include "client/client_objects.h"

namespace doip::detail {
namespace {

// Written once at load, before any thread that could read it exists.
ClientObjects g_objects;

}  // namespace

void install_client_objects(const ClientObjects& objects) {
    g_objects = objects;
}

const ErrorTextMap& error_texts() {
    return *g_objects.error_texts;
}
StateRegistry& state_registry() {
    return *g_objects.states;
}
TimerRegistry& timer_registry() {
    return *g_objects.timers;
}
TimerLoop& timer_loop() {
    return *g_objects.timer_loop;
}
MessageCache& message_cache() {
    return g_objects.message_cache();
}

}  // namespace doip::detail
