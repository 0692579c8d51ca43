// Fixed-size payload records: round trips with and without every optional field, and what each _init and
// decoder stores for the optional parts.
#include "doip.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "codec/codec_test_support.h"

namespace {

using codec_test::addressing;
using codec_test::Bytes;
using codec_test::hex;

const uint8_t kVin[17] = {'W', 'V', 'W', 'Z', 'Z', 'Z', '1', 'J', 'Z',
                          'X', 'W', '0', '0', '0', '0', '0', '1'};
const uint8_t kEid[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const uint8_t kGid[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};

// Encodes `built` (into a buffer of `capacity` bytes, by default the wire size), decodes its first
// `wire_size` bytes into a zeroed record and expects every byte of the decoded record to equal the built one.
template <typename Record>
void expect_round_trip(const Record& built, int (*encode)(const Record*, uint8_t*, uint32_t),
                       int (*decode)(const uint8_t*, uint32_t, Record*), uint32_t wire_size,
                       uint32_t capacity = 0) {
    std::vector<uint8_t> wire(capacity != 0 ? capacity : wire_size);
    ASSERT_EQ(encode(&built, wire.data(), static_cast<uint32_t>(wire.size())), DOIP_OK);
    Record decoded;
    std::memset(&decoded, 0, sizeof decoded);
    ASSERT_EQ(decode(wire.data(), wire_size, &decoded), DOIP_OK);
    EXPECT_EQ(std::memcmp(&built, &decoded, sizeof built), 0);
}

template <typename Record>
Record zeroed() {
    Record r;
    std::memset(&r, 0, sizeof r);
    return r;
}

const doip_addressing_s kAddressing = addressing();

TEST(PayloadRoundTrip, HeaderOnlyRequests) {
    for (auto init :
         {doip_alive_check_request_init, doip_entity_status_request_init, doip_power_mode_request_init}) {
        auto r = zeroed<doip_package_s>();
        ASSERT_EQ(init(&kAddressing, &r), DOIP_OK);
        expect_round_trip(r, doip_alive_check_request_serilize, doip_power_mode_request_deserilize, 8);
    }
}

TEST(PayloadRoundTrip, VehicleIdRequestsInTheirThreeForms) {
    auto plain = zeroed<doip_vehicle_id_request_s>();
    ASSERT_EQ(doip_vehicle_id_request_init(&kAddressing, &plain), DOIP_OK);
    expect_round_trip(plain, doip_vehicle_id_request_serilize, doip_vehicle_id_request_deserilize, 8);
    auto eid = zeroed<doip_vehicle_id_request_s>();
    ASSERT_EQ(doip_vehicle_id_eid_request_init(&kAddressing, &eid, kEid), DOIP_OK);
    expect_round_trip(eid, doip_vehicle_id_request_serilize, doip_vehicle_id_request_deserilize, 14);
    auto vin = zeroed<doip_vehicle_id_request_s>();
    ASSERT_EQ(doip_vehicle_id_vin_request_init(&kAddressing, &vin, kVin), DOIP_OK);
    expect_round_trip(vin, doip_vehicle_id_request_serilize, doip_vehicle_id_request_deserilize, 25);
}

TEST(PayloadRoundTrip, VehicleIdResponseWithAndWithoutSyncStatus) {
    for (uint8_t has_sync : {0, 1}) {
        auto r = zeroed<vehicle_id_response_s>();
        ASSERT_EQ(
            doip_vehicle_id_response_init(&kAddressing, &r, kVin, 0x1001, kEid, kGid, 0x10, has_sync, 0x10),
            DOIP_OK);
        expect_round_trip(r, doip_vehicle_id_response_serilize, doip_vid_response, 40u + has_sync, 41);
    }
}

TEST(PayloadRoundTrip, AliveCheckAndPowerModeResponses) {
    auto alive = zeroed<doip_alive_check_response_s>();
    ASSERT_EQ(doip_alive_check_response_init(&kAddressing, &alive, 0xBEEF), DOIP_OK);
    expect_round_trip(alive, doip_alive_check_response_serilize, doip_alive_check_response_deserilize, 10);
    auto power = zeroed<doip_power_mode_response_s>();
    ASSERT_EQ(doip_power_mode_response_init(&kAddressing, &power, 0x02), DOIP_OK);
    expect_round_trip(power, doip_power_mode_response_serilize, doip_power_mode_response_deserilize, 9);
}

TEST(PayloadRoundTrip, EntityStatusResponseWithAndWithoutMaxDataSize) {
    for (uint8_t has_max : {0, 1}) {
        auto r = zeroed<doip_entity_status_response_s>();
        ASSERT_EQ(doip_entity_status_response_init(&kAddressing, &r, 0x01, 16, 3, has_max, 0x00A0B0C0),
                  DOIP_OK);
        expect_round_trip(r, doip_entity_status_response_serilize, doip_entity_status_response_deserilize,
                          has_max ? 15 : 11);
    }
}

TEST(PayloadRoundTrip, RoutingActivationWithAndWithoutOem) {
    for (uint8_t has_oem : {0, 1}) {
        const uint32_t oem = has_oem ? 0xCAFEF00D : 0;
        auto request = zeroed<doip_routing_activation_request_s>();
        ASSERT_EQ(doip_routing_activation_request_init(&kAddressing, &request, 0x0E80, 0x01, has_oem, oem),
                  DOIP_OK);
        expect_round_trip(request, doip_routing_activation_request_serilize,
                          doip_routing_activation_request_deserilize, has_oem ? 19 : 15);
        auto response = zeroed<doip_routing_activation_response_s>();
        ASSERT_EQ(doip_routing_activation_response_init(&kAddressing, &response, 0x0E80, 0x1001, 0x10,
                                                        has_oem, oem),
                  DOIP_OK);
        expect_round_trip(response, doip_routing_activation_response_serilize,
                          doip_routing_activation_response_deserilize, has_oem ? 21 : 17);
    }
}

TEST(PayloadInit, AddressingIsTestedBeforeTheRecordInEveryInit) {
    const std::vector<int (*)(const doip_addressing_s*)> inits = {
        [](auto* a) { return doip_alive_check_request_init(a, nullptr); },
        [](auto* a) { return doip_entity_status_request_init(a, nullptr); },
        [](auto* a) { return doip_power_mode_request_init(a, nullptr); },
        [](auto* a) { return doip_vehicle_id_request_init(a, nullptr); },
        [](auto* a) { return doip_vehicle_id_eid_request_init(a, nullptr, nullptr); },
        [](auto* a) { return doip_vehicle_id_vin_request_init(a, nullptr, nullptr); },
        [](auto* a) {
            return doip_vehicle_id_response_init(a, nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0);
        },
        [](auto* a) { return doip_alive_check_response_init(a, nullptr, 0); },
        [](auto* a) { return doip_entity_status_response_init(a, nullptr, 0, 0, 0, 0, 0); },
        [](auto* a) { return doip_power_mode_response_init(a, nullptr, 0); },
        [](auto* a) { return doip_routing_activation_request_init(a, nullptr, 0, 0, 0, 0); },
        [](auto* a) { return doip_routing_activation_response_init(a, nullptr, 0, 0, 0, 0, 0); },
        [](auto* a) { return doip_diag_msg_request_init(a, nullptr, nullptr, 1); },
        [](auto* a) { return doip_diag_msg_ack_response_init(a, nullptr, 0, nullptr, 1); },
        [](auto* a) { return doip_diag_msg_nack_response_init(a, nullptr, 0, nullptr, 1); },
    };
    for (size_t i = 0; i < inits.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(inits[i](nullptr), DOIP_ERR_NULL_ADDRESSING);
        EXPECT_EQ(inits[i](&kAddressing), DOIP_ERR_NULL_RECORD);
    }
}

TEST(PayloadInit, NullIdentifiersGiveMinus29AndLeaveTheRecordUntouched) {
    auto request = codec_test::filled<doip_vehicle_id_request_s>();
    EXPECT_EQ(doip_vehicle_id_eid_request_init(&kAddressing, &request, nullptr), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_vehicle_id_vin_request_init(&kAddressing, &request, nullptr), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(codec_test::all_bytes_are(request));
    auto response = codec_test::filled<vehicle_id_response_s>();
    EXPECT_EQ(doip_vehicle_id_response_init(&kAddressing, &response, nullptr, 1, kEid, kGid, 0, 0, 0),
              DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_vehicle_id_response_init(&kAddressing, &response, kVin, 1, nullptr, kGid, 0, 0, 0),
              DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_vehicle_id_response_init(&kAddressing, &response, kVin, 1, kEid, nullptr, 0, 0, 0),
              DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(codec_test::all_bytes_are(response));
}

TEST(PayloadInit, VehicleIdRequestInitWritesOnlyHeaderAndIdentifier) {
    auto r = codec_test::filled<doip_vehicle_id_request_s>();
    ASSERT_EQ(doip_vehicle_id_eid_request_init(&kAddressing, &r, kEid), DOIP_OK);
    EXPECT_EQ(Bytes(r.vin, r.vin + 6), Bytes(kEid, kEid + 6));
    EXPECT_EQ(Bytes(r.vin + 6, r.vin + 17), Bytes(11, 0xA5));
    ASSERT_EQ(doip_vehicle_id_request_init(&kAddressing, &r), DOIP_OK);
    EXPECT_EQ(r.header.payload_type, DOIP_PT_VEHICLE_ID_REQUEST);
    EXPECT_EQ(r.header.payload_length, 0u);
    EXPECT_EQ(Bytes(r.vin, r.vin + 6), Bytes(kEid, kEid + 6));
}

TEST(PayloadInit, OptionalValuesAreStoredOnlyWhereTheirFlagSaysSo) {
    doip_entity_status_response_s status;
    ASSERT_EQ(doip_entity_status_response_init(&kAddressing, &status, 1, 2, 3, 0, 4096), DOIP_OK);
    EXPECT_EQ(status.max_data_size, 0u);
    EXPECT_EQ(status.header.payload_length, 3u);
    doip_routing_activation_response_s response;
    ASSERT_EQ(doip_routing_activation_response_init(&kAddressing, &response, 1, 2, 3, 0, 0x11223344),
              DOIP_OK);
    EXPECT_EQ(response.oem_specific, 0u);
    vehicle_id_response_s vid;
    ASSERT_EQ(doip_vehicle_id_response_init(&kAddressing, &vid, kVin, 1, kEid, kGid, 0, 7, 0x10), DOIP_OK);
    EXPECT_EQ(vid.has_sync_status, 1);
    EXPECT_EQ(vid.header.payload_length, 33u);
    // The routing activation request keeps the OEM value and the flag as given.
    doip_routing_activation_request_s request;
    ASSERT_EQ(doip_routing_activation_request_init(&kAddressing, &request, 1, 2, 0, 0x11223344), DOIP_OK);
    EXPECT_EQ(request.oem_specific, 0x11223344u);
    EXPECT_EQ(request.header.payload_length, 7u);
    ASSERT_EQ(doip_routing_activation_request_init(&kAddressing, &request, 1, 2, 5, 0), DOIP_OK);
    EXPECT_EQ(request.has_oem_specific, 5);
    EXPECT_EQ(request.header.payload_length, 11u);
}

TEST(PayloadDecode, VehicleIdSyncStatusFollowsTheByteCount) {
    Bytes wire(41);
    auto built = zeroed<vehicle_id_response_s>();
    ASSERT_EQ(doip_vehicle_id_response_init(&kAddressing, &built, kVin, 1, kEid, kGid, 0, 0, 0), DOIP_OK);
    ASSERT_EQ(doip_vehicle_id_response_serilize(&built, wire.data(), 41), DOIP_OK);
    wire[40] = 0x10;  // payload length still 32: the 41st byte is read all the same
    vehicle_id_response_s decoded = codec_test::filled<vehicle_id_response_s>();
    ASSERT_EQ(doip_vehicle_id_response_deserilize(wire.data(), 41, &decoded), DOIP_OK);
    EXPECT_EQ(decoded.has_sync_status, 1);
    EXPECT_EQ(decoded.sync_status, 0x10);
    ASSERT_EQ(doip_vehicle_id_response_deserilize(wire.data(), 40, &decoded), DOIP_OK);
    EXPECT_EQ(decoded.has_sync_status, 0);
}

TEST(PayloadDecode, EntityStatusMaxDataSizeFollowsThePayloadLength) {
    // 15 bytes on the wire, but a payload length of 3: the max data size is not read.
    const Bytes wire = hex("02 FD 40 02 00 00 00 03 01 04 02 00 00 10 00");
    auto decoded = codec_test::filled<doip_entity_status_response_s>();
    ASSERT_EQ(doip_entity_status_response_deserilize(wire.data(), 15, &decoded), DOIP_OK);
    EXPECT_EQ(decoded.has_max_data_size, 0);
    EXPECT_EQ(decoded.max_data_size, 0u);
}

TEST(PayloadDecode, RoutingResponseReservedIsReadButNeverSent) {
    const Bytes wire = hex("02 FD 00 06 00 00 00 09 0E F5 10 01 10 DE AD BE EF");
    doip_routing_activation_response_s decoded;
    ASSERT_EQ(doip_routing_activation_response_deserilize(wire.data(), 17, &decoded), DOIP_OK);
    EXPECT_EQ(decoded.reserved, 0xDEADBEEFu);
    EXPECT_EQ(decoded.has_oem_specific, 0);
    uint8_t out[17];
    ASSERT_EQ(doip_routing_activation_response_serilize(&decoded, out, 17), DOIP_OK);
    EXPECT_EQ(Bytes(out, out + 17), hex("02 FD 00 06 00 00 00 09 0E F5 10 01 10 00 00 00 00"));
}

TEST(PayloadDecode, HeaderOnlyDecoderAcceptsAnyValidType) {
    const Bytes vid_header = hex("02 FD 00 04 00 00 00 00");
    doip_package_s record{};
    ASSERT_EQ(doip_entity_status_request_deserilize(vid_header.data(), 8, &record), DOIP_OK);
    EXPECT_EQ(record.payload_type, DOIP_PT_VEHICLE_ID_RESPONSE);
}

TEST(PayloadDecode, PlainVehicleIdRequestLeavesTheIdentifierAlone) {
    const Bytes wire = hex("02 FD 00 01 00 00 00 00");
    auto decoded = codec_test::filled<doip_vehicle_id_request_s>();
    ASSERT_EQ(doip_vehicle_id_request_deserilize(wire.data(), 8, &decoded), DOIP_OK);
    EXPECT_EQ(decoded.header.payload_type, DOIP_PT_VEHICLE_ID_REQUEST);
    EXPECT_EQ(Bytes(decoded.vin, decoded.vin + 17), Bytes(17, 0xA5));
}

}  // namespace
