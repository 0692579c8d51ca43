// Splits a received TCP byte stream into whole DoIP messages by their generic header: 8 bytes, then
// payload_length bytes. A header is checked with doip_deserialize as soon as its 8 bytes are in, so a bad
// stream is recognised before its payload would be waited for. Not thread-safe; one per connection.
#ifndef DOIP_TOOLS_SOCKET_FRAMER_H
#define DOIP_TOOLS_SOCKET_FRAMER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace doip_tools {

class MessageFramer {
  public:
    enum class Status {
        need_more,   // no whole message buffered yet
        message,     // `Frame::data`/`length` hold one whole message
        bad_header,  // the header fails doip_deserialize; `Frame::code` holds its result
        too_large    // the header announces a payload above the maximum; `Frame::announced` holds it
    };

    struct Frame {
        const uint8_t* data = nullptr;  // valid until the next feed() or next()
        uint32_t length = 0;
        uint16_t payload_type = 0;
        int code = 0;
        uint32_t announced = 0;
    };

    explicit MessageFramer(uint32_t max_payload_length) : max_payload_length_(max_payload_length) {}

    void feed(const uint8_t* bytes, size_t count);
    // The next whole message, or why there is none. After bad_header or too_large the stream is unusable:
    // every further call reports the same.
    Status next(Frame* frame);
    // Bytes received and not yet handed out as a message.
    size_t buffered() const { return buffer_.size() - offset_; }
    // The first bytes of the unconsumed input (for log lines), at most `count`.
    std::vector<uint8_t> peek(size_t count) const;

  private:
    uint32_t max_payload_length_;
    std::vector<uint8_t> buffer_;
    size_t offset_ = 0;
};

}  // namespace doip_tools

#endif
