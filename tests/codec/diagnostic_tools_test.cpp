// doip_get_expalininfo and doip_remove_header on received messages of every kind, short ones included.
#include "doip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/codec_test_support.h"

namespace {

using codec_test::Bytes;
using codec_test::hex;

struct ExplainCase {
    std::string name;
    std::string input;
    doip_package_s header;
    uint16_t sender;
};

class ExplainInfo : public ::testing::TestWithParam<ExplainCase> {};

TEST_P(ExplainInfo, GivesHeaderAndSender) {
    codec_test::HeapBytes input(hex(GetParam().input));
    const explain_info_s info = doip_get_expalininfo(input.data(), input.size());
    const doip_package_s& want = GetParam().header;
    EXPECT_EQ(info.header.protocol_version, want.protocol_version);
    EXPECT_EQ(info.header.inverse_protocol_version, want.inverse_protocol_version);
    EXPECT_EQ(info.header.payload_type, want.payload_type);
    EXPECT_EQ(info.header.payload_length, want.payload_length);
    EXPECT_EQ(info.sender_address, GetParam().sender);
}

const doip_package_s kZero{0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    ReceivedMessages, ExplainInfo,
    ::testing::Values(
        ExplainCase{"DiagnosticMessage",
                    "02 FD 80 01 00 00 00 07 0C E1 0E F5 62 F1 90",
                    {0x02, 0xFD, DOIP_PT_DIAG_MSG, 7},
                    0x0CE1},
        ExplainCase{"PositiveAck",
                    "02 FD 80 02 00 00 00 05 0C E1 0E F5 00",
                    {0x02, 0xFD, DOIP_PT_DIAG_MSG_ACK, 5},
                    0x0CE1},
        ExplainCase{"NegativeAckWithEcho",
                    "03 FC 80 03 00 00 00 06 1F FF 0E F5 02 22",
                    {0x03, 0xFC, DOIP_PT_DIAG_MSG_NACK, 6},
                    0x1FFF},
        // The sender of a routing activation response is the entity, at bytes 10 and 11.
        ExplainCase{"RoutingActivationResponse",
                    "02 FD 00 06 00 00 00 09 0E F5 10 01 10 00 00 00 00",
                    {0x02, 0xFD, DOIP_PT_ROUTING_ACTIVATION_RESPONSE, 9},
                    0x1001},
        ExplainCase{"OtherTypeGivesOnlyTheType",
                    "02 FD 00 07 00 00 00 00",
                    {0, 0, DOIP_PT_ALIVE_CHECK_REQUEST, 0},
                    0},
        ExplainCase{"BadHeaderGivesZero", "02 FC 80 01 00 00 00 04 0C E1 0E F5", kZero, 0},
        ExplainCase{"EmptyInputGivesZero", "", kZero, 0},
        ExplainCase{"DiagnosticMessageOf11BytesGivesZero", "02 FD 80 01 00 00 00 00 0C E1 0E", kZero, 0},
        ExplainCase{"AckOf12BytesGivesZero", "02 FD 80 02 00 00 00 00 0C E1 0E F5", kZero, 0},
        ExplainCase{"NackOf12BytesGivesZero", "02 FD 80 03 00 00 00 00 0C E1 0E F5", kZero, 0},
        ExplainCase{"RoutingResponseOf11BytesGivesZero", "02 FD 00 06 00 00 00 00 0E F5 10", kZero, 0},
        ExplainCase{"RoutingResponseOf12BytesGivesTheEntity",
                    "02 FD 00 06 00 00 00 00 0E F5 10 01",
                    {0x02, 0xFD, DOIP_PT_ROUTING_ACTIVATION_RESPONSE, 0},
                    0x1001}),
    [](const auto& info) { return info.param.name; });

TEST(ExplainInfoNull, NullBytesGiveZero) {
    const explain_info_s info = doip_get_expalininfo(nullptr, 15);
    EXPECT_EQ(info.header.payload_type, 0);
    EXPECT_EQ(info.header.payload_length, 0u);
    EXPECT_EQ(info.sender_address, 0);
}

// A message record whose buffer is a malloc block of exactly the message size, as the library's own are.
struct OwnedMessage {
    doip_message_s msg{};
    explicit OwnedMessage(const Bytes& bytes) {
        EXPECT_EQ(doip_message_init(&msg, bytes.data(), static_cast<int>(bytes.size())), DOIP_OK);
    }
    ~OwnedMessage() { doip_message_destory(&msg); }
    Bytes bytes() const { return Bytes(msg.data, msg.data + msg.length); }
};

struct StripCase {
    std::string name;
    std::string input;
    std::string remaining;  // what the message holds afterwards
};

class RemoveHeader : public ::testing::TestWithParam<StripCase> {};

TEST_P(RemoveHeader, LeavesTheContentAndKeepsTheBuffer) {
    OwnedMessage m(hex(GetParam().input));
    const uint8_t* buffer = m.msg.data;
    EXPECT_EQ(doip_remove_header(&m.msg), DOIP_OK);
    EXPECT_EQ(m.bytes(), hex(GetParam().remaining));
    EXPECT_EQ(m.msg.data, buffer);
}

const char* const kRoutingResponse = "02 FD 00 06 00 00 00 09 0E F5 10 01 10 00 00 00 00";

INSTANTIATE_TEST_SUITE_P(
    ReceivedMessages, RemoveHeader,
    ::testing::Values(
        StripCase{"DiagnosticMessageKeepsTheUdsBytes", "02 FD 80 01 00 00 00 07 0C E1 0E F5 62 F1 90",
                  "62 F1 90"},
        StripCase{"DiagnosticMessageWithoutUserDataBecomesEmpty", "02 FD 80 01 00 00 00 04 0C E1 0E F5", ""},
        StripCase{"PositiveAckKeepsTheEcho", "02 FD 80 02 00 00 00 07 0C E1 0E F5 00 22 F1", "22 F1"},
        StripCase{"NegativeAckKeepsTheEcho", "02 FD 80 03 00 00 00 06 0C E1 0E F5 02 10", "10"},
        StripCase{"RoutingResponseIsUnchanged", kRoutingResponse, kRoutingResponse},
        StripCase{"BadHeaderIsUnchanged", "02 FC 80 01 00 00 00 04 0C E1 0E F5",
                  "02 FC 80 01 00 00 00 04 0C E1 0E F5"},
        StripCase{"ShortDiagnosticMessageIsUnchanged", "02 FD 80 01 00 00 00 00 0C E1 0E",
                  "02 FD 80 01 00 00 00 00 0C E1 0E"},
        StripCase{"ShortAckIsUnchanged", "02 FD 80 02 00 00 00 00 0C E1 0E F5",
                  "02 FD 80 02 00 00 00 00 0C E1 0E F5"}),
    [](const auto& info) { return info.param.name; });

TEST(RemoveHeaderArguments, NullMessageGivesMinus29) {
    EXPECT_EQ(doip_remove_header(nullptr), DOIP_ERR_INVALID_ARGUMENT);
}

TEST(RemoveHeaderArguments, EmptyMessageIsUnchanged) {
    doip_message_s empty{};
    EXPECT_EQ(doip_remove_header(&empty), DOIP_OK);
    EXPECT_EQ(empty.length, 0u);
    EXPECT_EQ(empty.data, nullptr);
}

}  // namespace
