#include "eventloop/thread_name.h"

#include <pthread.h>

namespace uilitylib::detail {

void setCurrentThreadName(const std::string& name) {
#if defined(__linux__)
    constexpr size_t kMaxName = 15;
    pthread_setname_np(pthread_self(), name.substr(0, kMaxName).c_str());
#elif defined(__APPLE__)
    pthread_setname_np(name.c_str());
#else
    (void)name;
#endif
}

}  // namespace uilitylib::detail
