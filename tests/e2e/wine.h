// Whether the Windows build of a test runs under Wine rather than Windows.
#ifndef DOIP_TESTS_E2E_WINE_H
#define DOIP_TESTS_E2E_WINE_H

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace doip_e2e {

// Wine's socket server takes a connection's pending reset when it polls the socket, so a receive that
// follows a wait for the socket sees an orderly close there, where Windows and Linux report the reset.
inline bool under_wine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

}  // namespace doip_e2e

#endif
