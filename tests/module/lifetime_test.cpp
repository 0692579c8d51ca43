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
}  // namespace lifetime
