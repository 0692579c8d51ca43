// The socket layer's stream framer on byte sequences. Its table of headers is the one home of the bad
// streams: the end-to-end tests only show what the socket layer does when the framer rejects one.
#include "framer.h"

#include "e2e_support.h"

namespace doip_e2e {
namespace {

using doip_tools::MessageFramer;
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

// Ten thousand messages in chunks of 23 bytes: several messages in one chunk, and a message cut at every
// point.
TEST(MessageFramer, MessagesComeOutWholeWhateverTheFeeds) {
    const Bytes two = hex("02 FD 40 04 00 00 00 01 01 02 FD 00 07 00 00 00 00");  // power mode, alive check
    Bytes stream;
    for (int i = 0; i < 5000; ++i) {
        stream.insert(stream.end(), two.begin(), two.end());
    }
    MessageFramer framer(65536);
    std::vector<Bytes> messages;
    for (size_t at = 0; at < stream.size(); at += 23) {
        framer.feed(stream.data() + at, std::min<size_t>(23, stream.size() - at));
        const std::vector<Bytes> out = drain(framer);
        messages.insert(messages.end(), out.begin(), out.end());
    }
    ASSERT_EQ(messages.size(), 10000u);
    EXPECT_EQ(messages[9998], Bytes(two.begin(), two.begin() + 9));
    EXPECT_EQ(messages[9999], Bytes(two.begin() + 9, two.end()));

    // A message cut after many consumed bytes: the next feed compacts the buffer, and the message survives.
    framer.feed(stream.data(), stream.size() - 3);
    EXPECT_EQ(drain(framer).size(), 9999u);
    framer.feed(stream.data() + stream.size() - 3, 3);
    EXPECT_EQ(drain(framer), std::vector<Bytes>{Bytes(two.begin() + 9, two.end())});
}

struct HeaderCase {
    const char* name;
    const char* bytes;
    Status status;
    int64_t value;  // the header check's code, the payload length announced, or the message's length
    friend void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }
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
    const int64_t value = c.status == Status::bad_header  ? int64_t{frame.code}
                          : c.status == Status::too_large ? frame.announced
                                                          : frame.length;
    EXPECT_EQ(value, c.value);
    if (c.status == Status::bad_header || c.status == Status::too_large) {
        EXPECT_EQ(framer.next(&frame), c.status);  // and stays so
    } else {
        EXPECT_EQ(framer.next(&frame), Status::need_more);  // consumed whole
    }
}

const HeaderCase kHeaders[] = {
    {"inverse_version", "02 02 00 07 00 00 00 00", Status::bad_header, DOIP_ERR_BAD_PROTOCOL_VERSION},
    {"other_version", "03 FD 00 07 00 00 00 00", Status::bad_header, DOIP_ERR_BAD_PROTOCOL_VERSION},
    {"bad_inverse_and_unknown_type", "02 02 12 34 00 00 00 00", Status::bad_header,
     DOIP_ERR_BAD_PROTOCOL_VERSION},
    {"consistent_version_3", "03 FC 00 07 00 00 00 00", Status::message, 8},  // the session judges it
    {"unknown_type", "02 FD 12 34 00 00 00 00", Status::unknown_type, 8},
    {"unknown_type_with_payload", "02 FD 40 05 00 00 00 02 AA BB", Status::unknown_type, 10},
    {"non_standard_8000", "02 FD 80 00 00 00 00 01 01", Status::unknown_type, 9},
    {"unknown_type_too_large", "02 FD 40 05 00 00 00 11", Status::too_large, 17},
    {"too_large", "02 FD 80 01 00 00 00 11", Status::too_large, 17},
    {"huge", "02 FD 80 01 FF FF FF FF", Status::too_large, 0xFFFFFFFFu},
    {"at_the_limit", "02 FD 80 01 00 00 00 10 0E F5 0C E1 3E 00 00 00 00 00 00 00 00 00 00 00",
     Status::message, 24},
};

INSTANTIATE_TEST_SUITE_P(Cases, FramerHeader, ::testing::ValuesIn(kHeaders),
                         ::testing::PrintToStringParamName());

// A message of unknown type fed byte by byte is waited for whole, payload included, then skipped; the
// message after it comes out.
TEST(MessageFramer, UnknownTypeIsSkippedWholeWhenItComesInPieces) {
    const Bytes stream = hex("02 FD 40 05 00 00 00 03 AA BB CC 02 FD 00 07 00 00 00 00");
    MessageFramer framer(16);
    MessageFramer::Frame frame;
    for (size_t at = 0; at < 10; ++at) {
        framer.feed(&stream[at], 1);
        ASSERT_EQ(framer.next(&frame), Status::need_more) << at;
    }
    framer.feed(&stream[10], stream.size() - 10);
    ASSERT_EQ(framer.next(&frame), Status::unknown_type);
    EXPECT_EQ(frame.payload_type, 0x4005);
    EXPECT_EQ(Bytes(frame.data, frame.data + frame.length), Bytes(stream.begin(), stream.begin() + 11));
    EXPECT_EQ(drain(framer), std::vector<Bytes>{Bytes(stream.begin() + 11, stream.end())});
}

}  // namespace
}  // namespace doip_e2e
