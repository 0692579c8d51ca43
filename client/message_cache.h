// The fan-out message cache: one FIFO queue per listener, every appended message on every queue.
#ifndef DOIP_CLIENT_MESSAGE_CACHE_H
#define DOIP_CLIENT_MESSAGE_CACHE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "doip.h"

namespace doip::detail {

class MessageCache;

// One consumer of the cache. Its queue exists from registration until the last owner lets go.
class doip_message_processer_listner {
  public:
    doip_message_processer_listner(MessageCache& cache, int id) : cache_(cache), listener_id(id) {}
    ~doip_message_processer_listner();
    doip_message_processer_listner(const doip_message_processer_listner&) = delete;
    doip_message_processer_listner& operator=(const doip_message_processer_listner&) = delete;

  private:
    MessageCache& cache_;

  public:
    const int listener_id;
};

class MessageCache {
  public:
    // A queue never holds more than this many messages; the oldest is dropped first.
    static constexpr size_t kQueueLimit = 1000;
    // Registers the default listener, which therefore has the first id, 1.
    MessageCache();
    // Closes the cache (see close()).
    ~MessageCache();
    MessageCache(const MessageCache&) = delete;
    MessageCache& operator=(const MessageCache&) = delete;

    // Issues the next listener id and gives the listener an empty queue of its own.
    std::shared_ptr<doip_message_processer_listner> register_listener();
    // The queue that doip_get_message reads and that an application may wait on.
    int default_listener_id() const { return default_listener_id_; }
    // Frees every queue and keeps nothing from now on: later appends and registrations do nothing, takes
    // find no message and waits time out. The object itself, its lock included, stays usable, so threads
    // of the application that still call in while the library is torn down do no harm. Any thread.
    void close();
    // Shares one copy of `msg` among all queues and wakes every waiter.
    void append(const doip_message_s& msg);
    // Moves the oldest message of the listener's queue into `dst`: 0, -29 or -31.
    int take(int listener_id, doip_message_s* dst);
    void clear(uint8_t channel);
    int count(uint8_t channel) const;
    // Takes messages of the listener's queue oldest first, discarding those that do not match the
    // pattern, until one matches (0, copied into `pattern`) or `timeout` has passed (-26).
    int wait(int listener_id, std::chrono::milliseconds timeout, doip_message_s* pattern);

  private:
    friend class doip_message_processer_listner;
    using Entry = std::shared_ptr<const doip_message_raii>;

    void remove_queue(int listener_id);

    // Ids start at 1 and are never reused, so a new listener never shares or removes another's queue.
    std::atomic<int> last_listener_id_{0};
    mutable std::mutex mutex_;
    std::condition_variable appended_;
    std::map<int, std::deque<Entry>> queues_;
    bool closed_ = false;  // guarded by mutex_
    std::shared_ptr<doip_message_processer_listner> default_listener_;
    const int default_listener_id_;
};

}  // namespace doip::detail

#endif
