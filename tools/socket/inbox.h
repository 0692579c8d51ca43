// The messages of one connection in arrival order, handed from its receive thread straight to the thread
// that reads the connection: one lock and at most one wake-up per batch of messages that one read brought.
//
// The receive thread put()s each batch; before reading its socket again it calls wait_for_room(), which
// blocks while the inbox holds kHighWater messages or more, so that an entity that sends faster than the
// tester reads is slowed down by TCP flow control instead of losing messages. end() says that no more will
// come (the connection ended); close() also releases a receive thread that waits for room.
#ifndef DOIP_TOOLS_SOCKET_INBOX_H
#define DOIP_TOOLS_SOCKET_INBOX_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "bytes.h"

namespace doip_tools {

struct ReceivedMessage {
    uint8_t channel = 0;  // as the library's cache would have it: 0 for a routing activation response
    uint32_t aux1 = 0;    // the connection's channel
    uint32_t aux2 = 0;    // the connection's serial
    std::vector<uint8_t> bytes;

    uint16_t payload_type() const { return bytes.size() >= 4 ? load_be16(bytes.data() + 2) : 0; }
};

class Inbox {
  public:
    static constexpr size_t kHighWater = 750;

    enum class Taken {
        message,  // `out` holds it
        timeout,
        ended  // end() was called and every message is taken
    };

    // Receive thread: appends the batch (left empty) and wakes the reader if it waits.
    void put(std::vector<ReceivedMessage>& batch);
    // True while the inbox is at its high-water mark.
    bool full() const;
    // Receive thread: waits while the inbox is full; returns at once after close().
    void wait_for_room();
    void end();
    void close();

    // The reader: the oldest message, waiting at most `timeout` for one.
    Taken take(ReceivedMessage* out, std::chrono::milliseconds timeout);
    size_t size() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;  // the reader waits here
    std::condition_variable taken_;    // the receive thread waits here for room
    std::deque<ReceivedMessage> messages_;
    int readers_waiting_ = 0;
    bool writer_waits_ = false;
    bool ended_ = false;
    bool closed_ = false;
};

}  // namespace doip_tools

#endif
