// Every encoder, fed by its _init function: the exact bytes, the capacity it needs, and that a failing
// call writes nothing.
#include "doip.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "codec/codec_test_support.h"

namespace {

using codec_test::addressing;
using codec_test::Bytes;
using codec_test::hex;
using codec_test::RequestPtr;
using codec_test::ResponsePtr;

const char* const kVinText = "WVWZZZ1JZXW000001";
const uint8_t* vin() {
    return reinterpret_cast<const uint8_t*>(kVinText);
}
const char* const kVinHex = "57 56 57 5A 5A 5A 31 4A 5A 58 57 30 30 30 30 30 31";
const uint8_t kEid[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const uint8_t kGid[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
const uint8_t kUds[3] = {0x22, 0xF1, 0x90};

// Builds the record with its _init function (or passes a null record) and encodes it.
using Encode = std::function<int(bool null_record, uint8_t* out, uint32_t capacity)>;

struct EncoderCase {
    std::string name;
    Encode encode;
    std::string expected;        // hex of the message
    uint32_t required_capacity;  // the smallest capacity that succeeds
};

template <typename Record, typename Init, typename Serialize>
Encode with_record(Init init, Serialize serialize) {
    return [=](bool null_record, uint8_t* out, uint32_t capacity) {
        Record record{};
        const doip_addressing_s a = addressing();
        EXPECT_EQ(init(&a, &record), DOIP_OK);
        return serialize(null_record ? nullptr : &record, out, capacity);
    };
}

Encode diag_request(const uint8_t* uds, uint32_t n) {
    return [=](bool null_record, uint8_t* out, uint32_t capacity) {
        RequestPtr record(doip_diag_msg_request_create(n));
        const doip_addressing_s a = addressing();
        EXPECT_EQ(doip_diag_msg_request_init(&a, record.get(), uds, n), DOIP_OK);
        return doip_diag_msg_request_serilize(null_record ? nullptr : record.get(), out, capacity);
    };
}

Encode diag_response(bool positive, uint8_t code, const uint8_t* echo, uint32_t n) {
    return [=](bool null_record, uint8_t* out, uint32_t capacity) {
        ResponsePtr record(doip_diag_msg_response_create(n));
        const doip_addressing_s a = addressing();
        EXPECT_EQ(positive ? doip_diag_msg_ack_response_init(&a, record.get(), code, echo, n)
                           : doip_diag_msg_nack_response_init(&a, record.get(), code, echo, n),
                  DOIP_OK);
        return doip_diag_msg_response_serilize(null_record ? nullptr : record.get(), out, capacity);
    };
}

std::vector<EncoderCase> encoder_cases() {
    using std::string;
    const string vid_response_body = string(kVinHex) + " 10 01 00 1A 2B 3C 4D 5E 0A 0B 0C 0D 0E 0F";
    return {
        {"AliveCheckRequest",
         with_record<doip_package_s>(doip_alive_check_request_init, doip_alive_check_request_serilize),
         "02 FD 00 07 00 00 00 00", 8},
        {"EntityStatusRequest",
         with_record<doip_package_s>(doip_entity_status_request_init, doip_entity_status_request_serilize),
         "02 FD 40 01 00 00 00 00", 8},
        {"PowerModeRequest",
         with_record<doip_package_s>(doip_power_mode_request_init, doip_power_mode_request_serilize),
         "02 FD 40 03 00 00 00 00", 8},
        {"VehicleIdRequest",
         with_record<doip_vehicle_id_request_s>(doip_vehicle_id_request_init,
                                                doip_vehicle_id_request_serilize),
         "02 FD 00 01 00 00 00 00", 8},
        {"VehicleIdEidRequest",
         with_record<doip_vehicle_id_request_s>(
             [](auto* a, auto* r) { return doip_vehicle_id_eid_request_init(a, r, kEid); },
             doip_vehicle_id_request_serilize),
         "02 FD 00 02 00 00 00 06 00 1A 2B 3C 4D 5E", 14},
        {"VehicleIdVinRequest",
         with_record<doip_vehicle_id_request_s>(
             [](auto* a, auto* r) { return doip_vehicle_id_vin_request_init(a, r, vin()); },
             doip_vehicle_id_request_serilize),
         "02 FD 00 03 00 00 00 11 " + string(kVinHex), 25},
        {"VehicleIdResponseWithSyncStatus",
         with_record<vehicle_id_response_s>(
             [](auto* a, auto* r) {
                 return doip_vehicle_id_response_init(a, r, vin(), 0x1001, kEid, kGid, 0x00, 1, 0x10);
             },
             doip_vehicle_id_response_serilize),
         "02 FD 00 04 00 00 00 21 " + vid_response_body + " 00 10", 41},
        // Without the sync status the message is 40 bytes, yet the encoder asks for 41.
        {"VehicleIdResponseWithoutSyncStatus",
         with_record<vehicle_id_response_s>(
             [](auto* a, auto* r) {
                 return doip_vehicle_id_response_init(a, r, vin(), 0x1001, kEid, kGid, 0x10, 0, 0x10);
             },
             doip_vehicle_id_response_serilize),
         "02 FD 00 04 00 00 00 20 " + vid_response_body + " 10", 41},
        {"AliveCheckResponse",
         with_record<doip_alive_check_response_s>(
             [](auto* a, auto* r) { return doip_alive_check_response_init(a, r, 0x0EF5); },
             doip_alive_check_response_serilize),
         "02 FD 00 08 00 00 00 02 0E F5", 10},
        {"EntityStatusResponseWithMaxDataSize",
         with_record<doip_entity_status_response_s>(
             [](auto* a, auto* r) { return doip_entity_status_response_init(a, r, 0x01, 4, 2, 1, 4096); },
             doip_entity_status_response_serilize),
         "02 FD 40 02 00 00 00 07 01 04 02 00 00 10 00", 15},
        {"EntityStatusResponseWithoutMaxDataSize",
         with_record<doip_entity_status_response_s>(
             [](auto* a, auto* r) { return doip_entity_status_response_init(a, r, 0x01, 4, 2, 0, 4096); },
             doip_entity_status_response_serilize),
         "02 FD 40 02 00 00 00 03 01 04 02", 11},
        {"PowerModeResponse",
         with_record<doip_power_mode_response_s>(
             [](auto* a, auto* r) { return doip_power_mode_response_init(a, r, 0x01); },
             doip_power_mode_response_serilize),
         "02 FD 40 04 00 00 00 01 01", 9},
        {"RoutingActivationRequestWithOem",
         with_record<doip_routing_activation_request_s>(
             [](auto* a, auto* r) {
                 return doip_routing_activation_request_init(a, r, 0x0EF5, 0x00, 1, 0x12345678);
             },
             doip_routing_activation_request_serilize),
         "02 FD 00 05 00 00 00 0B 0E F5 00 00 00 00 00 12 34 56 78", 19},
        {"RoutingActivationRequestWithoutOem",
         with_record<doip_routing_activation_request_s>(
             [](auto* a, auto* r) { return doip_routing_activation_request_init(a, r, 0x0EF5, 0xE0, 0, 0); },
             doip_routing_activation_request_serilize),
         "02 FD 00 05 00 00 00 07 0E F5 E0 00 00 00 00", 15},
        {"RoutingActivationResponseWithOem",
         with_record<doip_routing_activation_response_s>(
             [](auto* a, auto* r) {
                 return doip_routing_activation_response_init(a, r, 0x0EF5, 0x1001, 0x10, 1, 0xABCDEF01);
             },
             doip_routing_activation_response_serilize),
         "02 FD 00 06 00 00 00 0D 0E F5 10 01 10 00 00 00 00 AB CD EF 01", 21},
        {"RoutingActivationResponseWithoutOem",
         with_record<doip_routing_activation_response_s>(
             [](auto* a, auto* r) {
                 return doip_routing_activation_response_init(a, r, 0x0EF5, 0x1001, 0x06, 0, 0);
             },
             doip_routing_activation_response_serilize),
         "02 FD 00 06 00 00 00 09 0E F5 10 01 06 00 00 00 00", 17},
        {"DiagnosticMessage", diag_request(kUds, 3), "02 FD 80 01 00 00 00 07 0E F5 0C E1 22 F1 90", 15},
        {"DiagnosticMessageWithoutUserData", diag_request(nullptr, 0), "02 FD 80 01 00 00 00 04 0E F5 0C E1",
         12},
        {"DiagnosticPositiveAck", diag_response(true, 0x00, nullptr, 0),
         "02 FD 80 02 00 00 00 05 0E F5 0C E1 00", 13},
        {"DiagnosticNegativeAck", diag_response(false, 0x00, nullptr, 0),
         "02 FD 80 03 00 00 00 05 0E F5 0C E1 00", 13},
        {"DiagnosticNegativeAckWithEcho", diag_response(false, 0x02, kUds, 3),
         "02 FD 80 03 00 00 00 08 0E F5 0C E1 02 22 F1 90", 16},
    };
}

class EncoderVectors : public ::testing::TestWithParam<EncoderCase> {};

constexpr uint8_t kUntouched = 0xEE;

TEST_P(EncoderVectors, ExactCapacityGivesTheExpectedBytes) {
    const EncoderCase& c = GetParam();
    const Bytes expected = hex(c.expected);
    codec_test::HeapBytes out(Bytes(c.required_capacity, kUntouched));
    ASSERT_EQ(c.encode(false, out.data(), out.size()), DOIP_OK);
    const Bytes written = out.bytes();
    EXPECT_EQ(Bytes(written.begin(), written.begin() + expected.size()), expected);
    // Bytes past the message are left alone.
    EXPECT_EQ(Bytes(written.begin() + expected.size(), written.end()),
              Bytes(c.required_capacity - expected.size(), kUntouched));
}

TEST_P(EncoderVectors, OneByteShortGivesMinus4AndWritesNothing) {
    const EncoderCase& c = GetParam();
    codec_test::HeapBytes out(Bytes(c.required_capacity - 1, kUntouched));
    EXPECT_EQ(c.encode(false, out.data(), out.size()), DOIP_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(out.bytes(), Bytes(c.required_capacity - 1, kUntouched));
}

TEST_P(EncoderVectors, NullRecordIsTestedBeforeTheOutputBuffer) {
    EXPECT_EQ(GetParam().encode(true, nullptr, 0), DOIP_ERR_NULL_RECORD);
}

TEST_P(EncoderVectors, NullOutputIsTestedBeforeTheCapacity) {
    EXPECT_EQ(GetParam().encode(false, nullptr, 0), DOIP_ERR_NULL_OUTPUT);
}

INSTANTIATE_TEST_SUITE_P(AllPayloadTypes, EncoderVectors, ::testing::ValuesIn(encoder_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(EncoderHeader, VersionComesFromTheAddressingBlock) {
    const doip_addressing_s a = addressing(3);
    doip_package_s record{};
    ASSERT_EQ(doip_alive_check_request_init(&a, &record), DOIP_OK);
    uint8_t out[8];
    ASSERT_EQ(doip_alive_check_request_serilize(&record, out, sizeof out), DOIP_OK);
    EXPECT_EQ(Bytes(out, out + 8), hex("03 FC 00 07 00 00 00 00"));
}

TEST(EncoderHeader, HeaderIsWrittenAsTheRecordHoldsIt) {
    // The inverse is not recomputed, and the shared header-only encoder writes whatever type it holds.
    const doip_package_s record{0x02, 0x00, 0x8001, 0x01020304};
    uint8_t out[8];
    for (auto encode : {doip_alive_check_request_serilize, doip_entity_status_request_serilize,
                        doip_power_mode_request_serilize}) {
        ASSERT_EQ(encode(&record, out, sizeof out), DOIP_OK);
        EXPECT_EQ(Bytes(out, out + 8), hex("02 00 80 01 01 02 03 04"));
    }
}

// A record whose header announces fewer bytes than its fields hold must not make the encoder write past
// the capacity it was given.
TEST(EncoderBounds, InconsistentHeaderNeverWritesPastTheCapacity) {
    doip_vehicle_id_request_s vin_request{};
    vin_request.header = doip_package_s{0x02, 0xFD, DOIP_PT_VEHICLE_ID_VIN_REQUEST, 0};
    doip_alive_check_response_s alive{};
    alive.header = doip_package_s{0x02, 0xFD, DOIP_PT_ALIVE_CHECK_RESPONSE, 0};
    doip_entity_status_response_s status{};
    status.header = doip_package_s{0x02, 0xFD, DOIP_PT_ENTITY_STATUS_RESPONSE, 3};
    status.has_max_data_size = 1;
    doip_power_mode_response_s power{};
    power.header = doip_package_s{0x02, 0xFD, DOIP_PT_POWER_MODE_RESPONSE, 0};
    doip_routing_activation_response_s routing{};
    routing.header = doip_package_s{0x02, 0xFD, DOIP_PT_ROUTING_ACTIVATION_RESPONSE, 9};
    routing.has_oem_specific = 1;
    RequestPtr diag(doip_diag_msg_request_create(4));
    diag->header = doip_package_s{0x02, 0xFD, DOIP_PT_DIAG_MSG, 4};
    diag->user_data_length = 4;

    const struct {
        const char* name;
        std::function<int(uint8_t*, uint32_t)> encode;
        uint32_t written;
    } cases[] = {
        {"vin request",
         [&](uint8_t* o, uint32_t n) { return doip_vehicle_id_request_serilize(&vin_request, o, n); }, 25},
        {"alive check",
         [&](uint8_t* o, uint32_t n) { return doip_alive_check_response_serilize(&alive, o, n); }, 10},
        {"entity status",
         [&](uint8_t* o, uint32_t n) { return doip_entity_status_response_serilize(&status, o, n); }, 15},
        {"power mode",
         [&](uint8_t* o, uint32_t n) { return doip_power_mode_response_serilize(&power, o, n); }, 9},
        {"routing response",
         [&](uint8_t* o, uint32_t n) { return doip_routing_activation_response_serilize(&routing, o, n); },
         21},
        {"diagnostic message",
         [&](uint8_t* o, uint32_t n) { return doip_diag_msg_request_serilize(diag.get(), o, n); }, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        codec_test::HeapBytes short_out(Bytes(c.written - 1, kUntouched));
        EXPECT_EQ(c.encode(short_out.data(), short_out.size()), DOIP_ERR_BUFFER_TOO_SMALL);
        codec_test::HeapBytes exact_out(Bytes(c.written, kUntouched));
        EXPECT_EQ(c.encode(exact_out.data(), exact_out.size()), DOIP_OK);
    }
}

TEST(EncoderBounds, PayloadLengthNear4GiBDoesNotWrapAround) {
    doip_alive_check_response_s alive{};
    alive.header = doip_package_s{0x02, 0xFD, DOIP_PT_ALIVE_CHECK_RESPONSE, 0xFFFFFFFCu};
    uint8_t out[16];
    EXPECT_EQ(doip_alive_check_response_serilize(&alive, out, sizeof out), DOIP_ERR_BUFFER_TOO_SMALL);
}

}  // namespace
