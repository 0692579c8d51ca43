// Diagnostic message and acknowledgement records: allocation, filling, decoding into caller-sized records,
// and the allocating parsers, whose record the caller owns on every path.
#include "doip.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/codec_test_support.h"

namespace {

using codec_test::addressing;
using codec_test::Bytes;
using codec_test::hex;
using codec_test::RequestPtr;
using codec_test::ResponsePtr;

const doip_addressing_s kAddressing = addressing();

TEST(DiagnosticRecords, CreateGivesZeroFilledRecords) {
    RequestPtr request(doip_diag_msg_request_create(5));
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->header.payload_length, 0u);
    EXPECT_EQ(request->user_data_length, 0u);
    EXPECT_EQ(Bytes(request->user_data, request->user_data + 5), Bytes(5, 0));
    ResponsePtr response(doip_diag_msg_response_create(4));
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->ack_code, 0);
    EXPECT_EQ(response->previous_message_length, 0u);
    EXPECT_EQ(Bytes(response->previous_message, response->previous_message + 4), Bytes(4, 0));
}

TEST(DiagnosticRecords, InitWithoutDataLeavesTheLengthAsItWas) {
    RequestPtr request(doip_diag_msg_request_create(0));
    request->user_data_length = 77;
    ASSERT_EQ(doip_diag_msg_request_init(&kAddressing, request.get(), nullptr, 0), DOIP_OK);
    EXPECT_EQ(request->user_data_length, 77u);
    EXPECT_EQ(request->header.payload_length, 4u);
    ResponsePtr response(doip_diag_msg_response_create(0));
    response->previous_message_length = 77;
    ASSERT_EQ(doip_diag_msg_nack_response_init(&kAddressing, response.get(), 0x03, nullptr, 0), DOIP_OK);
    EXPECT_EQ(response->previous_message_length, 77u);
    EXPECT_EQ(response->header.payload_type, DOIP_PT_DIAG_MSG_NACK);
    EXPECT_EQ(response->header.payload_length, 5u);
}

