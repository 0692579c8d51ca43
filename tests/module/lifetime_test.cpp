// Load and unload with dlopen and dlclose.
#include <dirent.h>

#include <dlfcn.h>
#include <fstream>
#include <string>
#include "module/lifetime_support.h"

namespace lifetime {
namespace {
// Threads of this process whose kernel name starts with `prefix`.
int count_threads_named(const std::string& prefix) {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        count += entry->d_name[0] != '.' && std::getline(comm, name) && name.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    closedir(dir);
    return count;
}
}  // namespace

void* load() {
    return dlopen(DOIP_TEST_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
}

bool unload(void* library) {
    return dlclose(library) == 0 && dlopen(DOIP_TEST_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) == nullptr;
}

void* find(void* library, const char* name) {
    return dlsym(library, name);
}

int count_threads() {
    return count_threads_named("");
}

// The protocol timer loop and the OS timer service; the kernel keeps 15 characters of a name.
int library_threads() {
    return count_threads_named("doip_timer_even") + count_threads_named("uilitylib-timer");
}

namespace {
using AppendFn = int (*)(const doip_message_s*);
using GetFn = int (*)(doip_message_s*, int*);
AppendFn g_append = nullptr;
GetFn g_get = nullptr;

int append_one() {
    uint8_t byte = 0x42;
    const doip_message_s m{0, 1, 0, 0, &byte};
    return g_append(&m);
}

// The application's receive threads may still hand messages over while exit() runs the library's
// destructors. An exit handler registered before the cache is built runs after its teardown: calls into
// the cache then keep nothing and crash nothing, while other threads keep appending.
void exit_while_appending_scenario() {
    const Library lib;
    g_append = reinterpret_cast<AppendFn>(find(lib.handle, "doip_append_eth_message"));
    g_get = reinterpret_cast<GetFn>(find(lib.handle, "doip_get_message"));
    check(g_append != nullptr && g_get != nullptr, 50);
    std::atexit([] {
        doip_message_s out{};
        check(append_one() == 0 && g_get(&out, nullptr) == DOIP_ERR_NO_MESSAGE && out.data == nullptr, 51);
    });
    check(append_one() == 0, 52);
    for (int i = 0; i < 2; ++i) {
        std::thread([] {
            for (;;) {
                append_one();
            }
        }).detach();
    }
    std::exit(0);
}
}  // namespace

TEST_F(ModuleLifetime, CallsIntoTheMessageCacheDuringAndAfterItsTeardownAtExitDoNoHarm) {
    EXPECT_EXIT(exit_while_appending_scenario(), ::testing::ExitedWithCode(0), "");
}
}  // namespace lifetime
