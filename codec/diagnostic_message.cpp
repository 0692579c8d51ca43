// Diagnostic message (0x8001) and its positive (0x8002) and negative (0x8003) acknowledgement: records that
// are one malloc block each, their codecs, and the parsers that allocate the record themselves.
//
// The two records differ only in the size of their fixed part, the acknowledgement's code, and the name of
// their trailing bytes, so one set of templates serves both.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "codec/byte_order.h"
#include "codec/diagnostic.h"
#include "codec/payload.h"
#include "doip.h"

namespace doip::detail {

int decode_diag_fixed_part(const uint8_t* bytes, uint32_t count, uint32_t fixed_size, DiagFixedPart* out) {
    doip_package_s header;
    if (int rc = check_header(bytes, count, &header); rc != DOIP_OK) {
        return rc;
    }
    if (count < fixed_size) {
        return DOIP_ERR_INPUT_TOO_SHORT;
    }
    out->header = header;
    out->source_address = load_be16(bytes + 8);
    out->target_address = load_be16(bytes + 10);
    out->ack_code = fixed_size == kDiagAckFixedSize ? bytes[12] : 0;
    return DOIP_OK;
}

}  // namespace doip::detail

using namespace doip::detail;

namespace {

using Request = doip_diagnostic_request_s;
using Ack = doip_diagnostic_response_s;

// The codec of either record: Request (a diagnostic message) or Ack (either acknowledgement).
template <typename Record>
struct DiagCodec {
    static constexpr bool kIsAck = std::is_same_v<Record, Ack>;
    static constexpr uint32_t kFixedSize = kIsAck ? kDiagAckFixedSize : kDiagMessageFixedSize;

    // The trailing bytes and their count: a request's user data, an acknowledgement's echo of the
    // acknowledged message.
    template <typename R>
    static auto* trailing(R* r) {
        if constexpr (kIsAck) {
            return r->previous_message;
        } else {
            return r->user_data;
        }
    }
    template <typename R>
    static auto& trailing_length(R* r) {
        if constexpr (kIsAck) {
            return r->previous_message_length;
        } else {
            return r->user_data_length;
        }
    }

    // A zero-filled record with room for `size` trailing bytes, or null when the size does not fit into
    // size_t or the heap has no room.
    static Record* create(uint32_t size) {
        if (size > std::numeric_limits<size_t>::max() - sizeof(Record)) {
            return nullptr;
        }
        void* block = std::calloc(1, sizeof(Record) + size);
        return static_cast<Record*>(block);
    }

    // The record's other fields stay as they were; an empty trailing part leaves its length alone too.
    static int init(const doip_addressing_s* addressing, Record* record, uint16_t payload_type, uint8_t code,
                    const uint8_t* bytes, uint32_t size) {
        if (int rc = check_init_args(addressing, record); rc != DOIP_OK) {
            return rc;
        }
        if (size != 0 && bytes == nullptr) {
            return DOIP_ERR_INVALID_ARGUMENT;
        }
        record->header =
            make_header(addressing->protocol_version, payload_type, size + (kFixedSize - DOIP_HEADER_SIZE));
        record->source_address = addressing->source_address;
        record->target_address = addressing->target_address;
        if constexpr (kIsAck) {
            record->ack_code = code;
        }
        if (size != 0) {
            std::memcpy(trailing(record), bytes, size);
            trailing_length(record) = size;
        }
        return DOIP_OK;
    }

    // A request needs the room its header announces as well; an acknowledgement is sized by the echoed
    // bytes it holds alone.
    static int encode(const Record* record, uint8_t* out, uint32_t capacity) {
        if (int rc = begin_encode(record, out, capacity,
                                  [](const Record& r) {
                                      const uint64_t written = uint64_t{kFixedSize} + trailing_length(&r);
                                      return kIsAck ? written : needed_size(r.header, written);
                                  });
            rc != DOIP_OK) {
            return rc;
        }
        store_be16(out + 8, record->source_address);
        store_be16(out + 10, record->target_address);
        if constexpr (kIsAck) {
            out[12] = record->ack_code;
        }
        if (trailing_length(record) != 0) {
            std::memcpy(out + kFixedSize, trailing(record), trailing_length(record));
        }
        return DOIP_OK;
    }

