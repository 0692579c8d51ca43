// Process-wide objects that are destroyed when the library is unloaded, but not when the process exits.
//
// At process exit Windows has already ended every other thread before it detaches the library, and a
// thread ended that way may have held a lock: the library's mutexes, the heap's, or the global lock that
// winpthreads takes to set up and destroy condition variables. Destroying an object then can wait forever.
// Memory and handles go with the process anyway, so at exit the objects are left as they are.
#ifndef DOIP_MODULE_PROCESS_OBJECT_H
#define DOIP_MODULE_PROCESS_OBJECT_H

#include <new>
#include <utility>

namespace doip::detail {

// Any thread. Called by the library's unload notification when the process exits, before the library's
// exit list runs; never called elsewhere (on POSIX never at all).
void mark_process_exit();
bool process_is_exiting();

// A T constructed in place by the constructor; the destructor destroys it unless the process is exiting.
template <typename T>
class ProcessObject {
  public:
    template <typename... Args>
    explicit ProcessObject(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    ~ProcessObject() {
        if (!process_is_exiting()) {
            get().~T();
        }
    }
    ProcessObject(const ProcessObject&) = delete;
    ProcessObject& operator=(const ProcessObject&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace doip::detail

#endif