TEST(DiagnosticRecords, InitRefusesNullDataWithANonZeroSize) {
    RequestPtr request(doip_diag_msg_request_create(3));
    EXPECT_EQ(doip_diag_msg_request_init(&kAddressing, request.get(), nullptr, 3), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(request->header.payload_type, 0);
    ResponsePtr response(doip_diag_msg_response_create(3));
    EXPECT_EQ(doip_diag_msg_ack_response_init(&kAddressing, response.get(), 0, nullptr, 3),
              DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(response->header.payload_type, 0);
}

TEST(DiagnosticRecords, AckEncoderIsSizedByTheEchoedBytesNotTheHeader) {
    ResponsePtr response(doip_diag_msg_response_create(0));
    ASSERT_EQ(doip_diag_msg_ack_response_init(&kAddressing, response.get(), 0x00, nullptr, 0), DOIP_OK);
    response->header.payload_length = 100;
    codec_test::HeapBytes out(Bytes(13));
    EXPECT_EQ(doip_diag_msg_response_serilize(response.get(), out.data(), out.size()), DOIP_OK);
    response->previous_message_length = 1;
    EXPECT_EQ(doip_diag_msg_response_serilize(response.get(), out.data(), out.size()),
              DOIP_ERR_BUFFER_TOO_SMALL);
}

TEST(DiagnosticDecode, UserDataRunsToTheByteCountNotThePayloadLength) {
    // A 12-byte message (payload length 4) followed by 8 more bytes.
    const Bytes wire = hex("02 FD 80 01 00 00 00 04 0C E1 0E F5 01 02 03 04 05 06 07 08");
    RequestPtr request(doip_diag_msg_request_create(8));
    ASSERT_EQ(doip_diag_msg_request_deserilize(wire.data(), 20, request.get()), DOIP_OK);
    EXPECT_EQ(request->source_address, 0x0CE1);
    EXPECT_EQ(request->target_address, 0x0EF5);
    EXPECT_EQ(request->header.payload_length, 4u);
    EXPECT_EQ(request->user_data_length, 8u);
    EXPECT_EQ(Bytes(request->user_data, request->user_data + 8), hex("01 02 03 04 05 06 07 08"));
}

TEST(DiagnosticDecode, EmptyRestLeavesTheLengthAsTheCallerSuppliedIt) {
    RequestPtr request(doip_diag_msg_request_create(0));
    request->user_data_length = 9;
    const Bytes message = hex("02 FD 80 01 00 00 00 04 0C E1 0E F5");
    ASSERT_EQ(doip_diag_msg_request_deserilize(message.data(), 12, request.get()), DOIP_OK);
    EXPECT_EQ(request->user_data_length, 9u);
    ResponsePtr response(doip_diag_msg_response_create(0));
    response->previous_message_length = 9;
    const Bytes ack = hex("02 FD 80 02 00 00 00 05 0C E1 0E F5 00");
    ASSERT_EQ(doip_diag_msg_response_deserilize(ack.data(), 13, response.get()), DOIP_OK);
    EXPECT_EQ(response->previous_message_length, 9u);
}

class AckDecoderTypes : public ::testing::TestWithParam<uint16_t> {};

TEST_P(AckDecoderTypes, DecodesWhateverValidTypeTheHeaderHolds) {
    Bytes wire = hex("02 FD 00 00 00 00 00 07 0C E1 0E F5 21 31 32");
    wire[2] = static_cast<uint8_t>(GetParam() >> 8);
    wire[3] = static_cast<uint8_t>(GetParam());
    ResponsePtr response(doip_diag_msg_response_create(2));
    ASSERT_EQ(doip_diag_msg_response_deserilize(wire.data(), 15, response.get()), DOIP_OK);
    EXPECT_EQ(response->header.payload_type, GetParam());
    EXPECT_EQ(response->source_address, 0x0CE1);
    EXPECT_EQ(response->target_address, 0x0EF5);
    EXPECT_EQ(response->ack_code, 0x21);
    EXPECT_EQ(
        Bytes(response->previous_message, response->previous_message + response->previous_message_length),
        hex("31 32"));
}

INSTANTIATE_TEST_SUITE_P(PositiveNegativeAndOthers, AckDecoderTypes,
                         ::testing::Values(DOIP_PT_DIAG_MSG_ACK, DOIP_PT_DIAG_MSG_NACK, DOIP_PT_DIAG_MSG));

TEST(DiagnosticRoundTrip, RequestAndBothAcknowledgementsKeepEveryField) {
    const Bytes uds = hex("2E F1 90 01 02 03");
    RequestPtr built(doip_diag_msg_request_create(6));
    ASSERT_EQ(doip_diag_msg_request_init(&kAddressing, built.get(), uds.data(), 6), DOIP_OK);
    Bytes wire(18);
    ASSERT_EQ(doip_diag_msg_request_serilize(built.get(), wire.data(), 18), DOIP_OK);
    RequestPtr decoded(doip_diag_msg_request_create(6));
    ASSERT_EQ(doip_diag_msg_request_deserilize(wire.data(), 18, decoded.get()), DOIP_OK);
    EXPECT_EQ(std::memcmp(built.get(), decoded.get(), sizeof(doip_diagnostic_request_s) + 6), 0);

    for (bool positive : {true, false}) {
        ResponsePtr ack(doip_diag_msg_response_create(6));
        ASSERT_EQ(positive ? doip_diag_msg_ack_response_init(&kAddressing, ack.get(), 0x00, uds.data(), 6)
                           : doip_diag_msg_nack_response_init(&kAddressing, ack.get(), 0x02, uds.data(), 6),
                  DOIP_OK);
        Bytes ack_wire(19);
        ASSERT_EQ(doip_diag_msg_response_serilize(ack.get(), ack_wire.data(), 19), DOIP_OK);
        ResponsePtr back(doip_diag_msg_response_create(6));
        ASSERT_EQ(doip_diag_msg_response_deserilize(ack_wire.data(), 19, back.get()), DOIP_OK);
        EXPECT_EQ(std::memcmp(ack.get(), back.get(), sizeof(doip_diagnostic_response_s) + 6), 0);
    }
}

// The parsers hand out a record before any check; ASan's leak check proves each is released.
struct ParseCase {
    std::string name;
    bool null_bytes;
    std::string input;
    int expected;
};

class AllocatingParsers : public ::testing::TestWithParam<ParseCase> {};

TEST_P(AllocatingParsers, HandOutARecordWhateverTheResult) {
    const ParseCase& c = GetParam();
    codec_test::HeapBytes input(hex(c.input));
    const uint8_t* bytes = c.null_bytes ? nullptr : input.data();
    doip_diagnostic_request_s* request = nullptr;
    EXPECT_EQ(doip_diag_request_parse(bytes, input.size(), &request), c.expected);
    EXPECT_NE(request, nullptr);
    doip_diag_msg_request_free(request);
    doip_diagnostic_response_s* response = nullptr;
    EXPECT_EQ(doip_diag_response(nullptr, bytes, input.size(), &response), c.expected);
    EXPECT_NE(response, nullptr);
    EXPECT_EQ(doip_free_diag_response(response), DOIP_OK);
}

INSTANTIATE_TEST_SUITE_P(
    EveryPath, AllocatingParsers,
    ::testing::Values(
        ParseCase{"EmptyInput", false, "", DOIP_ERR_INPUT_TOO_SHORT},
        ParseCase{"NullBytes", true, "02 FD 80 02 00 00 00 05 0C E1 0E F5 00", DOIP_ERR_NULL_INPUT},
        ParseCase{"BadHeader", false, "02 FC 80 02 00 00 00 05 0C E1 0E F5 00",
                  DOIP_ERR_BAD_PROTOCOL_VERSION},
        ParseCase{"TooShortForEither", false, "02 FD 80 02 00 00 00 00 0C E1 0E", DOIP_ERR_INPUT_TOO_SHORT},
        ParseCase{"LongEnoughForBoth", false, "02 FD 80 02 00 00 00 07 0C E1 0E F5 00 22 F1", DOIP_OK}),
    [](const auto& info) { return info.param.name; });

TEST(AllocatingParsersContent, RequestParserFillsEveryField) {
    const Bytes wire = hex("02 FD 80 01 00 00 00 07 0E F5 0C E1 22 F1 90");
    doip_diagnostic_request_s* raw = nullptr;
    ASSERT_EQ(doip_diag_request_parse(wire.data(), 15, &raw), DOIP_OK);
    RequestPtr request(raw);
    EXPECT_EQ(request->header.payload_type, DOIP_PT_DIAG_MSG);
    EXPECT_EQ(request->header.payload_length, 7u);
    EXPECT_EQ(request->source_address, 0x0EF5);
    EXPECT_EQ(request->target_address, 0x0CE1);
    EXPECT_EQ(Bytes(request->user_data, request->user_data + request->user_data_length), hex("22 F1 90"));
}

TEST(AllocatingParsersContent, ResponseParserFillsEveryField) {
    const Bytes wire = hex("02 FD 80 03 00 00 00 08 0C E1 0E F5 02 22 F1 90");
    doip_diagnostic_response_s* raw = nullptr;
    ASSERT_EQ(doip_diag_response(nullptr, wire.data(), 16, &raw), DOIP_OK);
    ResponsePtr response(raw);
    EXPECT_EQ(response->header.payload_type, DOIP_PT_DIAG_MSG_NACK);
    EXPECT_EQ(response->source_address, 0x0CE1);
    EXPECT_EQ(response->target_address, 0x0EF5);
    EXPECT_EQ(response->ack_code, 0x02);
    EXPECT_EQ(
        Bytes(response->previous_message, response->previous_message + response->previous_message_length),
        hex("22 F1 90"));
}

TEST(AllocatingParsersContent, NullOutAllocatesNothingAndGivesMinus10) {
    const Bytes wire = hex("02 FD 80 01 00 00 00 04 0E F5 0C E1");
    EXPECT_EQ(doip_diag_request_parse(wire.data(), 12, nullptr), DOIP_ERR_NULL_RECORD);
    EXPECT_EQ(doip_diag_response(nullptr, wire.data(), 12, nullptr), DOIP_ERR_NULL_RECORD);
}

TEST(DiagnosticRecords, FreeFunctionsAcceptNull) {
    doip_diag_msg_request_free(nullptr);
    EXPECT_EQ(doip_diag_msg_response_free(nullptr), DOIP_OK);
    EXPECT_EQ(doip_free_diag_response(nullptr), DOIP_OK);
}

}  // namespace
