// Every payload decoder and both allocating parsers on every input (they do not dispatch on the payload
// type, so each sees every kind of message). For each: the code is the one its comment in doip.h gives, in
// its order (null input, null record, short input, header check); on failure the record is untouched; on
// success the record holds exactly the fields at their offsets, and nothing else of it changed. The
// diagnostic records have exactly the room their comments ask for, so AddressSanitizer sees a write past it.
#include "fuzz_support.h"

using namespace fuzz;

namespace {

// Records are compared byte for byte, padding included, so they are filled and copied with memset and
// memcpy only: a copy by assignment need not keep padding bytes.
template <typename Record>
void fill(Record* r) {
    std::memset(static_cast<void*>(r), 0xA5, sizeof *r);
}

template <typename Record>
void copy(Record* to, const Record& from) {
    std::memcpy(static_cast<void*>(to), &from, sizeof from);
}

template <typename Record>
bool same(const Record& a, const Record& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// `pre_short`: refused before the header check; `post_short`: refused after it. `set_fields` writes what a
// successful decode must have written into a filled record.
template <typename Record, typename SetFields>
void check_decoder(int (*decode)(const uint8_t*, uint32_t, Record*), bool input_first, bool pre_short,
                   bool post_short, const Heap& in, int model, const doip_package_s& header,
                   SetFields set_fields) {
    Record sentinel, out, want;
    fill(&sentinel);
    copy(&out, sentinel);
    copy(&want, sentinel);
    const int null_input = input_first || !pre_short ? DOIP_ERR_NULL_INPUT : DOIP_ERR_INPUT_TOO_SHORT;
    FUZZ_CHECK(decode(nullptr, in.count(), &out) == null_input);
    FUZZ_CHECK(decode(in.data(), in.count(), nullptr) ==
               (pre_short ? DOIP_ERR_INPUT_TOO_SHORT : DOIP_ERR_NULL_RECORD));
    const int rc = decode(in.data(), in.count(), &out);
    const int expected = pre_short          ? DOIP_ERR_INPUT_TOO_SHORT
                         : model != DOIP_OK ? model
                         : post_short       ? DOIP_ERR_INPUT_TOO_SHORT
                                            : DOIP_OK;
    FUZZ_CHECK(rc == expected);
    if (rc == DOIP_OK) {
        want.header = header;
        set_fields(want, in.data());
    }
    FUZZ_CHECK(same(out, want));
}

// The diagnostic message (12 fixed bytes) or acknowledgement (13) decoder on a record with room for exactly
// the bytes past the fixed part, then its allocating parser, which must give the same block.
template <typename Record, typename Create, typename Decode, typename Parse, typename Free>
void check_diag(const Heap& in, int model, const doip_package_s& header, uint32_t fixed, Create create,
                Decode decode, Parse parse, Free release) {
    const uint32_t count = in.count();
    const uint32_t room = count > fixed ? count - fixed : 0;
    const size_t block = sizeof(Record) + room;
    Record* record = create(room);
    FUZZ_CHECK(record != nullptr);
    const Heap zero(block);
    FUZZ_CHECK(std::memcmp(record, zero.data(), block) == 0);
    const int rc = decode(in.data(), count, record);
    const int expected = count == 0         ? DOIP_ERR_INPUT_TOO_SHORT
                         : model != DOIP_OK ? model
                         : count < fixed    ? DOIP_ERR_INPUT_TOO_SHORT
                                            : DOIP_OK;
    FUZZ_CHECK(rc == expected);
    Heap want(block);
    if (rc == DOIP_OK) {
        Record* w = reinterpret_cast<Record*>(want.data());
        w->header = header;
        w->source_address = be16(in.data() + 8);
        w->target_address = be16(in.data() + 10);
        if constexpr (std::is_same_v<Record, doip_diagnostic_response_s>) {
            w->ack_code = in.data()[12];
            w->previous_message_length = room;
        } else {
            w->user_data_length = room;
        }
        std::memcpy(want.data() + sizeof(Record), in.data() + fixed, room);
    }
    FUZZ_CHECK(std::memcmp(record, want.data(), block) == 0);

    Record* parsed = nullptr;
    FUZZ_CHECK(parse(in.data(), count, &parsed) == rc);
    FUZZ_CHECK(parsed != nullptr && std::memcmp(parsed, record, block) == 0);
    release(parsed);
    parsed = nullptr;
    FUZZ_CHECK(parse(nullptr, count, &parsed) ==
               (count == 0 ? DOIP_ERR_INPUT_TOO_SHORT : DOIP_ERR_NULL_INPUT));
    release(parsed);
    FUZZ_CHECK(parse(in.data(), count, nullptr) == DOIP_ERR_NULL_RECORD);
    release(record);
}

uint32_t identifier_size(uint16_t type) {
    return type == DOIP_PT_VEHICLE_ID_EID_REQUEST ? 6 : type == DOIP_PT_VEHICLE_ID_VIN_REQUEST ? 17 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Heap in(data, size);
    const uint32_t n = in.count();
    doip_package_s h{};
    const int model = header_model(in.data(), n, &h);
    const bool ok = model == DOIP_OK;

    check_decoder(doip_vehicle_id_request_deserilize, false, n == 0,
                  ok && n - 8 < identifier_size(h.payload_type), in, model, h,
                  [&](doip_vehicle_id_request_s& r, const uint8_t* b) {
                      std::memcpy(r.vin, b + 8, identifier_size(h.payload_type));
                  });
    check_decoder(doip_alive_check_response_deserilize, false, n < 10, false, in, model, h,
                  [](doip_alive_check_response_s& r, const uint8_t* b) { r.source_address = be16(b + 8); });
    check_decoder(doip_entity_status_response_deserilize, true, n < 11, false, in, model, h,
                  [&](doip_entity_status_response_s& r, const uint8_t* b) {
                      r.node_type = b[8];
                      r.max_concurrent_sockets = b[9];
                      r.open_sockets = b[10];
                      r.has_max_data_size = h.payload_length == 7;
                      r.max_data_size = h.payload_length == 7 ? be32(b + 11) : 0;
                  });
    check_decoder(doip_power_mode_response_deserilize, true, n < 9, false, in, model, h,
                  [](doip_power_mode_response_s& r, const uint8_t* b) { r.power_mode = b[8]; });
    const auto vid_response = [&](vehicle_id_response_s& r, const uint8_t* b) {
        std::memcpy(r.vin, b + 8, 17);
        r.logical_address = be16(b + 25);
        std::memcpy(r.eid, b + 27, 6);
        std::memcpy(r.gid, b + 33, 6);
        r.further_action = b[39];
        r.has_sync_status = n == 41;
        r.sync_status = n == 41 ? b[40] : 0;
    };
    check_decoder(doip_vehicle_id_response_deserilize, false, n != 40 && n != 41, false, in, model, h,
                  vid_response);
    check_decoder(doip_vid_response, false, n != 40 && n != 41, false, in, model, h, vid_response);
    check_decoder(doip_routing_activation_request_deserilize, false, n == 0, n < 15, in, model, h,
                  [&](doip_routing_activation_request_s& r, const uint8_t* b) {
                      r.source_address = be16(b + 8);
                      r.activation_type = b[10];
                      r.has_oem_specific = h.payload_length == 11;
                      r.oem_specific = h.payload_length == 11 ? be32(b + 15) : 0;
                  });
    check_decoder(doip_routing_activation_response_deserilize, true, n < 17, false, in, model, h,
                  [&](doip_routing_activation_response_s& r, const uint8_t* b) {
                      r.tester_address = be16(b + 8);
                      r.entity_address = be16(b + 10);
                      r.response_code = b[12];
                      r.reserved = be32(b + 13);
                      r.has_oem_specific = h.payload_length == 13;
                      r.oem_specific = h.payload_length == 13 ? be32(b + 17) : 0;
                  });

    check_diag<doip_diagnostic_request_s>(in, model, h, 12, doip_diag_msg_request_create,
                                          doip_diag_msg_request_deserilize, doip_diag_request_parse,
                                          doip_diag_msg_request_free);
    check_diag<doip_diagnostic_response_s>(
        in, model, h, 13, doip_diag_msg_response_create, doip_diag_msg_response_deserilize,
        [](const uint8_t* b, uint32_t c, doip_diagnostic_response_s** out) {
            return doip_diag_response(nullptr, b, c, out);
        },
        doip_free_diag_response);
    return 0;
}
