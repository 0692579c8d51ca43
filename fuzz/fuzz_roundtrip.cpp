// Decode, encode, decode: whatever a decoder accepts, its encoder writes into a buffer of exactly the size
// its comment asks for (one byte less gives DOIP_ERR_BUFFER_TOO_SMALL), and decoding that gives the same
// record. A diagnostic message or acknowledgement comes back byte for byte. The request builders' messages
// decode to what they were built from.
#include "fuzz_support.h"

#include <algorithm>

using namespace fuzz;

namespace {

// `need`: the capacity the encoder asks for; `count`: the bytes of the encoding to decode again (the whole
// buffer unless a decoder takes fewer). `adjust` makes the first record what the encoder can carry.
template <typename Record, typename Adjust>
void round_trip(int (*decode)(const uint8_t*, uint32_t, Record*),
                int (*encode)(const Record*, uint8_t*, uint32_t), const Heap& in, uint32_t need,
                uint32_t count, Adjust adjust) {
    // Compared byte for byte: both start all zero, padding included, and are never copied by assignment.
    Record first, second;
    std::memset(static_cast<void*>(&first), 0, sizeof first);
    std::memset(static_cast<void*>(&second), 0, sizeof second);
    if (decode(in.data(), in.count(), &first) != DOIP_OK) {
        return;
    }
    const Heap small(need - 1);
    FUZZ_CHECK(encode(&first, small.data(), small.count()) == DOIP_ERR_BUFFER_TOO_SMALL);
    const Heap out(std::max(need, count));
    FUZZ_CHECK(encode(&first, out.data(), out.count()) == DOIP_OK);
    const Heap encoded(out.data(), count);
    FUZZ_CHECK(decode(encoded.data(), encoded.count(), &second) == DOIP_OK);
    adjust(first, second);
    FUZZ_CHECK(std::memcmp(&first, &second, sizeof first) == 0);
}

constexpr auto nothing = [](auto&, const auto&) {};

// The same for a diagnostic message or acknowledgement, whose encoding must be the input itself.
template <typename Record>
void diag_round_trip(const Heap& in, Record* (*create)(uint32_t),
                     int (*decode)(const uint8_t*, uint32_t, Record*),
                     int (*encode)(const Record*, uint8_t*, uint32_t), uint32_t fixed) {
    const uint32_t room = in.count() > fixed ? in.count() - fixed : 0;
    Record* first = create(room);
    Record* second = create(room);
    FUZZ_CHECK(first != nullptr && second != nullptr);
    if (decode(in.data(), in.count(), first) == DOIP_OK) {
        const Heap small(in.size - 1);
        FUZZ_CHECK(encode(first, small.data(), small.count()) == DOIP_ERR_BUFFER_TOO_SMALL);
        const Heap out(in.size);
        FUZZ_CHECK(encode(first, out.data(), out.count()) == DOIP_OK);
        FUZZ_CHECK(std::memcmp(out.data(), in.data(), in.size) == 0);
        FUZZ_CHECK(decode(out.data(), out.count(), second) == DOIP_OK);
        FUZZ_CHECK(std::memcmp(first, second, sizeof(Record) + room) == 0);
    }
    std::free(first);
    std::free(second);
}

uint32_t at_least(const doip_package_s& h, uint32_t bytes) {
    return std::max<uint32_t>(8 + h.payload_length, bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Heap in(data, size);
    doip_package_s h{};
    if (header_model(in.data(), in.count(), &h) == DOIP_OK) {
        const uint16_t t = h.payload_type;
        const uint32_t id = t == DOIP_PT_VEHICLE_ID_EID_REQUEST   ? 6
                            : t == DOIP_PT_VEHICLE_ID_VIN_REQUEST ? 17
                                                                  : 0;
        round_trip(doip_alive_check_request_deserilize, doip_alive_check_request_serilize, in, 8,
                   at_least(h, 8), nothing);
        round_trip(doip_vehicle_id_request_deserilize, doip_vehicle_id_request_serilize, in,
                   at_least(h, 8 + id), at_least(h, 8 + id), nothing);
        round_trip(doip_alive_check_response_deserilize, doip_alive_check_response_serilize, in,
                   at_least(h, 10), at_least(h, 10), nothing);
        const uint32_t status = at_least(h, h.payload_length == 7 ? 15 : 11);
        round_trip(doip_entity_status_response_deserilize, doip_entity_status_response_serilize, in, status,
                   status, nothing);
        round_trip(doip_power_mode_response_deserilize, doip_power_mode_response_serilize, in, at_least(h, 9),
                   at_least(h, 9), nothing);
        round_trip(doip_vehicle_id_response_deserilize, doip_vehicle_id_response_serilize, in, 41, in.count(),
                   nothing);
        round_trip(doip_routing_activation_request_deserilize, doip_routing_activation_request_serilize, in,
                   h.payload_length == 11 ? 19 : 15, at_least(h, 15), nothing);
        // The reserved bytes are sent as zero.
        round_trip(doip_routing_activation_response_deserilize, doip_routing_activation_response_serilize, in,
                   at_least(h, h.payload_length == 13 ? 21 : 17),
                   at_least(h, h.payload_length == 13 ? 21 : 17),
                   [](doip_routing_activation_response_s& a, const doip_routing_activation_response_s& b) {
                       FUZZ_CHECK(b.reserved == 0);
                       a.reserved = 0;
                   });
        diag_round_trip(in, doip_diag_msg_request_create, doip_diag_msg_request_deserilize,
                        doip_diag_msg_request_serilize, 12);
        diag_round_trip(in, doip_diag_msg_response_create, doip_diag_msg_response_deserilize,
                        doip_diag_msg_response_serilize, 13);
    }

    // The request builders: the input is the UDS data, its first bytes the VIN, the EID and the version.
    doip_s ctx{};
    ctx.source_address = 0x0EF5;
    ctx.target_address = 0x0CE1;
    ctx.protocol_version = size != 0 ? data[0] : 2;
    const Heap message(12 + in.size);
    const Heap short_message(11 + in.size, 0xA5);
    FUZZ_CHECK(doip_diag_request(&ctx, in.data(), in.count(), short_message.data(), short_message.count()) ==
               DOIP_ERR_BUFFER_TOO_SMALL);
    FUZZ_CHECK(std::count(short_message.data(), short_message.data() + short_message.size, 0) ==
               static_cast<long>(short_message.size));
    FUZZ_CHECK(doip_diag_request(&ctx, in.data(), in.count(), message.data(), message.count()) == DOIP_OK);
    doip_diagnostic_request_s* parsed = nullptr;
    FUZZ_CHECK(doip_diag_request_parse(message.data(), message.count(), &parsed) == DOIP_OK);
    FUZZ_CHECK(parsed->header.protocol_version == ctx.protocol_version &&
               parsed->header.payload_type == 0x8001 && parsed->header.payload_length == 4 + in.count() &&
               parsed->source_address == ctx.source_address && parsed->target_address == ctx.target_address &&
               parsed->user_data_length == in.count() &&
               (size == 0 || std::memcmp(parsed->user_data, data, size) == 0));
    doip_diag_msg_request_free(parsed);
    if (size >= 17) {
        const Heap vin(25), eid(14);
        doip_vehicle_id_request_s r{};
        FUZZ_CHECK(doip_vid_vin_request(&ctx, reinterpret_cast<const char*>(in.data()), 17, vin.data(), 25) ==
                   DOIP_OK);
        FUZZ_CHECK(doip_vehicle_id_request_deserilize(vin.data(), 25, &r) == DOIP_OK);
        FUZZ_CHECK(r.header.payload_type == 0x0003 && std::memcmp(r.vin, data, 17) == 0);
        FUZZ_CHECK(doip_vid_eid_request(&ctx, in.data() + 11, 6, eid.data(), 14) == DOIP_OK);
        FUZZ_CHECK(doip_vehicle_id_request_deserilize(eid.data(), 14, &r) == DOIP_OK);
        FUZZ_CHECK(r.header.payload_type == 0x0002 && std::memcmp(r.eid, data + 11, 6) == 0);
    }
    return 0;
}
