// Load and unload of doip.dll. The MinGW runtime's entry point constructs the global objects
// (module/globals.cpp) before it calls DllMain for the process attach, and on the process detach it calls
// DllMain first and then runs the DLL's exit list, which destroys those objects in reverse order. So
// whatever DllMain does on detach happens before the TimerLoop destructor runs.
#include <windows.h>

#include <chrono>

#include "client/client_objects.h"
#include "client/timer_loop.h"
#include "module/process_object.h"

namespace {

// FreeLibrary without doip_stop_timer_loop: how long a timer callback still running may delay the unload.
constexpr std::chrono::milliseconds kUnloadWait(2000);
// Once the loop has gone, the loop thread runs only the last instructions of its exit inside the library
// before it waits for the loader lock that this unload holds. This leaves it ample time to get there.
constexpr DWORD kThreadExitGraceMs = 200;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            // The library does no per-thread work. Windows declines this for a DLL with static TLS, which a
            // MinGW-built DLL has; the thread notifications then arrive and do nothing.
            DisableThreadLibraryCalls(module);
            break;
        case DLL_PROCESS_DETACH:
            if (reserved != nullptr) {
                // Process exit: Windows has already ended every other thread, the timer thread with them.
                // Joining it would wait forever, and destroying any object could wait for a lock one of
                // those threads held, so the exit list leaves every object of the library alone.
                doip::detail::mark_process_exit();
            } else if (doip::detail::timer_loop().quit_and_abandon(kUnloadWait)) {
                // FreeLibrary while the timer thread may still run: joining it under the loader lock would
                // deadlock, because a thread's exit needs that lock. The loop has ended; let its thread
                // leave the library's code before the library is unmapped.
                Sleep(kThreadExitGraceMs);
            }
            break;
        default:
            break;
    }
    return TRUE;
}
