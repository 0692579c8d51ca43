// The header check (doip_deserialize) and the header-only decoders that share it: the code is the model's,
// in its order; the record is written as the bytes say on success and not at all otherwise.
#include "fuzz_support.h"

using namespace fuzz;

namespace {

using HeaderDecoder = int (*)(const uint8_t*, uint32_t, doip_package_s*);

int deserialize(const uint8_t* bytes, uint32_t count, doip_package_s* out) {
    return doip_deserialize(bytes, count, out);
}

constexpr HeaderDecoder kDecoders[] = {deserialize, doip_alive_check_request_deserilize,
                                       doip_entity_status_request_deserilize,
                                       doip_power_mode_request_deserilize};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Heap in(data, size);
    doip_package_s expected{};
    const int model = header_model(in.data(), in.count(), &expected);
    for (HeaderDecoder decode : kDecoders) {
        // What is refused before the null checks: fewer than 8 bytes by the header check itself, an empty
        // input by the header-only decoders.
        const int first = decode == deserialize ? (size < 8 ? DOIP_ERR_INCOMPLETE_MESSAGE : DOIP_OK)
                                                : (size == 0 ? DOIP_ERR_INPUT_TOO_SHORT : DOIP_OK);
        const doip_package_s sentinel{0xA5, 0xA5, 0xA5A5, 0xA5A5A5A5};
        doip_package_s out = sentinel;
        FUZZ_CHECK(decode(nullptr, in.count(), &out) == (first != DOIP_OK ? first : DOIP_ERR_NULL_INPUT));
        FUZZ_CHECK(decode(in.data(), in.count(), nullptr) ==
                   (first != DOIP_OK ? first : DOIP_ERR_NULL_RECORD));
        FUZZ_CHECK(same_header(out, sentinel));
        const int rc = decode(in.data(), in.count(), &out);
        FUZZ_CHECK(rc == (first != DOIP_OK ? first : model));
        FUZZ_CHECK(same_header(out, rc == DOIP_OK ? expected : sentinel));
        FUZZ_CHECK(rc != DOIP_OK || out.payload_length <= in.count() - DOIP_HEADER_SIZE);
    }
    return 0;
}
