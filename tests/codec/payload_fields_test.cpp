// The payload functions beyond what the message vectors show: each _init's and each decoder's order of
// argument checks, fields left alone, headers written as the record holds them, input shorter than the
// fields a decoder reads, and optional parts whose presence the byte count or the payload length decides.
#include "doip.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codec/codec_test_support.h"

namespace {

using namespace codec_test;

TEST(PayloadInit, NullIdentifiersGiveMinus29AndLeaveTheRecordUntouched) {
    Block record(0xA5);
    auto* request = record.as<doip_vehicle_id_request_s>();
    auto* response = record.as<vehicle_id_response_s>();
    EXPECT_EQ(doip_vehicle_id_eid_request_init(&kAddressing, request, nullptr), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_vehicle_id_vin_request_init(&kAddressing, request, nullptr), DOIP_ERR_INVALID_ARGUMENT);
    for (int missing = 0; missing < 3; ++missing) {
        EXPECT_EQ(doip_vehicle_id_response_init(&kAddressing, response, missing == 0 ? nullptr : kVinBytes, 1,
                                                missing == 1 ? nullptr : kEid, missing == 2 ? nullptr : kGid,
                                                0, 0, 0),
                  DOIP_ERR_INVALID_ARGUMENT);
    }
    EXPECT_TRUE(record == Block(0xA5));
}

TEST(PayloadInit, VehicleIdRequestInitWritesOnlyHeaderAndIdentifier) {
    Block record(0xA5);
    auto* r = record.as<doip_vehicle_id_request_s>();
    ASSERT_EQ(doip_vehicle_id_eid_request_init(&kAddressing, r, kEid), DOIP_OK);
    Bytes eid_then_untouched(kEid, kEid + 6);
    eid_then_untouched.resize(17, 0xA5);
    EXPECT_EQ(Bytes(r->vin, r->vin + 17), eid_then_untouched);
    ASSERT_EQ(doip_vehicle_id_request_init(&kAddressing, r), DOIP_OK);
    EXPECT_EQ(r->header.payload_type, DOIP_PT_VEHICLE_ID_REQUEST);
    EXPECT_EQ(Bytes(r->vin, r->vin + 17), eid_then_untouched);
}

TEST(PayloadInit, RoutingRequestKeepsTheOemValueAndTheFlagAsGiven) {
    doip_routing_activation_request_s request;
    ASSERT_EQ(doip_routing_activation_request_init(&kAddressing, &request, 1, 2, 0, 0x11223344), DOIP_OK);
    EXPECT_EQ(request.oem_specific, 0x11223344u);
    EXPECT_EQ(request.header.payload_length, 7u);
    ASSERT_EQ(doip_routing_activation_request_init(&kAddressing, &request, 1, 2, 5, 0), DOIP_OK);
    EXPECT_EQ(request.has_oem_specific, 5);
    EXPECT_EQ(request.header.payload_length, 11u);
}

// The inverse is not recomputed, and the shared header-only encoder writes whatever type it holds.
TEST(PayloadEncode, HeaderIsWrittenAsTheRecordHoldsIt) {
    const doip_package_s record{0x02, 0x00, 0x8001, 0x01020304};
    uint8_t out[8];
    for (auto encode : {doip_alive_check_request_serilize, doip_entity_status_request_serilize,
                        doip_power_mode_request_serilize}) {
        ASSERT_EQ(encode(&record, out, sizeof out), DOIP_OK);
        EXPECT_EQ(Bytes(out, out + 8), hex("02 00 80 01 01 02 03 04"));
    }
}

TEST(PayloadEncode, PayloadLengthNear4GiBDoesNotWrapAround) {
    const doip_alive_check_response_s alive{{0x02, 0xFD, DOIP_PT_ALIVE_CHECK_RESPONSE, 0xFFFFFFFCu}, 0};
    uint8_t out[16];
    EXPECT_EQ(doip_alive_check_response_serilize(&alive, out, sizeof out), DOIP_ERR_BUFFER_TOO_SMALL);
}

// The payload length says 32, but a 41st byte is read all the same.
TEST(PayloadDecode, VehicleIdSyncStatusFollowsTheByteCount) {
    HeapBytes wire(hex("02 FD 00 04 00 00 00 20 " + kVinHex + kVidIdsHex + "00 10"));
    Block record(0xA5);
    auto* decoded = record.as<vehicle_id_response_s>();
    ASSERT_EQ(doip_vehicle_id_response_deserilize(wire.data(), 41, decoded), DOIP_OK);
    EXPECT_EQ(decoded->has_sync_status, 1);
    EXPECT_EQ(decoded->sync_status, 0x10);
    ASSERT_EQ(doip_vehicle_id_response_deserilize(wire.data(), 40, decoded), DOIP_OK);
    EXPECT_EQ(decoded->has_sync_status, 0);
}

// 15 bytes, but a payload length of 3: the max data size is not read.
TEST(PayloadDecode, EntityStatusMaxDataSizeFollowsThePayloadLength) {
    HeapBytes wire(hex("02 FD 40 02 00 00 00 03 01 04 02 00 00 10 00"));
    Block record(0xA5);
    auto* decoded = record.as<doip_entity_status_response_s>();
    ASSERT_EQ(doip_entity_status_response_deserilize(wire.data(), wire.size(), decoded), DOIP_OK);
    EXPECT_EQ(decoded->has_max_data_size, 0);
    EXPECT_EQ(decoded->max_data_size, 0u);
}

TEST(PayloadDecode, RoutingRequestOemFieldFollowsThePayloadLength) {
    HeapBytes wire(hex("02 FD 00 05 00 00 00 07 0E F5 00 00 00 00 00 11 22 33 44"));
    Block record(0xA5);
    auto* decoded = record.as<doip_routing_activation_request_s>();
    ASSERT_EQ(doip_routing_activation_request_deserilize(wire.data(), wire.size(), decoded), DOIP_OK);
    EXPECT_EQ(decoded->has_oem_specific, 0);
    EXPECT_EQ(decoded->oem_specific, 0u);
}

TEST(PayloadDecode, RoutingResponseReservedIsReadButNeverSent) {
    HeapBytes wire(hex("02 FD 00 06 00 00 00 09 0E F5 10 01 10 DE AD BE EF"));
    doip_routing_activation_response_s decoded;
    ASSERT_EQ(doip_routing_activation_response_deserilize(wire.data(), 17, &decoded), DOIP_OK);
    EXPECT_EQ(decoded.reserved, 0xDEADBEEFu);
    EXPECT_EQ(decoded.has_oem_specific, 0);
    uint8_t out[17];
    ASSERT_EQ(doip_routing_activation_response_serilize(&decoded, out, 17), DOIP_OK);
    EXPECT_EQ(Bytes(out, out + 17), hex("02 FD 00 06 00 00 00 09 0E F5 10 01 10 00 00 00 00"));
}

TEST(PayloadDecode, HeaderOnlyDecoderTakesAnyValidType) {
    const Bytes vid_response = hex("02 FD 00 04 00 00 00 00");
    doip_package_s header{};
    ASSERT_EQ(doip_entity_status_request_deserilize(vid_response.data(), 8, &header), DOIP_OK);
    EXPECT_EQ(header.payload_type, DOIP_PT_VEHICLE_ID_RESPONSE);
}

TEST(PayloadDecode, PlainVehicleIdRequestLeavesTheIdentifierAlone) {
    const Bytes vid_request = hex("02 FD 00 01 00 00 00 00");
    Block record(0xA5);
    auto* decoded = record.as<doip_vehicle_id_request_s>();
    ASSERT_EQ(doip_vehicle_id_request_deserilize(vid_request.data(), 8, decoded), DOIP_OK);
    EXPECT_EQ(decoded->header.payload_type, DOIP_PT_VEHICLE_ID_REQUEST);
    EXPECT_EQ(Bytes(decoded->vin, decoded->vin + 17), Bytes(17, 0xA5));
}

using Decode = std::function<int(const uint8_t*, uint32_t, void*)>;

template <typename Record>
Decode decoder(int (*decode)(const uint8_t*, uint32_t, Record*)) {
    return [decode](const uint8_t* b, uint32_t n, void* r) { return decode(b, n, static_cast<Record*>(r)); };
}

// For each decoder a count that its first check refuses, and one that passes it.
TEST(DecoderChecks, CountThenBytesThenRecord) {
    const std::tuple<Decode, uint32_t, uint32_t> cases[] = {
        {decoder(doip_alive_check_request_deserilize), 0, 8},
        {decoder(doip_entity_status_request_deserilize), 0, 8},
        {decoder(doip_power_mode_request_deserilize), 0, 8},
        {decoder(doip_vehicle_id_request_deserilize), 0, 14},
        {decoder(doip_alive_check_response_deserilize), 9, 10},
        {decoder(doip_routing_activation_request_deserilize), 0, 15},
        {decoder(doip_diag_msg_request_deserilize), 0, 15},
        {decoder(doip_diag_msg_response_deserilize), 0, 13},
        // Only a count of exactly 40 or 41 passes.
        {decoder(doip_vehicle_id_response_deserilize), 42, 40},
        {decoder(doip_vehicle_id_response_deserilize), 39, 41},
        {decoder(doip_vid_response), 39, 40},
        {decoder(doip_vid_response), 42, 41}};
    const Bytes zeros(64);
    for (const auto& [decode, refused, passing] : cases) {
        SCOPED_TRACE(std::to_string(refused) + " and " + std::to_string(passing) + " bytes");
        EXPECT_EQ(decode(nullptr, refused, nullptr), DOIP_ERR_INPUT_TOO_SHORT);
        EXPECT_EQ(decode(nullptr, passing, nullptr), DOIP_ERR_NULL_INPUT);
        EXPECT_EQ(decode(zeros.data(), passing, nullptr), DOIP_ERR_NULL_RECORD);
    }
}

// For each decoder the smallest count that passes.
TEST(DecoderChecks, BytesThenCountThenRecord) {
    const std::pair<Decode, uint32_t> cases[] = {{decoder(doip_entity_status_response_deserilize), 11},
                                                 {decoder(doip_power_mode_response_deserilize), 9},
                                                 {decoder(doip_routing_activation_response_deserilize), 17}};
    const Bytes zeros(64);
    for (const auto& [decode, minimum] : cases) {
        EXPECT_EQ(decode(nullptr, 0, nullptr), DOIP_ERR_NULL_INPUT);
        EXPECT_EQ(decode(zeros.data(), minimum - 1, nullptr), DOIP_ERR_INPUT_TOO_SHORT);
        EXPECT_EQ(decode(zeros.data(), minimum, nullptr), DOIP_ERR_NULL_RECORD);
    }
}

// Messages whose header is valid (payload length 0) but that end before the fields their decoder reads.
TEST(DecoderChecks, ShortInputGivesMinus9AndLeavesTheRecordUntouched) {
    const std::pair<Decode, std::string> cases[] = {
        {decoder(doip_vehicle_id_request_deserilize), "02 FD 00 02 00 00 00 00 00 1A 2B 3C 4D"},
        {decoder(doip_vehicle_id_request_deserilize), "02 FD 00 03 00 00 00 00 " + kVinHex.substr(0, 16 * 3)},
        {decoder(doip_routing_activation_request_deserilize), "02 FD 00 05 00 00 00 00 0E F5 00 00 00 00"},
        {decoder(doip_diag_msg_request_deserilize), "02 FD 80 01 00 00 00 00 0E F5 0C"},
        {decoder(doip_diag_msg_response_deserilize), "02 FD 80 02 00 00 00 00 0E F5 0C E1"}};
    for (const auto& [decode, input] : cases) {
        SCOPED_TRACE(input);
        HeapBytes message(hex(input));
        Block record(0xA5);
        EXPECT_EQ(decode(message.data(), message.size(), record.words), DOIP_ERR_INPUT_TOO_SHORT);
        EXPECT_TRUE(record == Block(0xA5));
    }
}

}  // namespace
