// The payload functions beyond what the message vectors show, the tools for received messages, and the
// discovery and diagnostic request builders, which write a message from a context.
#include "doip.h"

#include <gtest/gtest.h>
#include "codec/message_vectors.h"

namespace {
using namespace codec_test;

TEST(PayloadInit, NullIdentifiersOrDataGiveMinus29AndTouchNothing) {
    Block b(0xA5);
    const doip_addressing_s* a = &kAddressing;
    auto* id = b.as<doip_vehicle_id_request_s>();
    auto* vid = b.as<vehicle_id_response_s>();
    const uint8_t* v = kVinBytes;
    const int results[] = {
        doip_vehicle_id_eid_request_init(a, id, nullptr),
        doip_vehicle_id_vin_request_init(a, id, nullptr),
        doip_vehicle_id_response_init(a, vid, nullptr, 1, kEid, kGid, 0, 0, 0),
        doip_vehicle_id_response_init(a, vid, v, 1, nullptr, kGid, 0, 0, 0),
        doip_vehicle_id_response_init(a, vid, v, 1, kEid, nullptr, 0, 0, 0),
        doip_diag_msg_request_init(a, b.as<doip_diagnostic_request_s>(), nullptr, 3),
        doip_diag_msg_ack_response_init(a, b.as<doip_diagnostic_response_s>(), 0, nullptr, 3)};
    for (int rc : results) {
        EXPECT_EQ(rc, DOIP_ERR_INVALID_ARGUMENT);
    }
    EXPECT_TRUE(b == Block(0xA5));
}

// The routing request keeps the OEM value whatever the flag, and the flag as given.
TEST(PayloadInit, FieldsAreStoredAsGiven) {
    doip_routing_activation_request_s routing;
    ASSERT_EQ(doip_routing_activation_request_init(&kAddressing, &routing, 1, 2, 0, 0x11223344), DOIP_OK);
    EXPECT_EQ(std::tuple(routing.header.payload_length, routing.oem_specific), std::tuple(7u, 0x11223344u));
    ASSERT_EQ(doip_routing_activation_request_init(&kAddressing, &routing, 1, 2, 5, 0), DOIP_OK);
    EXPECT_EQ(std::tuple(routing.header.payload_length, routing.has_oem_specific),
              std::tuple(11u, uint8_t{5}));
}

// The inverse is not recomputed, any type is written, a length near 4 GiB does not wrap around; an
// acknowledgement is sized by its echoed bytes, whatever its header announces.
TEST(PayloadEncode, HeaderIsWrittenAsTheRecordHoldsIt) {
    const doip_package_s record{0x02, 0x00, 0x8001, 0x01020304};
    uint8_t out[16];
    for (auto encode : {doip_alive_check_request_serilize, doip_entity_status_request_serilize,
                        doip_power_mode_request_serilize}) {
        ASSERT_EQ(encode(&record, out, 8), DOIP_OK);
        EXPECT_EQ(Bytes(out, out + 8), hex("02 00 80 01 01 02 03 04"));
    }
    const doip_alive_check_response_s alive{{0x02, 0xFD, DOIP_PT_ALIVE_CHECK_RESPONSE, 0xFFFFFFFCu}, 0};
    EXPECT_EQ(doip_alive_check_response_serilize(&alive, out, sizeof out), DOIP_ERR_BUFFER_TOO_SMALL);
    ResponsePtr ack(doip_diag_msg_response_create(0));
    ASSERT_EQ(doip_diag_msg_ack_response_init(&kAddressing, ack.get(), 0x00, nullptr, 0), DOIP_OK);
    ack->header.payload_length = 100;
    EXPECT_EQ(doip_diag_msg_response_serilize(ack.get(), out, 13), DOIP_OK);
    ack->previous_message_length = 1;
    EXPECT_EQ(doip_diag_msg_response_serilize(ack.get(), out, 13), DOIP_ERR_BUFFER_TOO_SMALL);
}

// The sync status follows the byte count (41 bytes against a payload length of 32; 42 are too many), the
// max data size and the OEM fields the payload length; the reserved field is read but never sent.
TEST(PayloadDecode, OptionalPartsFollowTheByteCountOrThePayloadLength) {
    HeapBytes vid(hex("02 FD 00 04 00 00 00 20 " + kVinHex + kVidIdsHex + "00 10"));
    vehicle_id_response_s v;
    ASSERT_EQ(doip_vehicle_id_response_deserilize(vid.data(), 41, &v), DOIP_OK);
    EXPECT_EQ(std::tuple(v.has_sync_status, v.sync_status), std::tuple(1, 0x10));
    ASSERT_EQ(doip_vehicle_id_response_deserilize(vid.data(), 40, &v), DOIP_OK);
    EXPECT_EQ(v.has_sync_status, 0);
    EXPECT_EQ(doip_vehicle_id_response_deserilize(nullptr, 42, nullptr), DOIP_ERR_INPUT_TOO_SHORT);
    EXPECT_EQ(doip_vid_response(nullptr, 42, nullptr), DOIP_ERR_INPUT_TOO_SHORT);
    HeapBytes status(hex("02 FD 40 02 00 00 00 03 01 04 02 00 00 10 00"));
    Block s(0xA5);
    auto* es = s.as<doip_entity_status_response_s>();
    ASSERT_EQ(doip_entity_status_response_deserilize(status.data(), status.size(), es), DOIP_OK);
    EXPECT_EQ(std::tuple(es->has_max_data_size, es->max_data_size), std::tuple(0, 0u));
    HeapBytes request(hex("02 FD 00 05 00 00 00 07 0E F5 00 00 00 00 00 11 22 33 44"));
    Block r(0xA5);
    auto* rr = r.as<doip_routing_activation_request_s>();
    ASSERT_EQ(doip_routing_activation_request_deserilize(request.data(), request.size(), rr), DOIP_OK);
    EXPECT_EQ(std::tuple(rr->has_oem_specific, rr->oem_specific), std::tuple(0, 0u));
    HeapBytes response(hex("02 FD 00 06 00 00 00 09 0E F5 10 01 10 DE AD BE EF AB CD EF 01"));
    doip_routing_activation_response_s decoded;
    ASSERT_EQ(doip_routing_activation_response_deserilize(response.data(), response.size(), &decoded),
              DOIP_OK);
    EXPECT_EQ(std::tuple(decoded.reserved, decoded.has_oem_specific), std::tuple(0xDEADBEEFu, 0));
    uint8_t out[17];
    ASSERT_EQ(doip_routing_activation_response_serilize(&decoded, out, 17), DOIP_OK);
    EXPECT_EQ(Bytes(out, out + 17), hex("02 FD 00 06 00 00 00 09 0E F5 10 01 10 00 00 00 00"));
}

// The header-only and acknowledgement decoders take any valid type; the plain vehicle identification request
// leaves the identifier alone.
TEST(PayloadDecode, DecodersTakeAnyValidPayloadType) {
    doip_package_s header{};
    ASSERT_EQ(doip_entity_status_request_deserilize(hex("02 FD 00 04 00 00 00 00").data(), 8, &header),
              DOIP_OK);
    EXPECT_EQ(header.payload_type, DOIP_PT_VEHICLE_ID_RESPONSE);
    HeapBytes diag(hex("02 FD 80 01 00 00 00 07 0C E1 0E F5 21 31 32"));
    ResponsePtr ack(doip_diag_msg_response_create(2));
    ASSERT_EQ(doip_diag_msg_response_deserilize(diag.data(), diag.size(), ack.get()), DOIP_OK);
    EXPECT_EQ(std::tuple(ack->header.payload_type, ack->ack_code, ack->previous_message_length),
              std::tuple(DOIP_PT_DIAG_MSG, 0x21, 2u));
    EXPECT_EQ(Bytes(ack->previous_message, ack->previous_message + 2), hex("31 32"));
    Block record(0xA5);
    auto* plain = record.as<doip_vehicle_id_request_s>();
    ASSERT_EQ(doip_vehicle_id_request_deserilize(hex("02 FD 00 01 00 00 00 00").data(), 8, plain), DOIP_OK);
    EXPECT_EQ(Bytes(plain->vin, plain->vin + 17), Bytes(17, 0xA5));
}

// User data runs to the byte count, not the payload length; with none, the length stays as the caller set
// it, for _init too.
TEST(PayloadDecode, DiagnosticUserDataFollowsTheByteCount) {
    HeapBytes wire(hex("02 FD 80 01 00 00 00 04 0C E1 0E F5 01 02 03 04 05 06 07 08"));
    RequestPtr request(doip_diag_msg_request_create(8));
    ASSERT_EQ(doip_diag_msg_request_deserilize(wire.data(), wire.size(), request.get()), DOIP_OK);
    EXPECT_EQ(Bytes(request->user_data, request->user_data + request->user_data_length),
              hex("01 02 03 04 05 06 07 08"));
    HeapBytes ack(hex("02 FD 80 02 00 00 00 05 0C E1 0E F5 00"));
    ResponsePtr response(doip_diag_msg_response_create(0));
    request->user_data_length = response->previous_message_length = 77;
    ASSERT_EQ(doip_diag_msg_request_init(&kAddressing, request.get(), nullptr, 0), DOIP_OK);
    ASSERT_EQ(doip_diag_msg_nack_response_init(&kAddressing, response.get(), 0x03, nullptr, 0), DOIP_OK);
    ASSERT_EQ(doip_diag_msg_request_deserilize(wire.data(), 12, request.get()), DOIP_OK);
    ASSERT_EQ(doip_diag_msg_response_deserilize(ack.data(), ack.size(), response.get()), DOIP_OK);
    EXPECT_EQ(std::tuple(request->user_data_length, response->previous_message_length), std::tuple(77u, 77u));
}

// The parsers hand out a record before any check, and nothing for a null out pointer (AddressSanitizer's
// leak check sees each released); create gives zero-filled records of the size asked for.
TEST(DiagnosticParsers, HandOutARecordWhateverTheResult) {
    for (const auto& [null_bytes, input, expected] :
         {std::tuple(true, "", DOIP_ERR_INPUT_TOO_SHORT),
          std::tuple(true, "02 FD 80 02 00 00 00 05 0C E1 0E F5 00", DOIP_ERR_NULL_INPUT),
          std::tuple(false, "02 FC 80 02 00 00 00 05 0C E1 0E F5 00", DOIP_ERR_BAD_PROTOCOL_VERSION)}) {
        HeapBytes in(hex(input));
        doip_diagnostic_request_s* request = nullptr;
        doip_diagnostic_response_s* response = nullptr;
        EXPECT_EQ(doip_diag_request_parse(null_bytes ? nullptr : in.data(), in.size(), &request), expected);
        EXPECT_EQ(doip_diag_response(nullptr, null_bytes ? nullptr : in.data(), in.size(), &response),
                  expected);
        EXPECT_TRUE(request != nullptr && response != nullptr);
        doip_diag_msg_request_free(request);
        EXPECT_EQ(doip_free_diag_response(response), DOIP_OK);
    }
    const Bytes wire = hex("02 FD 80 01 00 00 00 04 0E F5 0C E1");
    EXPECT_EQ(doip_diag_request_parse(wire.data(), 12, nullptr), DOIP_ERR_NULL_RECORD);
    EXPECT_EQ(doip_diag_response(nullptr, wire.data(), 12, nullptr), DOIP_ERR_NULL_RECORD);
    doip_diag_msg_request_free(nullptr);
    EXPECT_EQ(doip_diag_msg_response_free(nullptr), DOIP_OK);
    EXPECT_EQ(doip_free_diag_response(nullptr), DOIP_OK);
    RequestPtr request(doip_diag_msg_request_create(5));
    ResponsePtr response(doip_diag_msg_response_create(4));
    ASSERT_TRUE(request && response);
    EXPECT_EQ(std::memcmp(request.get(), Block().words, sizeof(doip_diagnostic_request_s) + 5), 0);
    EXPECT_EQ(std::memcmp(response.get(), Block().words, sizeof(doip_diagnostic_response_s) + 4), 0);
}

// What doip_get_expalininfo reads of a message (its header and sender, or only the type of another type,
// or nothing), and what doip_remove_header leaves of it in the same buffer.
TEST(DiagnosticTools, ExplainAndStripWhatTheyCanRead) {
    const std::string routing = "02 FD 00 06 00 00 00 09 0E F5 10 01 10 00 00 00 00";
    const struct {
        std::string input;
        doip_package_s header;
        uint16_t sender;
        std::string remaining;
    } cases[] = {
        {"02 FD 80 01 00 00 00 07 0C E1 0E F5 62 F1 90", {2, 0xFD, DOIP_PT_DIAG_MSG, 7}, 0x0CE1, "62 F1 90"},
        {"02 FD 80 02 00 00 00 07 0C E1 0E F5 00 22 F1", {2, 0xFD, DOIP_PT_DIAG_MSG_ACK, 7}, 0x0CE1, "22 F1"},
        {"03 FC 80 03 00 00 00 06 1F FF 0E F5 02 22", {3, 0xFC, DOIP_PT_DIAG_MSG_NACK, 6}, 0x1FFF, "22"},
        // The sender of a routing activation response is the entity, at bytes 10 and 11.
        {routing, {2, 0xFD, DOIP_PT_ROUTING_ACTIVATION_RESPONSE, 9}, 0x1001, routing},
        {"02 FD 00 06 00 00 00 00 0E F5 10 01",
         {2, 0xFD, DOIP_PT_ROUTING_ACTIVATION_RESPONSE, 0},
         0x1001,
         "02 FD 00 06 00 00 00 00 0E F5 10 01"},
        {"02 FD 00 07 00 00 00 00", {0, 0, DOIP_PT_ALIVE_CHECK_REQUEST, 0}, 0, "02 FD 00 07 00 00 00 00"},
        {"02 FC 80 01 00 00 00 04 0C E1 0E F5", {}, 0, "02 FC 80 01 00 00 00 04 0C E1 0E F5"},
        // Too short for the sender address (and the acknowledgement code).
        {"02 FD 80 01 00 00 00 00 0C E1 0E", {}, 0, "02 FD 80 01 00 00 00 00 0C E1 0E"},
        {"02 FD 80 02 00 00 00 00 0C E1 0E F5", {}, 0, "02 FD 80 02 00 00 00 00 0C E1 0E F5"},
        {"02 FD 00 06 00 00 00 00 0E F5 10", {}, 0, "02 FD 00 06 00 00 00 00 0E F5 10"},
        {"", {}, 0, ""},
    };
    const auto fields = [](const explain_info_s& i) {
        return std::tuple(i.header.protocol_version, i.header.inverse_protocol_version, i.header.payload_type,
                          i.header.payload_length, i.sender_address);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        OwnedMessage m(hex(c.input));
        EXPECT_EQ(fields(doip_get_expalininfo(m.data, m.length)), fields({c.header, c.sender}));
        const uint8_t* buffer = m.data;
        EXPECT_EQ(doip_remove_header(&m), DOIP_OK);
        EXPECT_EQ(m.bytes(), hex(c.remaining));
        EXPECT_EQ(m.data, buffer);
    }
    EXPECT_EQ(fields(doip_get_expalininfo(nullptr, 15)), fields({{}, 0}));
    EXPECT_EQ(doip_remove_header(nullptr), DOIP_ERR_INVALID_ARGUMENT);
}

// Larger, exact and one byte short: the rest of the buffer, or all of it when too small, is zeroed. A null
// context gives -9, then a null buffer -11, a null identifier or UDS -29, writing nothing.
TEST(RequestBuilders, WriteTheMessageFromTheContextIntoAZeroedBuffer) {
    const unsigned char uds[2] = {0x10, 0x03};
    const std::pair<std::function<int(const doip_s*, unsigned char*, unsigned int)>, std::string> builders[] =
        {{doip_vid_request, "03 FC 00 01 00 00 00 00"},
         {[](auto c, auto o, auto n) { return doip_vid_eid_request(c, kEid, 6, o, n); },
          "03 FC 00 02 00 00 00 06 00 1A 2B 3C 4D 5E"},
         // The count is not used: all 17 VIN bytes are read whatever it says.
         {[](auto c, auto o, auto n) { return doip_vid_vin_request(c, kVin, 5, o, n); },
          "03 FC 00 03 00 00 00 11 " + kVinHex},
         {[&](auto c, auto o, auto n) { return doip_diag_request(c, uds, 2, o, n); },
          "03 FC 80 01 00 00 00 06 0E 80 1F FF 10 03"},
         {[](auto c, auto o, auto n) { return doip_diag_request(c, nullptr, 0, o, n); },
          "03 FC 80 01 00 00 00 04 0E 80 1F FF"}};
    doip_s ctx;
    doip_init(&ctx);
    ctx.protocol_version = 3;
    ctx.source_address = 0x0E80;
    ctx.target_address = 0x1FFF;
    for (const auto& [build, expected] : builders) {
        SCOPED_TRACE(expected);
        const Bytes message = hex(expected);
        for (size_t capacity : {message.size() + 8, message.size(), message.size() - 1}) {
            const bool fits = capacity >= message.size();
            Bytes written = fits ? message : Bytes();
            written.resize(capacity, 0);
            HeapBytes out(Bytes(capacity, 0xEE));
            EXPECT_EQ(build(&ctx, out.data(), out.size()), fits ? DOIP_OK : DOIP_ERR_BUFFER_TOO_SMALL);
            EXPECT_EQ(out.bytes(), written);
        }
        Bytes out(64, 0xEE);
        EXPECT_EQ(build(nullptr, nullptr, 0), DOIP_ERR_INPUT_TOO_SHORT);
        EXPECT_EQ(build(nullptr, out.data(), 64), DOIP_ERR_INPUT_TOO_SHORT);
        EXPECT_EQ(build(&ctx, nullptr, 64), DOIP_ERR_NULL_OUTPUT);
        EXPECT_EQ(out, Bytes(64, 0xEE));
    }
    Bytes out(32, 0xEE);
    EXPECT_EQ(doip_vid_eid_request(&ctx, nullptr, 6, out.data(), 32), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_vid_vin_request(&ctx, nullptr, 17, out.data(), 32), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_diag_request(&ctx, nullptr, 2, out.data(), 32), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(out, Bytes(32, 0xEE));
}
}  // namespace
