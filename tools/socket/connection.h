// A connection of the socket layer: its descriptor, its receive thread, its queue and the state of whoever
// reads it. Shared by the layer's table (socket_layer.cpp) and its reading (socket_reader.cpp).
#ifndef DOIP_TOOLS_SOCKET_CONNECTION_H
#define DOIP_TOOLS_SOCKET_CONNECTION_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framer.h"
#include "inbox.h"
#include "net.h"
#include "socket_layer.h"
#include "tls.h"

namespace doip_tools {

struct SocketLayer::Connection {
    static constexpr size_t kReceiveChunk = 16384;

    Connection(uint32_t max_payload_length, Delivery how) : delivery(how), framer(max_payload_length) {}

    uint8_t channel = 0;
    uint32_t serial = 0;
    net::Handle handle = net::kInvalid;
    std::unique_ptr<tls::Session> tls;  // set for a TLS connection before its receive thread starts
    std::string name;                   // "channel 3 (127.0.0.1:10001 -> 127.0.0.1:13400)" for log lines
    std::thread thread;
    std::atomic<bool> closing{false};
    uint8_t protocol_version = 0;  // of the context that opened it: what the peer's headers must carry
    std::atomic<bool> usable{true};
    EndReason end;  // guarded by the layer's mutex
    std::mutex send_mutex;
    bool release_at_end = false;  // closed on its own receive thread: the loop's end releases the descriptor
    const Delivery delivery;
    Inbox inbox;  // connection delivery

    // Whoever reads the socket holds read_mutex: the receive thread, or with connection delivery the
    // application's reader in take(). The fields below it are guarded by it.
    std::mutex read_mutex;
    MessageFramer framer;
    std::vector<uint8_t> chunk = std::vector<uint8_t>(kReceiveChunk);
    std::vector<ReceivedMessage> batch;  // connection delivery: the messages of one read
    uint32_t room =
        0;  // library delivery: messages that may be appended before the reader is looked at again
    bool pause_logged = false;
    bool shut_at_end = false;  // the stream ended in a fault: shut the connection down (after logging it)

    std::atomic<bool> stream_ended{false};  // nothing more to read: end reason set, or a read after close()
    std::atomic<bool> finished{false};      // finish() has run
    // Connection delivery: readers in take() and when the last one left the socket (steady clock ticks).
    // The receive thread stands aside meanwhile (see stand_aside()).
    std::atomic<int> direct_readers{0};
    std::atomic<int64_t> last_direct_read{0};
    std::mutex aside_mutex;
    std::condition_variable aside_cv;
};

}  // namespace doip_tools

#endif
