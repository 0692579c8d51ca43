// One vector per message form the library builds, from its _init function with the arguments given here:
// the message bytes, the smallest capacity the encoder accepts, the record's functions, and the fields
// Wireshark's DoIP dissector must read in the message.
#ifndef DOIP_TESTS_CODEC_MESSAGE_VECTORS_H
#define DOIP_TESTS_CODEC_MESSAGE_VECTORS_H

#include "doip.h"

#include <gtest/gtest.h>

#include <type_traits>

#include "codec/codec_test_support.h"

namespace codec_test {

inline constexpr uint8_t kUds[3] = {0x22, 0xF1, 0x90};

struct Vector {
    std::string name;
    std::string message;
    uint32_t capacity;      // the smallest capacity the encoder accepts
    uint32_t shortest;      // the fewest bytes its decoder takes (with a matching payload length)
    int refused;            // a count its decoder refuses before it tests the bytes; -1: it tests them first
    std::string dissected;  // "field=value ..." that Wireshark's DoIP dissector reads after the header
    // A zeroed record filled by the _init function with `addressing` and the vector's arguments.
    std::function<Block(const doip_addressing_s& addressing)> build;
    // The _init function into a null record, with the vector's arguments but every pointer among them null.
    std::function<int(const doip_addressing_s* addressing)> init_into_null;
    std::function<int(Block* record, uint8_t* out, uint32_t capacity)> encode;  // null block: null record
    // Decodes through a heap record of exactly the size the input asks for (AddressSanitizer sees any write
    // past it), copied from and back to `record`; a null block: into a null record.
    std::function<int(const uint8_t* bytes, uint32_t count, Block* record)> decode;
};

template <typename Record>
inline size_t exact_size(uint32_t count) {
    if constexpr (std::is_same_v<Record, doip_diagnostic_request_s>) {
        return sizeof(Record) + (count > 12 ? count - 12 : 0);
    } else if constexpr (std::is_same_v<Record, doip_diagnostic_response_s>) {
        return sizeof(Record) + (count > 13 ? count - 13 : 0);
    }
    return sizeof(Record);
}

// `value`, or null when it is a pointer.
template <typename T>
T null_if_pointer(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return nullptr;
    }
    return value;
}

template <typename Record, typename... Params, typename... Args>
Vector vec(std::string name, std::string message, uint32_t capacity, uint32_t shortest, int refused,
           std::string dissected, int (*init)(const doip_addressing_s*, Record*, Params...),
           int (*encode)(const Record*, uint8_t*, uint32_t), int (*decode)(const uint8_t*, uint32_t, Record*),
           Args... args) {
    return {name,
            message,
            capacity,
            shortest,
            refused,
            dissected,
            [=](const doip_addressing_s& addressing) {
                Block block;
                EXPECT_EQ(init(&addressing, block.as<Record>(), args...), DOIP_OK);
                return block;
            },
            [=](const doip_addressing_s* addressing) {
                return init(addressing, nullptr, null_if_pointer(args)...);
            },
            [=](Block* block, uint8_t* out, uint32_t n) {
                return encode(block == nullptr ? nullptr : block->as<Record>(), out, n);
            },
            [=](const uint8_t* bytes, uint32_t count, Block* block) {
                if (block == nullptr) {
                    return decode(bytes, count, nullptr);
                }
                const size_t size = exact_size<Record>(count);
                std::unique_ptr<uint8_t[]> record(new uint8_t[size]);
                std::memcpy(record.get(), block->words, size);
                const int rc = decode(bytes, count, reinterpret_cast<Record*>(record.get()));
                std::memcpy(block->words, record.get(), size);
                return rc;
            }};
}

