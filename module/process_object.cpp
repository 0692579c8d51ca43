#include "module/process_object.h"

#include <atomic>

namespace doip::detail {
namespace {

std::atomic<bool> g_process_exiting{false};

}  // namespace

void mark_process_exit() {
    g_process_exiting.store(true);
}

bool process_is_exiting() {
    return g_process_exiting.load();
}

}  // namespace doip::detail
