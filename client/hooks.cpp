#include "client/hooks.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace doip::detail {
namespace {

constexpr int kLogLevel = 2;

// Plain process-wide state, zero at load: the hooks may be replaced from any thread at any time.
std::mutex g_socket_ops_mutex;
doip_socket_ops_s g_socket_ops;
std::atomic<doip_logger_fn> g_logger{nullptr};

}  // namespace

doip_socket_ops_s socket_ops() {
    std::lock_guard<std::mutex> lock(g_socket_ops_mutex);
    return g_socket_ops;
}

size_t format_log_line(char (&buf)[kLogLineSize], const char* format, va_list args) {
    std::memset(buf, 0, sizeof buf);
    const int written = std::vsnprintf(buf, sizeof buf, format, args);
    if (written < 0) {
        buf[0] = '\0';
        return 0;
    }
    return std::strlen(buf);
}

void log_line(const char* format, ...) {
    const doip_logger_fn logger = g_logger.load(std::memory_order_acquire);
    if (logger == nullptr) {
        return;
    }
    char buf[kLogLineSize];
    va_list args;
    va_start(args, format);
    const size_t length = format_log_line(buf, format, args);
    va_end(args);
    logger(kLogLevel, buf, static_cast<uint32_t>(length));
}

}  // namespace doip::detail

extern "C" {

DOIP_API int doip_set_socket_ops(doip_socket_ops_s ops) {
    std::lock_guard<std::mutex> lock(doip::detail::g_socket_ops_mutex);
    doip::detail::g_socket_ops = ops;
    return DOIP_OK;
}

DOIP_API int doip_get_socket_ops(doip_socket_ops_s ops) {
    (void)ops;
    return DOIP_OK;
}

DOIP_API int doip_set_logger_ops(doip_logger_fn logger) {
    doip::detail::g_logger.store(logger, std::memory_order_release);
    return DOIP_OK;
}

}  // extern "C"
