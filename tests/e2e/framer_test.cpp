// The socket layer's stream framer on byte sequences.
#include "framer.h"

#include <gtest/gtest.h>

#include <vector>

#include "doip.h"

namespace {

using doip_tools::MessageFramer;

const std::vector<uint8_t> kAliveCheck = {0x02, 0xFD, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00};
const std::vector<uint8_t> kPowerMode = {0x02, 0xFD, 0x40, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01};

std::vector<std::vector<uint8_t>> drain(MessageFramer& framer, MessageFramer::Status* last) {
    std::vector<std::vector<uint8_t>> out;
    MessageFramer::Frame frame;
    while ((*last = framer.next(&frame)) == MessageFramer::Status::message) {
        out.emplace_back(frame.data, frame.data + frame.length);
    }
    return out;
}

TEST(MessageFramer, SeveralMessagesInOneFeed) {
    MessageFramer framer(65536);
    std::vector<uint8_t> stream = kPowerMode;
    stream.insert(stream.end(), kAliveCheck.begin(), kAliveCheck.end());
    stream.insert(stream.end(), kPowerMode.begin(), kPowerMode.end());
    framer.feed(stream.data(), stream.size());
    MessageFramer::Status last;
    const auto messages = drain(framer, &last);
    EXPECT_EQ(last, MessageFramer::Status::need_more);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], kPowerMode);
    EXPECT_EQ(messages[1], kAliveCheck);
    EXPECT_EQ(messages[2], kPowerMode);
    EXPECT_EQ(framer.buffered(), 0u);
}

TEST(MessageFramer, OneMessageFedByteByByteAppearsOnlyWhenWhole) {
    MessageFramer framer(65536);
    for (size_t i = 0; i < kPowerMode.size(); ++i) {
        MessageFramer::Status last;
        EXPECT_TRUE(drain(framer, &last).empty());
        EXPECT_EQ(last, MessageFramer::Status::need_more);
        framer.feed(&kPowerMode[i], 1);
    }
    MessageFramer::Status last;
    const auto messages = drain(framer, &last);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], kPowerMode);
}

struct BadCase {
    const char* name;
    std::vector<uint8_t> bytes;
    MessageFramer::Status status;
    int code;
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class FramerBadStream : public ::testing::TestWithParam<BadCase> {};

TEST_P(FramerBadStream, IsRecognisedFromTheHeaderAlone) {
    MessageFramer framer(16);
    framer.feed(GetParam().bytes.data(), GetParam().bytes.size());
    MessageFramer::Frame frame;
    EXPECT_EQ(framer.next(&frame), GetParam().status);
    EXPECT_EQ(framer.next(&frame), GetParam().status);  // and stays so
    if (GetParam().status == MessageFramer::Status::bad_header) {
        EXPECT_EQ(frame.code, GetParam().code);
    } else {
        EXPECT_EQ(frame.announced, static_cast<uint32_t>(GetParam().code));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FramerBadStream,
    ::testing::Values(
        BadCase{"inverse_version",
                {0x02, 0x02, 0x00, 0x07, 0, 0, 0, 0},
                MessageFramer::Status::bad_header,
                DOIP_ERR_BAD_PROTOCOL_VERSION},
        BadCase{"unknown_type",
                {0x02, 0xFD, 0x12, 0x34, 0, 0, 0, 0},
                MessageFramer::Status::bad_header,
                DOIP_ERR_UNKNOWN_PAYLOAD_TYPE},
        BadCase{"too_large", {0x02, 0xFD, 0x80, 0x01, 0, 0, 0, 17}, MessageFramer::Status::too_large, 17},
        BadCase{"huge",
                {0x02, 0xFD, 0x80, 0x01, 0xFF, 0xFF, 0xFF, 0xFF},
                MessageFramer::Status::too_large,
                static_cast<int>(0xFFFFFFFFu)}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

TEST(MessageFramer, PayloadAtTheLimitPasses) {
    MessageFramer framer(16);
    std::vector<uint8_t> m = {0x02, 0xFD, 0x80, 0x01, 0, 0, 0, 16};
    m.resize(24, 0x55);
    framer.feed(m.data(), m.size());
    MessageFramer::Frame frame;
    ASSERT_EQ(framer.next(&frame), MessageFramer::Status::message);
    EXPECT_EQ(frame.length, 24u);
    EXPECT_EQ(frame.payload_type, DOIP_PT_DIAG_MSG);
}

TEST(MessageFramer, ManufacturerSpecificTypesPass) {
    MessageFramer framer(16);
    const std::vector<uint8_t> m = {0x02, 0xFD, 0xF0, 0x00, 0, 0, 0, 1, 0x42};
    framer.feed(m.data(), m.size());
    MessageFramer::Frame frame;
    ASSERT_EQ(framer.next(&frame), MessageFramer::Status::message);
    EXPECT_EQ(frame.payload_type, 0xF000);
}

TEST(MessageFramer, KeepsWorkingAcrossManyMessages) {
    MessageFramer framer(65536);
    size_t seen = 0;
    for (int i = 0; i < 10000; ++i) {
        framer.feed(kPowerMode.data(), 5);
        framer.feed(kPowerMode.data() + 5, kPowerMode.size() - 5);
        MessageFramer::Status last;
        seen += drain(framer, &last).size();
    }
    EXPECT_EQ(seen, 10000u);
    EXPECT_EQ(framer.buffered(), 0u);
}

}  // namespace
