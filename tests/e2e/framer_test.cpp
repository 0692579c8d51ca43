// The socket layer's stream framer on byte sequences. Its table of headers is the one home of the bad
// streams: the end-to-end tests only show what the socket layer does when the framer rejects one.
#include "framer.h"

#include "e2e_support.h"

namespace doip_e2e {
namespace {

using doip_tools::MessageFramer;
using Bytes = std::vector<uint8_t>;
using Status = MessageFramer::Status;

std::vector<Bytes> drain(MessageFramer& framer) {
    std::vector<Bytes> out;
    MessageFramer::Frame frame;
    Status status;
    while ((status = framer.next(&frame)) == Status::message) {
        out.emplace_back(frame.data, frame.data + frame.length);
    }
    EXPECT_EQ(status, Status::need_more);
    return out;
}

TEST(MessageFramer, MessagesComeOutWholeWhateverTheFeeds) {
    const Bytes alive_check = hex("02 FD 00 07 00 00 00 00");
    const Bytes power_mode = hex("02 FD 40 04 00 00 00 01 01");
    MessageFramer framer(65536);
    Bytes stream = power_mode;
    stream.insert(stream.end(), alive_check.begin(), alive_check.end());
    framer.feed(stream.data(), stream.size());
    EXPECT_EQ(drain(framer), (std::vector<Bytes>{power_mode, alive_check}));

    // Many messages cut in two: the buffer is compacted on the way and nothing is lost.
    size_t seen = 0;
    for (int i = 0; i < 10000; ++i) {
        framer.feed(power_mode.data(), 5);
        framer.feed(power_mode.data() + 5, power_mode.size() - 5);
        seen += drain(framer).size();
    }
    EXPECT_EQ(seen, 10000u);
    EXPECT_EQ(framer.buffered(), 0u);
}

struct HeaderCase {
    const char* name;
    const char* bytes;
    Status status;
    uint32_t value;  // the header check's code, the payload length announced, or the message's length
};

class FramerHeader : public ::testing::TestWithParam<HeaderCase> {};

// With a limit of 16 payload bytes; a bad header is recognised before any payload byte is in.
TEST_P(FramerHeader, DecidesOnTheHeader) {
    const HeaderCase& c = GetParam();
    MessageFramer framer(16);
    const Bytes bytes = hex(c.bytes);
    framer.feed(bytes.data(), bytes.size());
    MessageFramer::Frame frame;
    ASSERT_EQ(framer.next(&frame), c.status);
    const uint32_t value = c.status == Status::bad_header  ? static_cast<uint32_t>(frame.code)
                           : c.status == Status::too_large ? frame.announced
                                                           : frame.length;
    EXPECT_EQ(value, c.value);
    if (c.status != Status::message) {
        EXPECT_EQ(framer.next(&frame), c.status);  // and stays so
    }
}

const HeaderCase kHeaders[] = {
    {"inverse_version", "02 02 00 07 00 00 00 00", Status::bad_header,
     static_cast<uint32_t>(DOIP_ERR_BAD_PROTOCOL_VERSION)},
    {"unknown_type", "02 FD 12 34 00 00 00 00", Status::bad_header,
     static_cast<uint32_t>(DOIP_ERR_UNKNOWN_PAYLOAD_TYPE)},
    {"too_large", "02 FD 80 01 00 00 00 11", Status::too_large, 17},
    {"huge", "02 FD 80 01 FF FF FF FF", Status::too_large, 0xFFFFFFFFu},
    {"at_the_limit", "02 FD 80 01 00 00 00 10 0E F5 0C E1 3E 00 00 00 00 00 00 00 00 00 00 00",
     Status::message, 24},
};

INSTANTIATE_TEST_SUITE_P(Cases, FramerHeader, ::testing::ValuesIn(kHeaders), ByName());

}  // namespace
}  // namespace doip_e2e
