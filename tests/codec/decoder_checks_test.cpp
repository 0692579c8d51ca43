// Every decoder: its own order of argument checks, the header check after them, and input that passes the
// header check but is shorter than the fields the decoder reads. A failing decoder leaves its record alone.
#include "doip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codec/codec_test_support.h"

namespace {

using codec_test::Bytes;
using codec_test::hex;

using Decode = std::function<int(const uint8_t*, uint32_t, void*)>;

template <typename Record>
Decode decoder(int (*decode)(const uint8_t*, uint32_t, Record*)) {
    return [decode](const uint8_t* b, uint32_t n, void* r) { return decode(b, n, static_cast<Record*>(r)); };
}

enum class Input { kNull, kMessage };

struct Check {
    Input input;
    uint32_t count;
    bool null_record;
    int expected;
};

struct DecoderCase {
    std::string name;
    Decode decode;
    std::string message;       // a valid message for this decoder
    std::vector<Check> order;  // argument checks, first failing wins
};

const std::string kVin = "57 56 57 5A 5A 5A 31 4A 5A 58 57 30 30 30 30 30 31";

std::vector<Check> count_then_bytes_then_record(uint32_t n) {
    return {{Input::kNull, 0, true, DOIP_ERR_INPUT_TOO_SHORT},
            {Input::kNull, n, true, DOIP_ERR_NULL_INPUT},
            {Input::kMessage, n, true, DOIP_ERR_NULL_RECORD}};
}

std::vector<Check> bytes_then_count_then_record(uint32_t minimum) {
    return {{Input::kNull, 0, true, DOIP_ERR_NULL_INPUT},
            {Input::kMessage, minimum - 1, true, DOIP_ERR_INPUT_TOO_SHORT},
            {Input::kMessage, minimum, true, DOIP_ERR_NULL_RECORD}};
}

std::vector<DecoderCase> decoder_cases() {
    const std::string vid_response =
        "02 FD 00 04 00 00 00 21 " + kVin + " 10 01 00 1A 2B 3C 4D 5E 0A 0B 0C 0D 0E 0F 00 10";
    return {
        {"AliveCheckRequest", decoder(doip_alive_check_request_deserilize), "02 FD 00 07 00 00 00 00",
         count_then_bytes_then_record(8)},
        {"EntityStatusRequest", decoder(doip_entity_status_request_deserilize), "02 FD 40 01 00 00 00 00",
         count_then_bytes_then_record(8)},
        {"PowerModeRequest", decoder(doip_power_mode_request_deserilize), "02 FD 40 03 00 00 00 00",
         count_then_bytes_then_record(8)},
        {"VehicleIdRequest", decoder(doip_vehicle_id_request_deserilize),
         "02 FD 00 02 00 00 00 06 00 1A 2B 3C 4D 5E", count_then_bytes_then_record(14)},
        {"AliveCheckResponse",
         decoder(doip_alive_check_response_deserilize),
         "02 FD 00 08 00 00 00 02 0E F5",
         {{Input::kNull, 9, true, DOIP_ERR_INPUT_TOO_SHORT},
          {Input::kNull, 10, true, DOIP_ERR_NULL_INPUT},
          {Input::kMessage, 10, true, DOIP_ERR_NULL_RECORD}}},
        {"EntityStatusResponse", decoder(doip_entity_status_response_deserilize),
         "02 FD 40 02 00 00 00 07 01 04 02 00 00 10 00", bytes_then_count_then_record(11)},
        {"PowerModeResponse", decoder(doip_power_mode_response_deserilize), "02 FD 40 04 00 00 00 01 01",
         bytes_then_count_then_record(9)},
        {"VehicleIdResponse",
         decoder(doip_vehicle_id_response_deserilize),
         vid_response,
         {{Input::kNull, 42, true, DOIP_ERR_INPUT_TOO_SHORT},
          {Input::kNull, 39, true, DOIP_ERR_INPUT_TOO_SHORT},
          {Input::kNull, 40, true, DOIP_ERR_NULL_INPUT},
          {Input::kMessage, 41, true, DOIP_ERR_NULL_RECORD}}},
        {"VidResponse",
         decoder(doip_vid_response),
         vid_response,
         {{Input::kNull, 42, true, DOIP_ERR_INPUT_TOO_SHORT},
          {Input::kNull, 41, true, DOIP_ERR_NULL_INPUT},
          {Input::kMessage, 40, true, DOIP_ERR_NULL_RECORD}}},
        {"RoutingActivationRequest", decoder(doip_routing_activation_request_deserilize),
         "02 FD 00 05 00 00 00 07 0E F5 00 00 00 00 00", count_then_bytes_then_record(15)},
        {"RoutingActivationResponse", decoder(doip_routing_activation_response_deserilize),
         "02 FD 00 06 00 00 00 09 0E F5 10 01 10 00 00 00 00", bytes_then_count_then_record(17)},
        {"DiagnosticMessage", decoder(doip_diag_msg_request_deserilize),
         "02 FD 80 01 00 00 00 07 0E F5 0C E1 22 F1 90", count_then_bytes_then_record(15)},
        {"DiagnosticAck", decoder(doip_diag_msg_response_deserilize),
         "02 FD 80 02 00 00 00 05 0C E1 0E F5 00", count_then_bytes_then_record(13)},
    };
}

// Room for the largest record plus echoed bytes, filled with a recognisable byte.
struct Scratch {
    alignas(8) uint8_t bytes[256];
    Scratch() { std::memset(bytes, 0xA5, sizeof bytes); }
    bool untouched() const {
        for (uint8_t b : bytes) {
            if (b != 0xA5) {
                return false;
            }
        }
        return true;
    }
};

class DecoderChecks : public ::testing::TestWithParam<DecoderCase> {};

TEST_P(DecoderChecks, ArgumentChecksRunInTheirOwnOrder) {
    const Bytes message = hex(GetParam().message);
    for (const Check& check : GetParam().order) {
        SCOPED_TRACE("count " + std::to_string(check.count));
        // The bytes behind a "message" input are never fewer than the count given.
        Bytes storage = message;
        storage.resize(std::max<size_t>(message.size(), check.count));
        const uint8_t* bytes = check.input == Input::kNull ? nullptr : storage.data();
        Scratch record;
        EXPECT_EQ(GetParam().decode(bytes, check.count, check.null_record ? nullptr : record.bytes),
                  check.expected);
    }
}

TEST_P(DecoderChecks, ValidMessageDecodes) {
    codec_test::HeapBytes message(hex(GetParam().message));
    Scratch record;
    EXPECT_EQ(GetParam().decode(message.data(), message.size(), record.bytes), DOIP_OK);
    EXPECT_FALSE(record.untouched());
}

TEST_P(DecoderChecks, HeaderCheckFailureLeavesTheRecordUntouched) {
    Bytes bad_inverse = hex(GetParam().message);
    bad_inverse[1] = 0xFC;
    Bytes bad_type = hex(GetParam().message);
    bad_type[2] = 0x70;
    for (const auto& [input, expected] : {std::pair{bad_inverse, DOIP_ERR_BAD_PROTOCOL_VERSION},
                                          std::pair{bad_type, DOIP_ERR_UNKNOWN_PAYLOAD_TYPE}}) {
        codec_test::HeapBytes message(input);
        Scratch record;
        EXPECT_EQ(GetParam().decode(message.data(), message.size(), record.bytes), expected);
        EXPECT_TRUE(record.untouched());
    }
}

INSTANTIATE_TEST_SUITE_P(AllDecoders, DecoderChecks, ::testing::ValuesIn(decoder_cases()),
                         [](const auto& info) { return info.param.name; });

// Messages whose header is valid (payload length 0) but that end before the fields their decoder reads.
struct ShortCase {
    std::string name;
    Decode decode;
    std::string message;
};

class ShortInput : public ::testing::TestWithParam<ShortCase> {};

TEST_P(ShortInput, GivesMinus9AndLeavesTheRecordUntouched) {
    codec_test::HeapBytes message(hex(GetParam().message));
    Scratch record;
    EXPECT_EQ(GetParam().decode(message.data(), message.size(), record.bytes), DOIP_ERR_INPUT_TOO_SHORT);
    EXPECT_TRUE(record.untouched());
}

INSTANTIATE_TEST_SUITE_P(
    HeaderPassesButFieldsAreMissing, ShortInput,
    ::testing::Values(ShortCase{"EidRequestOf13Bytes", decoder(doip_vehicle_id_request_deserilize),
                                "02 FD 00 02 00 00 00 00 00 1A 2B 3C 4D"},
                      ShortCase{"VinRequestOf24Bytes", decoder(doip_vehicle_id_request_deserilize),
                                "02 FD 00 03 00 00 00 00 " + kVin.substr(0, 16 * 3)},
                      ShortCase{"RoutingActivationRequestOf14Bytes",
                                decoder(doip_routing_activation_request_deserilize),
                                "02 FD 00 05 00 00 00 00 0E F5 00 00 00 00"},
                      ShortCase{"DiagnosticMessageOf11Bytes", decoder(doip_diag_msg_request_deserilize),
                                "02 FD 80 01 00 00 00 00 0E F5 0C"},
                      ShortCase{"DiagnosticAckOf12Bytes", decoder(doip_diag_msg_response_deserilize),
                                "02 FD 80 02 00 00 00 00 0E F5 0C E1"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