// Every vector, built on first use.
inline const std::vector<Vector>& vectors() {
    const std::string vid = kVinHex + kVidIdsHex;
    const std::string vid_fields =
        std::string("doip.vin=") + kVin +
        " doip.logical_address=0x1001 doip.eid=001a2b3c4d5e doip.gid=0a0b0c0d0e0f ";
    const std::string addresses = "doip.source_address=0x0ef5 doip.target_address=0x0ce1 ";
    // The dissector shows the entity's address as the routing activation response's source address.
    const std::string routing =
        "doip.tester_logical_address=0x0ef5 doip.source_address=0x1001 doip.reserved_iso=0x00000000 ";
    static const std::vector<Vector> all = {
        vec("AliveCheckRequest", "02 FD 00 07 00 00 00 00", 8, 8, 0, "", doip_alive_check_request_init,
            doip_alive_check_request_serilize, doip_alive_check_request_deserilize),
        vec("EntityStatusRequest", "02 FD 40 01 00 00 00 00", 8, 8, 0, "", doip_entity_status_request_init,
            doip_entity_status_request_serilize, doip_entity_status_request_deserilize),
        vec("PowerModeRequest", "02 FD 40 03 00 00 00 00", 8, 8, 0, "", doip_power_mode_request_init,
            doip_power_mode_request_serilize, doip_power_mode_request_deserilize),
        vec("VehicleIdRequest", "02 FD 00 01 00 00 00 00", 8, 8, 0, "", doip_vehicle_id_request_init,
            doip_vehicle_id_request_serilize, doip_vehicle_id_request_deserilize),
        vec("VehicleIdEidRequest", "02 FD 00 02 00 00 00 06 00 1A 2B 3C 4D 5E", 14, 14, 0,
            "doip.eid=001a2b3c4d5e", doip_vehicle_id_eid_request_init, doip_vehicle_id_request_serilize,
            doip_vehicle_id_request_deserilize, kEid),
        vec("VehicleIdVinRequest", "02 FD 00 03 00 00 00 11 " + kVinHex, 25, 25, 0,
            std::string("doip.vin=") + kVin, doip_vehicle_id_vin_request_init,
            doip_vehicle_id_request_serilize, doip_vehicle_id_request_deserilize, kVinBytes),
        // Any non-zero flag means that the sync status is present.
        vec("VehicleIdResponseWithSyncStatus", "02 FD 00 04 00 00 00 21 " + vid + "00 10", 41, 40, 39,
            vid_fields + "doip.futher_action=0x00 doip.sync_status=0x10", doip_vehicle_id_response_init,
            doip_vehicle_id_response_serilize, doip_vehicle_id_response_deserilize, kVinBytes, 0x1001, kEid,
            kGid, 0x00, 7, 0x10),
        // Without the sync status the message is 40 bytes, yet the encoder asks for 41.
        vec("VehicleIdResponseWithoutSyncStatus", "02 FD 00 04 00 00 00 20 " + vid + "10", 41, 40, 39,
            vid_fields + "doip.futher_action=0x10", doip_vehicle_id_response_init,
            doip_vehicle_id_response_serilize, doip_vid_response, kVinBytes, 0x1001, kEid, kGid, 0x10, 0,
            0x10),
        vec("AliveCheckResponse", "02 FD 00 08 00 00 00 02 0E F5", 10, 10, 9, "doip.source_address=0x0ef5",
            doip_alive_check_response_init, doip_alive_check_response_serilize,
            doip_alive_check_response_deserilize, 0x0EF5),
        vec("EntityStatusResponseWithMaxDataSize", "02 FD 40 02 00 00 00 07 01 04 02 00 00 10 00", 15, 11, -1,
            "doip.node_type=0x01 doip.max_sockets=4 doip.sockets=2 doip.max_data_size=4096",
            doip_entity_status_response_init, doip_entity_status_response_serilize,
            doip_entity_status_response_deserilize, 0x01, 4, 2, 1, 4096),
        // A max data size given without the flag is not stored.
        vec("EntityStatusResponseWithoutMaxDataSize", "02 FD 40 02 00 00 00 03 01 04 02", 11, 11, -1,
            "doip.node_type=0x01 doip.max_sockets=4 doip.sockets=2", doip_entity_status_response_init,
            doip_entity_status_response_serilize, doip_entity_status_response_deserilize, 0x01, 4, 2, 0,
            4096),
        vec("PowerModeResponse", "02 FD 40 04 00 00 00 01 01", 9, 9, -1, "doip.power_mode=0x01",
            doip_power_mode_response_init, doip_power_mode_response_serilize,
            doip_power_mode_response_deserilize, 0x01),
        vec("RoutingActivationRequestWithOem", "02 FD 00 05 00 00 00 0B 0E F5 00 00 00 00 00 12 34 56 78", 19,
            15, 0,
            "doip.source_address=0x0ef5 doip.activation_type=0x00 doip.reserved_iso=0x00000000 "
            "doip.reserved_oem=0x12345678",
            doip_routing_activation_request_init, doip_routing_activation_request_serilize,
            doip_routing_activation_request_deserilize, 0x0EF5, 0x00, 1, 0x12345678),
        vec("RoutingActivationRequestWithoutOem", "02 FD 00 05 00 00 00 07 0E F5 E0 00 00 00 00", 15, 15, 0,
            "doip.source_address=0x0ef5 doip.activation_type=0xe0 doip.reserved_iso=0x00000000",
            doip_routing_activation_request_init, doip_routing_activation_request_serilize,
            doip_routing_activation_request_deserilize, 0x0EF5, 0xE0, 0, 0),
        vec("RoutingActivationResponseWithOem",
            "02 FD 00 06 00 00 00 0D 0E F5 10 01 10 00 00 00 00 AB CD EF 01", 21, 17, -1,
            routing + "doip.response_code=0x10 doip.reserved_oem=0xabcdef01",
            doip_routing_activation_response_init, doip_routing_activation_response_serilize,
            doip_routing_activation_response_deserilize, 0x0EF5, 0x1001, 0x10, 1, 0xABCDEF01),
        // An OEM value given without the flag is not stored.
        vec("RoutingActivationResponseWithoutOem", "02 FD 00 06 00 00 00 09 0E F5 10 01 06 00 00 00 00", 17,
            17, -1, routing + "doip.response_code=0x06", doip_routing_activation_response_init,
            doip_routing_activation_response_serilize, doip_routing_activation_response_deserilize, 0x0EF5,
            0x1001, 0x06, 0, 0xABCDEF01),
        vec("DiagnosticMessage", "02 FD 80 01 00 00 00 07 0E F5 0C E1 22 F1 90", 15, 12, 0,
            addresses + "data.data=22f190", doip_diag_msg_request_init, doip_diag_msg_request_serilize,
            doip_diag_msg_request_deserilize, kUds, 3u),
        vec("DiagnosticMessageWithoutUserData", "02 FD 80 01 00 00 00 04 0E F5 0C E1", 12, 12, 0, addresses,
            doip_diag_msg_request_init, doip_diag_msg_request_serilize, doip_diag_msg_request_deserilize,
            nullptr, 0u),
        vec("DiagnosticPositiveAckWithEcho", "02 FD 80 02 00 00 00 08 0E F5 0C E1 00 22 F1 90", 16, 13, 0,
            addresses + "doip.diag_ack_code=0x00 doip.previous=22f190", doip_diag_msg_ack_response_init,
            doip_diag_msg_response_serilize, doip_diag_msg_response_deserilize, 0x00, kUds, 3u),
        vec("DiagnosticNegativeAck", "02 FD 80 03 00 00 00 05 0E F5 0C E1 02", 13, 13, 0,
            addresses + "doip.diag_nack_code=0x02", doip_diag_msg_nack_response_init,
            doip_diag_msg_response_serilize, doip_diag_msg_response_deserilize, 0x02, nullptr, 0u),
    };
    return all;
}

}  // namespace codec_test

#endif
