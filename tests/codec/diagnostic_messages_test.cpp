// Diagnostic messages and acknowledgements: their records, decoding into caller-sized records, the
// allocating parsers (whose record the caller owns on every path), and doip_get_expalininfo and
// doip_remove_header on received messages of every kind, short ones included.
#include "doip.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "codec/codec_test_support.h"

namespace {

using namespace codec_test;

// Reading the whole record also shows that it has room for the size asked for.
TEST(DiagnosticRecords, CreateGivesZeroFilledRecords) {
    RequestPtr request(doip_diag_msg_request_create(5));
    ResponsePtr response(doip_diag_msg_response_create(4));
    ASSERT_TRUE(request && response);
    EXPECT_EQ(std::memcmp(request.get(), Block().words, sizeof(doip_diagnostic_request_s) + 5), 0);
    EXPECT_EQ(std::memcmp(response.get(), Block().words, sizeof(doip_diagnostic_response_s) + 4), 0);
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
    HeapBytes out(Bytes(13));
    EXPECT_EQ(doip_diag_msg_response_serilize(response.get(), out.data(), out.size()), DOIP_OK);
    response->previous_message_length = 1;
    EXPECT_EQ(doip_diag_msg_response_serilize(response.get(), out.data(), out.size()),
              DOIP_ERR_BUFFER_TOO_SMALL);
}

TEST(DiagnosticDecode, UserDataRunsToTheByteCountNotThePayloadLength) {
    // A 12-byte message (payload length 4) followed by 8 more bytes.
    HeapBytes wire(hex("02 FD 80 01 00 00 00 04 0C E1 0E F5 01 02 03 04 05 06 07 08"));
    RequestPtr request(doip_diag_msg_request_create(8));
    ASSERT_EQ(doip_diag_msg_request_deserilize(wire.data(), wire.size(), request.get()), DOIP_OK);
    EXPECT_EQ(request->header.payload_length, 4u);
    EXPECT_EQ(Bytes(request->user_data, request->user_data + request->user_data_length),
              hex("01 02 03 04 05 06 07 08"));
}

// Neither _init without data nor a decoder with nothing after the fixed part sets the length.
TEST(DiagnosticRecords, NoDataLeavesTheLengthAsTheCallerSetIt) {
    HeapBytes message(hex("02 FD 80 01 00 00 00 04 0C E1 0E F5"));
    HeapBytes ack(hex("02 FD 80 02 00 00 00 05 0C E1 0E F5 00"));
    RequestPtr request(doip_diag_msg_request_create(0));
    ResponsePtr response(doip_diag_msg_response_create(0));
    request->user_data_length = response->previous_message_length = 77;
    ASSERT_EQ(doip_diag_msg_request_init(&kAddressing, request.get(), nullptr, 0), DOIP_OK);
    ASSERT_EQ(doip_diag_msg_nack_response_init(&kAddressing, response.get(), 0x03, nullptr, 0), DOIP_OK);
    ASSERT_EQ(doip_diag_msg_request_deserilize(message.data(), message.size(), request.get()), DOIP_OK);
    ASSERT_EQ(doip_diag_msg_response_deserilize(ack.data(), ack.size(), response.get()), DOIP_OK);
    EXPECT_EQ(request->user_data_length, 77u);
    EXPECT_EQ(response->previous_message_length, 77u);
}

// Positive and negative acknowledgements are among the message vectors.
TEST(DiagnosticDecode, AckDecoderTakesAnyOtherValidTypeToo) {
    HeapBytes wire(hex("02 FD 80 01 00 00 00 07 0C E1 0E F5 21 31 32"));
    ResponsePtr response(doip_diag_msg_response_create(2));
    ASSERT_EQ(doip_diag_msg_response_deserilize(wire.data(), wire.size(), response.get()), DOIP_OK);
    EXPECT_EQ(response->header.payload_type, DOIP_PT_DIAG_MSG);
    EXPECT_EQ(response->ack_code, 0x21);
    EXPECT_EQ(response->previous_message_length, 2u);
    EXPECT_EQ(Bytes(response->previous_message, response->previous_message + 2), hex("31 32"));
}

// The parsers hand out a record before any check (the message vector tests show it on the paths of real
// input); the leak check of AddressSanitizer proves each is released.
TEST(DiagnosticParsers, HandOutARecordWhateverTheResult) {
    const struct {
        bool null_bytes;
        std::string input;
        int expected;
    } cases[] = {{true, "", DOIP_ERR_INPUT_TOO_SHORT},
                 {true, "02 FD 80 02 00 00 00 05 0C E1 0E F5 00", DOIP_ERR_NULL_INPUT},
                 {false, "02 FC 80 02 00 00 00 05 0C E1 0E F5 00", DOIP_ERR_BAD_PROTOCOL_VERSION}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        HeapBytes input(hex(c.input));
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
}

TEST(DiagnosticParsers, NullOutAllocatesNothingAndGivesMinus10) {
    const Bytes wire = hex("02 FD 80 01 00 00 00 04 0E F5 0C E1");
    EXPECT_EQ(doip_diag_request_parse(wire.data(), 12, nullptr), DOIP_ERR_NULL_RECORD);
    EXPECT_EQ(doip_diag_response(nullptr, wire.data(), 12, nullptr), DOIP_ERR_NULL_RECORD);
}

TEST(DiagnosticRecords, FreeFunctionsAcceptNull) {
    doip_diag_msg_request_free(nullptr);
    EXPECT_EQ(doip_diag_msg_response_free(nullptr), DOIP_OK);
    EXPECT_EQ(doip_free_diag_response(nullptr), DOIP_OK);
}

const char kRoutingResponse[] = "02 FD 00 06 00 00 00 09 0E F5 10 01 10 00 00 00 00";

auto fields(const explain_info_s& i) {
    const doip_package_s& h = i.header;
    return std::tuple(h.protocol_version, h.inverse_protocol_version, h.payload_type, h.payload_length,
                      i.sender_address);
}

TEST(ExplainInfo, GivesHeaderAndSenderOfWhatItCanRead) {
    const doip_package_s zero{0, 0, 0, 0};
    const struct {
        std::string input;
        doip_package_s header;
        uint16_t sender;
    } cases[] = {
        {"02 FD 80 01 00 00 00 07 0C E1 0E F5 62 F1 90", {0x02, 0xFD, DOIP_PT_DIAG_MSG, 7}, 0x0CE1},
        {"02 FD 80 02 00 00 00 05 0C E1 0E F5 00", {0x02, 0xFD, DOIP_PT_DIAG_MSG_ACK, 5}, 0x0CE1},
        {"03 FC 80 03 00 00 00 06 1F FF 0E F5 02 22", {0x03, 0xFC, DOIP_PT_DIAG_MSG_NACK, 6}, 0x1FFF},
        // The sender of a routing activation response is the entity, at bytes 10 and 11.
        {kRoutingResponse, {0x02, 0xFD, DOIP_PT_ROUTING_ACTIVATION_RESPONSE, 9}, 0x1001},
        {"02 FD 00 06 00 00 00 00 0E F5 10 01", {0x02, 0xFD, DOIP_PT_ROUTING_ACTIVATION_RESPONSE, 0}, 0x1001},
        // Any other type gives only the type.
        {"02 FD 00 07 00 00 00 00", {0, 0, DOIP_PT_ALIVE_CHECK_REQUEST, 0}, 0},
        {"02 FC 80 01 00 00 00 04 0C E1 0E F5", zero, 0},
        {"", zero, 0},
        // Too short for the sender address (and the acknowledgement code).
        {"02 FD 80 01 00 00 00 00 0C E1 0E", zero, 0},
        {"02 FD 80 02 00 00 00 00 0C E1 0E F5", zero, 0},
        {"02 FD 80 03 00 00 00 00 0C E1 0E F5", zero, 0},
        {"02 FD 00 06 00 00 00 00 0E F5 10", zero, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        HeapBytes input(hex(c.input));
        EXPECT_EQ(fields(doip_get_expalininfo(input.data(), input.size())), fields({c.header, c.sender}));
    }
    EXPECT_EQ(fields(doip_get_expalininfo(nullptr, 15)), fields({zero, 0}));
}

TEST(RemoveHeader, LeavesTheContentInTheSameBuffer) {
    const struct {
        std::string input;
        std::string remaining;
    } cases[] = {
        {"02 FD 80 01 00 00 00 07 0C E1 0E F5 62 F1 90", "62 F1 90"},
        {"02 FD 80 01 00 00 00 04 0C E1 0E F5", ""},
        {"02 FD 80 02 00 00 00 07 0C E1 0E F5 00 22 F1", "22 F1"},
        {"02 FD 80 03 00 00 00 06 0C E1 0E F5 02 10", "10"},
        // Unchanged: another type, a bad header, and messages too short to strip.
        {kRoutingResponse, kRoutingResponse},
        {"02 FC 80 01 00 00 00 04 0C E1 0E F5", "02 FC 80 01 00 00 00 04 0C E1 0E F5"},
        {"02 FD 80 01 00 00 00 00 0C E1 0E", "02 FD 80 01 00 00 00 00 0C E1 0E"},
        {"02 FD 80 02 00 00 00 00 0C E1 0E F5", "02 FD 80 02 00 00 00 00 0C E1 0E F5"},
        {"", ""},  // the empty message
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        OwnedMessage m(hex(c.input));
        const uint8_t* buffer = m.msg.data;
        EXPECT_EQ(doip_remove_header(&m.msg), DOIP_OK);
        EXPECT_EQ(m.bytes(), hex(c.remaining));
        EXPECT_EQ(m.msg.data, buffer);
    }
}

TEST(RemoveHeader, NullMessageGivesMinus29) {
    EXPECT_EQ(doip_remove_header(nullptr), DOIP_ERR_INVALID_ARGUMENT);
}

}  // namespace
