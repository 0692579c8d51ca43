// The four protocol timers per connection, run on the process-wide timer loop and remembered per
// connection key so that delete_timer can find the oldest one of a kind.
#include "client/protocol_timers.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "client/client_objects.h"
#include "client/connection_key.h"
#include "client/hooks.h"
#include "client/timer_loop.h"
#include "doip.h"

namespace doip::detail {

void TimerRegistry::add(const std::string& key, int kind, uilitylib::TimerId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    timers_[key].emplace_back(kind, id);
}

std::optional<uilitylib::TimerId> TimerRegistry::remove_oldest(const std::string& key, int kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = timers_.find(key);
    if (found == timers_.end()) {
        return std::nullopt;
    }
    auto& entries = found->second;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->first == kind) {
            const uilitylib::TimerId id = it->second;
            entries.erase(it);
            if (entries.empty()) {
                timers_.erase(found);
            }
            return id;
        }
    }
    return std::nullopt;
}

void start_timer_loop_once() {
    timer_loop().start();
}

namespace {

// The longest delay a timer is armed with, about 31.7 years: longer ones (+inf too) never come anyway, and
// the loop's clock adds it without leaving its range. Negative delays are bounded the same way.
constexpr double kMaxDelayMs = 1e12;

// Runs an application callback on the timer thread. An exception it throws is logged and goes no
// further: it would end the loop and with it every other timer.
void run_callback(doip_timer_callback_fn callback, void* arg) {
    try {
        try {
            callback(arg);
        } catch (const std::exception& e) {
            log_line("定时器回调抛出异常: %s", e.what());
        } catch (...) {
            log_line("定时器回调抛出未知异常");
        }
    } catch (...) {
        // The logger hook threw in turn: there is nothing left to report it with.
    }
}

int start_timer(const doip_s* ctx, int kind, double delay_ms, doip_timer_callback_fn callback, void* arg) {
    if (ctx == nullptr || callback == nullptr || std::isnan(delay_ms) || !has_key_addresses(*ctx)) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    delay_ms = std::clamp(delay_ms, -kMaxDelayMs, kMaxDelayMs);
    timer_loop().start();
    std::optional<uilitylib::TimerId> id;
    timer_loop().with_loop([&](uilitylib::EventLoop& loop) {
        id = loop.runAfter(delay_ms, [callback, arg] { run_callback(callback, arg); });
    });
    if (!id) {
        return DOIP_ERR_GENERAL;  // the loop was stopped for unloading
    }
    timer_registry().add(connection_key(*ctx), kind, *id);
    return DOIP_OK;
}

}  // namespace
}  // namespace doip::detail

using doip::detail::start_timer;

extern "C" {

DOIP_API int start_timer_a_doip_ctrl(const doip_s* ctx, double delay_ms, doip_timer_callback_fn callback,
                                     void* arg) {
    return start_timer(ctx, DOIP_TIMER_A_DOIP_CTRL, delay_ms, callback, arg);
}

DOIP_API int start_timer_a_tcp_general_inactivity(const doip_s* ctx, double delay_ms,
                                                  doip_timer_callback_fn callback, void* arg) {
    return start_timer(ctx, DOIP_TIMER_T_TCP_GENERAL_INACTIVITY, delay_ms, callback, arg);
}

DOIP_API int start_timer_a_tcp_initial_inactivity(const doip_s* ctx, double delay_ms,
                                                  doip_timer_callback_fn callback, void* arg) {
    return start_timer(ctx, DOIP_TIMER_T_TCP_INITIAL_INACTIVITY, delay_ms, callback, arg);
}

DOIP_API int start_timer_a_doip_diagmsg(const doip_s* ctx, double delay_ms, doip_timer_callback_fn callback,
                                        void* arg) {
    return start_timer(ctx, DOIP_TIMER_A_DOIP_DIAGNOSTIC_MESSAGE, delay_ms, callback, arg);
}

DOIP_API int doip_stop_timer_loop(void) {
    doip::detail::timer_loop().stop();
    return DOIP_OK;
}

DOIP_API int delete_timer(const doip_s* ctx, int kind) {
    if (ctx == nullptr) {
        return DOIP_OK;
    }
    if (!doip::detail::has_key_addresses(*ctx)) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    const auto id = doip::detail::timer_registry().remove_oldest(doip::detail::connection_key(*ctx), kind);
    if (id) {
        doip::detail::timer_loop().with_loop([&](uilitylib::EventLoop& loop) { loop.cancel(*id); });
    }
    return DOIP_OK;
}

}  // extern "C"
