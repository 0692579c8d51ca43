// Splits a received TCP byte stream into whole DoIP messages by their generic header: 8 bytes, then
// payload_length bytes. A header is checked with doip_deserialize as soon as its 8 bytes are in, so a bad
// stream is recognised before its payload would be waited for.
//
// doip_deserialize on a header: -12 (DOIP_ERR_BAD_PROTOCOL_VERSION) when the inverse byte is not the
// complement of the version byte (any consistent version passes, 0x00 and 0xFF included), else -13
// (DOIP_ERR_UNKNOWN_PAYLOAD_TYPE) for a type outside 0x0000-0x0008, 0x4001-0x4004, 0x8001-0x8003 and
// 0xF000-0xFFFF. A bad pattern leaves the stream without a message boundary it can trust; a message of an
// unknown type still has its length, so it is skipped whole and the stream goes on. Not thread-safe; one
// per connection.
#ifndef DOIP_TOOLS_SOCKET_FRAMER_H
#define DOIP_TOOLS_SOCKET_FRAMER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace doip_tools {

class MessageFramer {
  public:
    enum class Status {
        need_more,     // no whole message buffered yet
        message,       // `Frame::data`/`length` hold one whole message
        unknown_type,  // a whole message of a payload type the library does not know, consumed: `Frame` as
                       // for `message`, `code` is -13
        bad_header,  // the header's pattern is bad (inverse version); `Frame::code` holds doip_deserialize's
                     // result, `Frame::data` the 8 header bytes
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
    uint32_t max_payload_length() const { return max_payload_length_; }

    void feed(const uint8_t* bytes, size_t count);
    // The next whole message, or why there is none. After bad_header or too_large the stream is unusable:
    // every further call reports the same. The payload of a message of unknown type is checked against the
    // maximum like any other and waited for.
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

// What is wrong with the pattern of a header that the framer reported as bad_header, in words, for a
// connection on which `expected_version` was sent: "a header with protocol version 0x03 where 0x02 was
// expected", "... with inverse protocol version 0x02 where 0xFD was expected", or both bytes named.
std::string header_fault_text(const uint8_t* header, uint8_t expected_version);

}  // namespace doip_tools

#endif
