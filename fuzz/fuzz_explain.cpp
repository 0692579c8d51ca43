// What an application does with a received message before decoding it: doip_get_expalininfo classifies
// it, doip_remove_header strips the framing of a diagnostic message or acknowledgement in place, and
// get_doip_err_str turns a code (taken from the input too) into a text. Each is checked against its
// comment in doip.h; the message lies in a heap block of exactly its size.
#include "fuzz_support.h"

#include <string>

using namespace fuzz;

namespace {

// The framing doip_remove_header strips from a message of this type, 0 for none.
uint32_t framing(uint16_t type) {
    return type == DOIP_PT_DIAG_MSG                                          ? 12
           : (type == DOIP_PT_DIAG_MSG_ACK || type == DOIP_PT_DIAG_MSG_NACK) ? 13
                                                                             : 0;
}

void check_explain(const Heap& in) {
    doip_package_s h{};
    explain_info_s want{};
    if (header_model(in.data(), in.count(), &h) == DOIP_OK) {
        const uint32_t fixed =
            h.payload_type == DOIP_PT_ROUTING_ACTIVATION_RESPONSE ? 12 : framing(h.payload_type);
        if (fixed == 0) {
            want.header.payload_type = h.payload_type;
        } else if (in.count() >= fixed) {
            want.header = h;
            // The entity's address in a routing activation response, else the source address.
            want.sender_address =
                be16(in.data() + (h.payload_type == DOIP_PT_ROUTING_ACTIVATION_RESPONSE ? 10 : 8));
        }
    }
    const explain_info_s got = doip_get_expalininfo(in.data(), in.count());
    FUZZ_CHECK(same_header(got.header, want.header) && got.sender_address == want.sender_address);
    const explain_info_s none = doip_get_expalininfo(nullptr, in.count());
    FUZZ_CHECK(same_header(none.header, doip_package_s{}) && none.sender_address == 0);
}

void check_remove_header(const Heap& in) {
    doip_message_s msg{7, in.count(), 0x11223344, 0x55667788, nullptr};
    if (in.size != 0) {
        msg.data = static_cast<uint8_t*>(std::malloc(in.size));
        FUZZ_CHECK(msg.data != nullptr);
        std::memcpy(msg.data, in.data(), in.size);
    }
    uint8_t* const block = msg.data;
    doip_package_s h{};
    const uint32_t strip = header_model(in.data(), in.count(), &h) == DOIP_OK ? framing(h.payload_type) : 0;
    const uint32_t kept = strip != 0 && in.count() >= strip ? in.count() - strip : in.count();
    FUZZ_CHECK(doip_remove_header(&msg) == DOIP_OK);
    FUZZ_CHECK(msg.channel == 7 && msg.aux1 == 0x11223344 && msg.aux2 == 0x55667788 && msg.data == block);
    FUZZ_CHECK(msg.length == kept && msg.length <= in.count());
    FUZZ_CHECK(kept == 0 || std::memcmp(msg.data, in.data() + (in.count() - kept), kept) == 0);
    std::free(msg.data);
    FUZZ_CHECK(doip_remove_header(nullptr) == DOIP_ERR_INVALID_ARGUMENT);
}

void check_error_text(int code, int capacity) {
    char full[512];
    int full_len = sizeof full;
    FUZZ_CHECK(get_doip_err_str(code, full, &full_len) == DOIP_OK);
    FUZZ_CHECK(full_len >= 0 && full_len < static_cast<int>(sizeof full) - 1 && full[full_len] == '\0' &&
               std::strlen(full) == static_cast<size_t>(full_len));
    const std::string unknown = "unknwon err code: ";
    if (std::string(full).compare(0, unknown.size(), unknown) == 0) {
        FUZZ_CHECK(std::string(full) == unknown + std::to_string(code));
    }
    // A cut copy into a block of exactly the capacity.
    const Heap buf(capacity > 0 ? static_cast<size_t>(capacity) : 0, 0xA5);
    int len = capacity;
    const int rc = get_doip_err_str(code, reinterpret_cast<char*>(buf.data()), &len);
    if (capacity <= 0) {
        FUZZ_CHECK(rc == DOIP_ERR_GENERAL && len == capacity);
        return;
    }
    FUZZ_CHECK(rc == DOIP_OK && len == std::min(full_len, capacity - 1) && buf.data()[len] == 0 &&
               std::memcmp(buf.data(), full, static_cast<size_t>(len)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Heap in(data, size);
    check_explain(in);
    check_remove_header(in);
    Reader r{data, size};
    const uint32_t word = r.word();
    const int capacity = static_cast<int>(r.byte()) - 4;
    check_error_text(static_cast<int>(word), capacity);
    check_error_text(static_cast<int8_t>(word >> 24), capacity);
    check_error_text(0x1000 + static_cast<int>(word & 0x1F), capacity);
    return 0;
}
