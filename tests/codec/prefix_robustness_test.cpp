// Every prefix of every valid message, in a heap block of exactly that size, through every decoder, parser
// and tool: each call returns a known code and never touches a byte outside its input or its record
// (AddressSanitizer turns any stray access into a failure). Each prefix is also tried with its payload
// length rewritten to match, so that it passes the header check and reaches the decoders' own length tests.
#include "doip.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "codec/codec_test_support.h"

namespace {

using codec_test::Bytes;
using codec_test::hex;

const std::string kVin = "57 56 57 5A 5A 5A 31 4A 5A 58 57 30 30 30 30 30 31";
const std::string kIds = " 10 01 00 1A 2B 3C 4D 5E 0A 0B 0C 0D 0E 0F ";

const std::vector<std::string> kMessages = {
    "02 FD 00 01 00 00 00 00",
    "02 FD 00 02 00 00 00 06 00 1A 2B 3C 4D 5E",
    "02 FD 00 03 00 00 00 11 " + kVin,
    "02 FD 00 04 00 00 00 20 " + kVin + kIds + "00",
    "02 FD 00 04 00 00 00 21 " + kVin + kIds + "00 10",
    "02 FD 00 05 00 00 00 07 0E F5 00 00 00 00 00",
    "02 FD 00 05 00 00 00 0B 0E F5 00 00 00 00 00 12 34 56 78",
    "02 FD 00 06 00 00 00 09 0E F5 10 01 10 00 00 00 00",
    "02 FD 00 06 00 00 00 0D 0E F5 10 01 10 00 00 00 00 AB CD EF 01",
    "02 FD 00 07 00 00 00 00",
    "02 FD 00 08 00 00 00 02 0E F5",
    "02 FD 40 01 00 00 00 00",
    "02 FD 40 02 00 00 00 03 01 04 02",
    "02 FD 40 02 00 00 00 07 01 04 02 00 00 10 00",
    "02 FD 40 03 00 00 00 00",
    "02 FD 40 04 00 00 00 01 01",
    "02 FD 80 01 00 00 00 07 0E F5 0C E1 22 F1 90",
    "02 FD 80 02 00 00 00 05 0C E1 0E F5 00",
    "02 FD 80 03 00 00 00 08 0C E1 0E F5 02 22 F1 90",
};

// Runs one decoder on `count` bytes; the record is a heap block of exactly the record's size (for the
// diagnostic records, with exactly the room the input asks for).
using Run = std::function<int(const uint8_t*, uint32_t)>;

template <typename Record>
Run fixed(int (*decode)(const uint8_t*, uint32_t, Record*)) {
    return [decode](const uint8_t* bytes, uint32_t count) {
        auto record = std::make_unique<Record>();
        return decode(bytes, count, record.get());
    };
}

const std::vector<std::pair<std::string, Run>>& runners() {
    static const std::vector<std::pair<std::string, Run>> all = {
        {"doip_deserialize", fixed(doip_deserialize)},
        {"header-only", fixed(doip_alive_check_request_deserilize)},
        {"vehicle id request", fixed(doip_vehicle_id_request_deserilize)},
        {"vehicle id response", fixed(doip_vehicle_id_response_deserilize)},
        {"vid response", fixed(doip_vid_response)},
        {"alive check response", fixed(doip_alive_check_response_deserilize)},
        {"entity status response", fixed(doip_entity_status_response_deserilize)},
        {"power mode response", fixed(doip_power_mode_response_deserilize)},
        {"routing request", fixed(doip_routing_activation_request_deserilize)},
        {"routing response", fixed(doip_routing_activation_response_deserilize)},
        {"diagnostic message",
         [](const uint8_t* b, uint32_t n) {
             codec_test::RequestPtr r(doip_diag_msg_request_create(n > 12 ? n - 12 : 0));
             return doip_diag_msg_request_deserilize(b, n, r.get());
         }},
        {"diagnostic ack",
         [](const uint8_t* b, uint32_t n) {
             codec_test::ResponsePtr r(doip_diag_msg_response_create(n > 13 ? n - 13 : 0));
             return doip_diag_msg_response_deserilize(b, n, r.get());
         }},
        {"request parser",
         [](const uint8_t* b, uint32_t n) {
             doip_diagnostic_request_s* r = nullptr;
             const int rc = doip_diag_request_parse(b, n, &r);
             doip_diag_msg_request_free(r);
             return rc;
         }},
        {"response parser",
         [](const uint8_t* b, uint32_t n) {
             doip_diagnostic_response_s* r = nullptr;
             const int rc = doip_diag_response(nullptr, b, n, &r);
             doip_free_diag_response(r);
             return rc;
         }},
        {"explain info",
         [](const uint8_t* b, uint32_t n) -> int {
             doip_get_expalininfo(b, n);
             return DOIP_OK;
         }},
        {"remove header",
         [](const uint8_t* b, uint32_t n) -> int {
             if (n == 0) {
                 return DOIP_OK;  // a message record cannot hold zero bytes
             }
             doip_message_s msg{};
             EXPECT_EQ(doip_message_init(&msg, b, static_cast<int>(n)), DOIP_OK);
             const int rc = doip_remove_header(&msg);
             EXPECT_LE(msg.length, n);
             doip_message_destory(&msg);
             return rc;
         }},
    };
    return all;
}

const std::set<int> kKnownCodes = {DOIP_OK,
                                   DOIP_ERR_NULL_INPUT,
                                   DOIP_ERR_INPUT_TOO_SHORT,
                                   DOIP_ERR_NULL_RECORD,
                                   DOIP_ERR_BAD_PROTOCOL_VERSION,
                                   DOIP_ERR_UNKNOWN_PAYLOAD_TYPE,
                                   DOIP_ERR_INCOMPLETE_MESSAGE};

void run_everything_on(const Bytes& input) {
    codec_test::HeapBytes exact(input);
    for (const auto& [name, run] : runners()) {
        SCOPED_TRACE(name);
        EXPECT_EQ(kKnownCodes.count(run(exact.data(), exact.size())), 1u);
    }
}

class EveryPrefix : public ::testing::TestWithParam<std::string> {};

TEST_P(EveryPrefix, DecodesOrFailsCleanlyInAnExactSizeBuffer) {
    const Bytes message = hex(GetParam());
    for (size_t length = 0; length <= message.size(); ++length) {
        SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
        run_everything_on(Bytes(message.begin(), message.begin() + length));
    }
}

TEST_P(EveryPrefix, PassesTheHeaderCheckWithAMatchingPayloadLengthAndStillStaysInBounds) {
    const Bytes message = hex(GetParam());
    for (size_t length = DOIP_HEADER_SIZE; length <= message.size(); ++length) {
        SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
        Bytes prefix(message.begin(), message.begin() + length);
        prefix[7] = static_cast<uint8_t>(length - DOIP_HEADER_SIZE);
        doip_package_s header;
        ASSERT_EQ(doip_deserialize(prefix.data(), static_cast<uint32_t>(length), &header), DOIP_OK);
        run_everything_on(prefix);
    }
}

INSTANTIATE_TEST_SUITE_P(AllPayloadTypes, EveryPrefix, ::testing::ValuesIn(kMessages),
                         [](const auto& info) { return "Message" + std::to_string(info.index); });

}  // namespace