    // Everything after the fixed part, up to `count` (not to the header's payload length), becomes the
    // trailing bytes. An empty rest leaves the trailing length as it was.
    static int decode(const uint8_t* bytes, uint32_t count, Record* record) {
        if (int rc = check_decode_args(DecodeOrder::kCountFirst, bytes, count == 0, record); rc != DOIP_OK) {
            return rc;
        }
        DiagFixedPart fixed;
        if (int rc = decode_diag_fixed_part(bytes, count, kFixedSize, &fixed); rc != DOIP_OK) {
            return rc;
        }
        record->header = fixed.header;
        record->source_address = fixed.source_address;
        record->target_address = fixed.target_address;
        if constexpr (kIsAck) {
            record->ack_code = fixed.ack_code;
        }
        const uint32_t rest = count - kFixedSize;
        if (rest != 0) {
            std::memcpy(trailing(record), bytes + kFixedSize, rest);
            trailing_length(record) = rest;
        }
        return DOIP_OK;
    }

    // Hands out the record before any check, so the caller owns it (or null) whatever the result. Only a
    // null `out` is refused before anything is allocated; a record that could not be allocated counts as a
    // null record.
    static int parse(const uint8_t* bytes, uint32_t count, Record** out) {
        if (out == nullptr) {
            return DOIP_ERR_NULL_RECORD;
        }
        *out = create(count > kFixedSize ? count - kFixedSize : 0);
        return decode(bytes, count, *out);
    }
};

}  // namespace

extern "C" {

DOIP_API doip_diagnostic_request_s* doip_diag_msg_request_create(uint32_t user_data_size) {
    return DiagCodec<Request>::create(user_data_size);
}

DOIP_API doip_diagnostic_response_s* doip_diag_msg_response_create(uint32_t previous_message_size) {
    return DiagCodec<Ack>::create(previous_message_size);
}

DOIP_API int doip_diag_msg_request_init(const doip_addressing_s* addressing,
                                        doip_diagnostic_request_s* record, const uint8_t* user_data,
                                        uint32_t user_data_size) {
    return DiagCodec<Request>::init(addressing, record, DOIP_PT_DIAG_MSG, 0, user_data, user_data_size);
}

DOIP_API int doip_diag_msg_ack_response_init(const doip_addressing_s* addressing,
                                             doip_diagnostic_response_s* record, uint8_t ack_code,
                                             const uint8_t* previous_message,
                                             uint32_t previous_message_size) {
    return DiagCodec<Ack>::init(addressing, record, DOIP_PT_DIAG_MSG_ACK, ack_code, previous_message,
                                previous_message_size);
}

// A negative acknowledgement is the same record as a positive one, with its own payload type.
DOIP_API int doip_diag_msg_nack_response_init(const doip_addressing_s* addressing,
                                              doip_diagnostic_response_s* record, uint8_t nack_code,
                                              const uint8_t* previous_message,
                                              uint32_t previous_message_size) {
    const int rc = doip_diag_msg_ack_response_init(addressing, record, nack_code, previous_message,
                                                   previous_message_size);
    if (rc == DOIP_OK) {
        record->header.payload_type = DOIP_PT_DIAG_MSG_NACK;
    }
    return rc;
}

DOIP_API int doip_diag_msg_request_serilize(const doip_diagnostic_request_s* record, uint8_t* out,
                                            uint32_t capacity) {
    return DiagCodec<Request>::encode(record, out, capacity);
}

DOIP_API int doip_diag_msg_response_serilize(const doip_diagnostic_response_s* record, uint8_t* out,
                                             uint32_t capacity) {
    return DiagCodec<Ack>::encode(record, out, capacity);
}

DOIP_API int doip_diag_msg_request_deserilize(const uint8_t* bytes, uint32_t count,
                                              doip_diagnostic_request_s* record) {
    return DiagCodec<Request>::decode(bytes, count, record);
}

DOIP_API int doip_diag_msg_response_deserilize(const uint8_t* bytes, uint32_t count,
                                               doip_diagnostic_response_s* record) {
    return DiagCodec<Ack>::decode(bytes, count, record);
}

DOIP_API int doip_diag_request_parse(const unsigned char* bytes, unsigned int count,
                                     doip_diagnostic_request_s** out) {
    return DiagCodec<Request>::parse(bytes, count, out);
}

DOIP_API int doip_diag_response(doip_s* /*unused*/, const unsigned char* bytes, unsigned int count,
                                doip_diagnostic_response_s** out) {
    return DiagCodec<Ack>::parse(bytes, count, out);
}

DOIP_API void doip_diag_msg_request_free(doip_diagnostic_request_s* record) {
    std::free(record);
}

DOIP_API int doip_diag_msg_response_free(doip_diagnostic_response_s* record) {
    std::free(record);
    return DOIP_OK;
}

DOIP_API int doip_free_diag_response(doip_diagnostic_response_s* record) {
    return doip_diag_msg_response_free(record);
}

}  // extern "C"
