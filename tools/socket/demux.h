// Sorts the messages of the library's default queue per connection, for testers with several connections.
//
// doip_wait_message on the default queue throws away every message that does not match its pattern, so
// several threads must not wait on that queue at once. A MessageDemux is the one reader of the default
// queue: its thread takes every message with doip_get_message and files it under the connection channel
// that the socket layer wrote into aux1 (see socket_layer.h); each tester thread then waits on its own
// channel with take(). While a MessageDemux runs, nothing else reads the default queue. It tells the socket
// layer how many messages it holds per channel (SocketLayer::set_reader_backlog), so that a connection
// whose messages are not taken stops being read instead of losing its oldest ones.
#ifndef DOIP_TOOLS_SOCKET_DEMUX_H
#define DOIP_TOOLS_SOCKET_DEMUX_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bytes.h"
#include "socket_layer.h"

namespace doip_tools {

struct ReceivedMessage {
    uint8_t channel = 0;  // as cached: 0 for a routing activation response
    uint32_t aux1 = 0;    // the connection's channel
    uint32_t aux2 = 0;    // the connection's serial
    std::vector<uint8_t> bytes;

    uint16_t payload_type() const { return bytes.size() >= 4 ? load_be16(bytes.data() + 2) : 0; }
};

class MessageDemux {
  public:
    // Starts the reader thread; returns once it runs. Wakes on every message `layer` appends.
    explicit MessageDemux(SocketLayer& layer = SocketLayer::instance());
    // Stops and joins the reader thread. Messages not taken are dropped.
    ~MessageDemux();

    // Any thread. Takes the oldest message of the connection on `channel` (aux1) whose serial (aux2) is
    // `serial` (0: any serial), waiting at most `timeout`. Messages of that channel with another serial are
    // left from an earlier connection and are dropped. False on timeout.
    bool take(uint8_t channel, uint32_t serial, ReceivedMessage* out, std::chrono::milliseconds timeout);

    enum class Taken {
        message,  // `out` holds it
        timeout,
        ended  // the connection is no longer usable (see SocketLayer::end_reason) and all it sent is taken
    };
    // Any thread. As take(), but returns `ended` as soon as the connection on `channel` with `serial`
    // (0: any) is unusable or gone and none of its messages is left, however long the timeout.
    Taken take_unless_ended(uint8_t channel, uint32_t serial, ReceivedMessage* out,
                            std::chrono::milliseconds timeout);
    // Any thread. Returns once every message appended to the library's cache before the call is filed.
    void sync();
    // Any thread. Drops the messages filed under `channel`.
    void clear(uint8_t channel);

    uint64_t routed() const { return routed_; }
    uint64_t dropped() const { return dropped_; }

    MessageDemux(const MessageDemux&) = delete;
    MessageDemux& operator=(const MessageDemux&) = delete;

  private:
    static constexpr size_t kQueueLimit = 1000;

    void run();
    // With `lock` held on mutex_: waits until a whole pass over the default queue has started after the call
    // and ended.
    void sync(std::unique_lock<std::mutex>& lock);
    // With `lock` held: pops the oldest message of `channel` with `serial` (0: any) into `out`.
    bool pop(uint8_t channel, uint32_t serial, ReceivedMessage* out);

    SocketLayer& layer_;
    std::shared_ptr<Waker> waker_ = std::make_shared<Waker>();
    // The size of each channel's queue, for the layer, which stops reading a connection whose queue is
    // near kQueueLimit rather than let its oldest messages fall off.
    std::shared_ptr<ReaderBacklog> backlog_ = std::make_shared<ReaderBacklog>();
    std::mutex mutex_;
    std::condition_variable filed_;
    std::map<uint8_t, std::deque<ReceivedMessage>> queues_;
    uint64_t passes_ = 0;   // passes over the default queue ended
    int pass_waiters_ = 0;  // threads in sync()
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> routed_{0};
    std::atomic<uint64_t> dropped_{0};
    std::thread thread_;
};

}  // namespace doip_tools

#endif
