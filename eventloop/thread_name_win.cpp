#include "eventloop/thread_name.h"

#include <windows.h>

#include <string>

namespace uilitylib::detail {

// SetThreadDescription exists from Windows 10 1607 on; look it up so older systems still load the DLL.
void setCurrentThreadName(const std::string& name) {
    using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) {
        return;
    }
    auto set_description = reinterpret_cast<SetThreadDescriptionFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
    if (set_description == nullptr) {
        return;
    }
    const std::wstring wide(name.begin(), name.end());
    set_description(GetCurrentThread(), wide.c_str());
}

}  // namespace uilitylib::detail
