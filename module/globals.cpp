// The process-wide objects, defined in one translation unit so that they are constructed in this order
// when the library is loaded and destroyed in the reverse order when it is unloaded. The message cache is
// built on first use and therefore torn down (closed, see below) before all of them; the timer loop,
// destroyed next, quits and joins its thread before the registries and the text table go. At process exit
// on Windows nothing is destroyed (module/process_object.h). The client reaches them through
// client/client_objects.h.
#include "client/client_objects.h"
#include "client/message_cache.h"
#include "client/protocol_timers.h"
#include "client/state_registry.h"
#include "client/timer_loop.h"
#include "module/process_object.h"

#include <new>

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

// The message cache, whose teardown only closes it. The application's receive threads hand messages over
// from their own threads, and on POSIX they go on while exit() runs the library's destructors: a cache
// destroyed under them would be used after its end. Closed, it frees its queues and ignores them, while its
// lock and its (empty) members stay valid in this storage, which outlives every thread. Windows has ended
// those threads before it detaches the library at exit, where nothing is torn down (as for every
// ProcessObject); an explicit unload there destroys the cache after closing it, since the unload is no exit
// and the application has stopped handing messages over.
class ClosingMessageCache {
  public:
    ClosingMessageCache() { new (storage_) MessageCache(); }
    ~ClosingMessageCache() {
        if (process_is_exiting()) {
            return;
        }
        get().close();
#if defined(_WIN32)
        get().~MessageCache();
#endif
    }
    ClosingMessageCache(const ClosingMessageCache&) = delete;
    ClosingMessageCache& operator=(const ClosingMessageCache&) = delete;

    MessageCache& get() {
        return *std::launder(reinterpret_cast<MessageCache*>(storage_));
    }

  private:
    alignas(MessageCache) unsigned char storage_[sizeof(MessageCache)];
};

MessageCache& doip_message_cache() {
    static ClosingMessageCache cache;
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
