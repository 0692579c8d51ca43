#include "client/message_cache.h"

#include "client/client_objects.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace doip::detail {
namespace {

// Replaces the destination's buffer with a copy of `src` and takes over its four other fields. When the
// copy cannot be allocated the destination is left as it was (the message is lost).
void store_copy(const doip_message_raii& src, doip_message_s* dst) {
    auto* buffer = static_cast<uint8_t*>(std::malloc(src.length));
    if (buffer == nullptr) {
        return;
    }
    std::memcpy(buffer, src.data, src.length);
    std::free(dst->data);
    dst->data = buffer;
    dst->length = src.length;
    dst->channel = src.channel;
    dst->aux1 = src.aux1;
    dst->aux2 = src.aux2;
}

bool has_data(const doip_message_raii& m) {
    return m.data != nullptr && m.length != 0;
}

}  // namespace

doip_message_processer_listner::~doip_message_processer_listner() {
    cache_.remove_queue(listener_id);
}

MessageCache::MessageCache()
    : default_listener_(register_listener()), default_listener_id_(default_listener_->listener_id) {}

MessageCache::~MessageCache() {
    close();
}

void MessageCache::close() {
    std::shared_ptr<doip_message_processer_listner> default_listener;
    std::map<int, std::deque<Entry>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        dropped.swap(queues_);
        default_listener = std::move(default_listener_);
    }
    appended_.notify_all();
    // Released outside the lock: the listener's destructor takes it to remove its (gone) queue.
}

std::shared_ptr<doip_message_processer_listner> MessageCache::register_listener() {
    const int id = ++last_listener_id_;
    auto listener = std::make_shared<doip_message_processer_listner>(*this, id);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_) {
        queues_.emplace(id, std::deque<Entry>());
    }
    return listener;
}

void MessageCache::remove_queue(int listener_id) {
    std::deque<Entry> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = queues_.find(listener_id);
        if (found == queues_.end()) {
            return;
        }
        dropped.swap(found->second);
        queues_.erase(found);
    }
}

void MessageCache::append(const doip_message_s& msg) {
    auto copy = std::make_shared<const doip_message_raii>(&msg);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : queues_) {
            std::deque<Entry>& queue = entry.second;
            while (queue.size() >= kQueueLimit) {
                queue.pop_front();
            }
            queue.push_back(copy);
        }
    }
    appended_.notify_all();
}

int MessageCache::take(int listener_id, doip_message_s* dst) {
    if (dst == nullptr || listener_id == 0) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    Entry oldest;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = queues_.find(listener_id);
        if (found == queues_.end() || found->second.empty()) {
            return DOIP_ERR_NO_MESSAGE;
        }
        oldest = std::move(found->second.front());
        found->second.pop_front();
    }
    if (has_data(*oldest)) {
        store_copy(*oldest, dst);
    }
    return DOIP_OK;
}

void MessageCache::clear(uint8_t channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : queues_) {
        std::deque<Entry>& queue = entry.second;
        std::deque<Entry> kept;
        for (Entry& m : queue) {
            if (m->channel != channel) {
                kept.push_back(std::move(m));
            }
        }
        queue.swap(kept);
    }
}

int MessageCache::count(uint8_t channel) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int total = 0;
    for (const auto& entry : queues_) {
        for (const Entry& m : entry.second) {
            total += m->channel == channel ? 1 : 0;
        }
    }
    return total;
}

int MessageCache::wait(int listener_id, std::chrono::milliseconds timeout, doip_message_s* pattern) {
    if (pattern == nullptr || pattern->data == nullptr || pattern->length == 0) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    const uint8_t channel = pattern->channel;
    const std::vector<uint8_t> prefix(pattern->data, pattern->data + pattern->length);
    const auto matches = [&](const doip_message_raii& m) {
        return has_data(m) && m.channel == channel && m.length >= prefix.size() &&
               std::memcmp(m.data, prefix.data(), prefix.size()) == 0;
    };

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Entry match;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            const auto found = queues_.find(listener_id);
            if (found != queues_.end()) {
                std::deque<Entry>& queue = found->second;
                while (!queue.empty() && !match) {
                    Entry front = std::move(queue.front());
                    queue.pop_front();
                    if (matches(*front)) {
                        match = std::move(front);
                    }
                }
            }
            if (match) {
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return DOIP_ERR_TIMEOUT;
            }
            // Woken by every append; the extra millisecond makes "more than the limit" hold on expiry.
            appended_.wait_until(lock, deadline + std::chrono::milliseconds(1));
        }
    }
    store_copy(*match, pattern);
    return DOIP_OK;
}

}  // namespace doip::detail

using doip::detail::message_cache;

extern "C" {

DOIP_API int doip_append_eth_message(const doip_message_s* msg) {
    if (msg == nullptr) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    message_cache().append(*msg);
    return DOIP_OK;
}

DOIP_API int doip_get_message(doip_message_s* out, int* unused) {
    (void)unused;
    doip::detail::MessageCache& cache = message_cache();
    return cache.take(cache.default_listener_id(), out);
}

DOIP_API int doip_clear_message(uint8_t channel) {
    message_cache().clear(channel);
    return DOIP_OK;
}

DOIP_API int doip_msg_cache_count(uint8_t channel) {
    return message_cache().count(channel);
}

DOIP_API int doip_wait_message(int listener_id, const doip_s* ctx, doip_message_s* pattern) {
    if (ctx == nullptr) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    return message_cache().wait(listener_id, std::chrono::milliseconds(ctx->t_tcp_initial_inactivity_ms),
                                pattern);
}

}  // extern "C"
