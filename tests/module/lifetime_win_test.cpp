// Load and unload of doip.dll with LoadLibrary and FreeLibrary.
#include <windows.h>

#include <tlhelp32.h>
#include <memory>
#include <string>
#include "module/lifetime_support.h"

namespace lifetime {
namespace {
using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);

// The name the library gives a thread (SetThreadDescription), or an empty text.
std::wstring thread_description(DWORD thread_id) {
    static const auto get_description = reinterpret_cast<GetThreadDescriptionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    const std::unique_ptr<void, decltype(&CloseHandle)> thread(
        OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, thread_id), &CloseHandle);
    PWSTR text = nullptr;
    if (!thread || get_description == nullptr || FAILED(get_description(thread.get(), &text)) || !text) {
        return std::wstring();
    }
    const std::wstring name(text);
    LocalFree(text);
    return name;
}

// Threads of this process; with a non-empty `name`, only those the library named so.
int count_threads_named(const std::wstring& name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() &&
                         (name.empty() || thread_description(entry.th32ThreadID) == name)
                     ? 1
                     : 0;
    }
    CloseHandle(snapshot);
    return count;
}
}  // namespace

// Loaded by name: Windows looks next to the program first, where the build puts doip.dll.
void* load() {
    return LoadLibraryA(DOIP_TEST_LIBRARY_NAME);
}

bool unload(void* library) {
    return FreeLibrary(static_cast<HMODULE>(library)) && GetModuleHandleA(DOIP_TEST_LIBRARY_NAME) == nullptr;
}

void* find(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

int count_threads() {
    return count_threads_named(std::wstring());
}

int library_threads() {
    return count_threads_named(L"doip_timer_event_loop");
}
}  // namespace lifetime
