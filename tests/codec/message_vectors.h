// Helpers for the codec tests (hex text, exact-size heap copies, owners of library records), and one vector
// per message form, built by its _init function with the arguments given here: its bytes, sizes, the
// record's functions, and the fields Wireshark's DoIP dissector must read in it.
#ifndef DOIP_TESTS_CODEC_MESSAGE_VECTORS_H
#define DOIP_TESTS_CODEC_MESSAGE_VECTORS_H

#include "doip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace codec_test {

using Bytes = std::vector<uint8_t>;

// "02 FD 80 01" -> {0x02, 0xFD, 0x80, 0x01}.
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    for (unsigned byte = 0; in >> std::hex >> byte;) {
        out.push_back(static_cast<uint8_t>(byte));
    }
    return out;
}

inline constexpr char kVin[] = "WVWZZZ1JZXW000001";
inline const uint8_t* const kVinBytes = reinterpret_cast<const uint8_t*>(kVin);
inline const std::string kVinHex = "57 56 57 5A 5A 5A 31 4A 5A 58 57 30 30 30 30 30 31";
inline constexpr uint8_t kEid[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
inline constexpr uint8_t kGid[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
// Logical address 0x1001, kEid and kGid as they follow the VIN in a vehicle identification response.
inline const std::string kVidIdsHex = " 10 01 00 1A 2B 3C 4D 5E 0A 0B 0C 0D 0E 0F ";
// The addressing block an application passes: tester 0x0EF5, ECU 0x0CE1, version 2.
inline constexpr doip_addressing_s kAddressing{0x0EF5, 0xE001, 0x0CE1, 2};

// A copy of `bytes` in a heap block of exactly their size: AddressSanitizer reports any read past the end.
struct HeapBytes {
    explicit HeapBytes(const Bytes& b) : count(uint32_t(b.size())), block(new uint8_t[b.size()]) {
        std::copy(b.begin(), b.end(), block.get());
    }
    uint8_t* data() { return block.get(); }
    uint32_t size() const { return count; }
    Bytes bytes() const { return Bytes(block.get(), block.get() + count); }
    uint32_t count;
    std::unique_ptr<uint8_t[]> block;
};

// Aligned room for any record with up to 64 bytes of user data or echoed bytes, all set to `fill` and
// compared byte for byte (a copy of a record itself need not keep its padding bytes).
struct Block {
    uint64_t words[16];
    explicit Block(uint8_t fill = 0) { std::memset(words, fill, sizeof words); }
    template <typename Record>
    Record* as() {
        return reinterpret_cast<Record*>(words);
    }
    bool operator==(const Block& other) const { return std::memcmp(words, other.words, sizeof words) == 0; }
};

struct Release {
    void operator()(doip_diagnostic_request_s* r) const { doip_diag_msg_request_free(r); }
    void operator()(doip_diagnostic_response_s* r) const { doip_diag_msg_response_free(r); }
};
using RequestPtr = std::unique_ptr<doip_diagnostic_request_s, Release>;
using ResponsePtr = std::unique_ptr<doip_diagnostic_response_s, Release>;

// A message record holding a malloc'ed copy of `bytes`, released at the end of the scope.
struct OwnedMessage : doip_message_s {
    explicit OwnedMessage(const Bytes& b, uint8_t channel = 0, uint32_t aux1 = 0, uint32_t aux2 = 0)
        : doip_message_s{channel, 0, aux1, aux2, nullptr} {
        doip_message_init(this, b.data(), static_cast<int>(b.size()));
    }
    OwnedMessage(const OwnedMessage&) = delete;
    ~OwnedMessage() { doip_message_destory(this); }
    Bytes bytes() const { return Bytes(data, data + length); }
};

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
    // GoogleTest would otherwise print the bytes of the object, padding included.
    friend void PrintTo(const Vector& v, std::ostream* os) { *os << v.name; }
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
