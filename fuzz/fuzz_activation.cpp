// Routing activation with the entity's reply taken from the input: doip_activate_response on it, and
// doip_activate against a socket table whose send appends it to the message cache. Checked against their
// comments in doip.h: the result code, the state left in the registry, the request sent, the local port,
// the log lines, and that the activation's own queue is gone afterwards.
//
// Input: an option byte, the context's protocol version, then (when the options say so) a length byte and
// that many bytes of address text, then the reply.
#include "fuzz_support.h"

#include <string>

using namespace fuzz;

namespace {

enum Option : uint8_t {
    kOem = 1,            // the request carries the OEM field
    kActivate = 2,       // doip_activate, else doip_activate_response alone
    kLocalText = 4,      // the local address text from the input
    kRemoteText = 8,     // the remote address text from the input
    kOtherChannel = 16,  // the reply arrives on channel 1, which the activation does not wait on
    kOpenFails = 32,
    kSendFails = 64,
    kLogger = 128
};

struct Run {
    uint8_t options = 0;
    Heap reply{0};
    std::string request;  // what send was given
    int opens = 0, sends = 0, lines = 0;
} run;

// Empty, or four numbers 0..255 of one to three digits separated by dots, terminated inside the field.
bool key_address(const char (&text)[DOIP_IP_ADDRESS_SIZE]) {
    const void* nul = std::memchr(text, 0, sizeof text);
    if (nul == nullptr) {
        return false;
    }
    const std::string s(text);
    if (s.empty()) {
        return true;
    }
    int parts = 0;
    for (size_t start = 0; start <= s.size(); ++parts) {
        size_t end = s.find('.', start);
        end = end == std::string::npos ? s.size() : end;
        const std::string part = s.substr(start, end - start);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(part) > 255) {
            return false;
        }
        start = end + 1;
    }
    return parts == 4;
}

int open_socket(uint8_t channel, doip_s*) {
    FUZZ_CHECK(channel == 3);
    ++run.opens;
    return run.options & kOpenFails ? 5 : 0;
}

int send_request(uint8_t channel, doip_s*, uint8_t* bytes, uint32_t length) {
    FUZZ_CHECK(channel == 3);
    ++run.sends;
    run.request.assign(reinterpret_cast<const char*>(bytes), length);
    if (run.options & kSendFails) {
        return 6;
    }
    doip_message_s reply{static_cast<uint8_t>(run.options & kOtherChannel ? 1 : 0), run.reply.count(), 9, 9,
                         run.reply.size != 0 ? run.reply.data() : nullptr};
    FUZZ_CHECK(doip_append_eth_message(&reply) == DOIP_OK);
    return 0;
}

int log_line(int level, const char* text, uint32_t length) {
    FUZZ_CHECK(level == 2 && length <= 1023 && text[length] == '\0' && std::strlen(text) == length);
    ++run.lines;
    return 0;
}

struct Rule {
    uint8_t code;
    int result, state;
};
constexpr Rule kRules[] = {{0x10, DOIP_OK, DOIP_STATE_ACTIVATED},
                           {0x03, DOIP_OK, DOIP_STATE_ACTIVATED},
                           {0x05, DOIP_RA_CONFIRMATION_REQUIRED, DOIP_STATE_CONFIRMATION},
                           {0x11, DOIP_RA_CONFIRMATION_REQUIRED, DOIP_STATE_CONFIRMATION},
                           {0x06, DOIP_RA_UNSUPPORTED_TYPE, DOIP_STATE_UNSUPPORTED_TYPE},
                           {0x00, DOIP_RA_UNKNOWN_SOURCE_ADDRESS, DOIP_STATE_UNKNOWN_SOURCE},
                           {0x01, DOIP_RA_ALL_SOCKETS_ACTIVE, DOIP_STATE_PENDING},
                           {0x02, DOIP_RA_SA_DIFFERENT, DOIP_STATE_PENDING},
                           {0x04, DOIP_RA_MISSING_AUTHENTICATION, DOIP_STATE_NO_AUTHENTICATION},
                           {0x07, DOIP_RA_REQUIRES_TLS, DOIP_STATE_TLS_REQUIRED}};

// doip_activate_response's code for the reply, and the state it leaves (`before` when it stores none).
int response_model(const Heap& reply, int before, int* state) {
    *state = before;
    doip_package_s h{};
    const int header = header_model(reply.data(), reply.count(), &h);
    if (reply.size < 17 || header != DOIP_OK) {
        return reply.size < 17 ? DOIP_ERR_INPUT_TOO_SHORT : header;
    }
    for (const Rule& rule : kRules) {
        if (rule.code == reply.data()[12]) {
            *state = rule.state;
            return rule.result;
        }
    }
    return DOIP_OK;
}

int state_of(const doip_s& ctx) {
    int state = -1;
    get_doip_state(&ctx, &state);
    return state;
}

void check_activate(doip_s& ctx, bool valid) {
    const uint16_t port_before = ctx.local.port;
    const int rc = doip_activate(3, &ctx);
    if (!valid) {
        FUZZ_CHECK(rc == DOIP_ERR_INVALID_ARGUMENT && ctx.local.port == port_before && run.opens == 0);
        return;
    }
    FUZZ_CHECK(ctx.local.port >= 10000 && ctx.local.port <= 19999 && run.opens == 1);
    int want_state = DOIP_STATE_NONE, want = DOIP_OK, lines = 1;  // the port drawn is logged
    const uint8_t v = ctx.protocol_version;
    const bool oem = run.options & kOem;
    const Heap& reply = run.reply;
    if (run.options & kOpenFails) {
        want = 5;
        ++lines;
    } else {
        // The request: version, inverse, 0x0005, payload length, source address, activation type, four
        // reserved zero bytes, the OEM field.
        std::string expected = {char(v),    char(~v),   0, 5, 0, 0, 0, char(oem ? 11 : 7),
                                char(0x0E), char(0xF5), 0, 0, 0, 0, 0};
        if (oem) {
            expected += std::string("\x12\x34\x56\x78", 4);
        }
        FUZZ_CHECK(run.sends == 1 && run.request == expected);
        want_state = DOIP_STATE_PENDING;
        const bool matches = !(run.options & kOtherChannel) && reply.size >= 4 && reply.data()[0] == v &&
                             reply.data()[1] == uint8_t(~v) && reply.data()[2] == 0 && reply.data()[3] == 6;
        if (run.options & kSendFails) {
            want = 6;
        } else if (!matches) {
            want = DOIP_ERR_TIMEOUT;
            ++lines;
        } else {
            want = response_model(reply, DOIP_STATE_PENDING, &want_state);
            lines += want != DOIP_OK;
            want_state = want == DOIP_OK ? DOIP_STATE_ACTIVATED : want_state;
        }
    }
    FUZZ_CHECK(rc == want && state_of(ctx) == want_state);
    FUZZ_CHECK(!(run.options & kLogger) || run.lines == lines);
    // The reply stays on the default queue only (an empty one as an empty message of channel 0).
    const bool appended = !(run.options & (kOpenFails | kSendFails));
    const uint8_t channel = run.options & kOtherChannel && reply.size != 0 ? 1 : 0;
    FUZZ_CHECK(doip_msg_cache_count(channel) == (appended ? 1 : 0));
    doip_message_s taken{};
    FUZZ_CHECK(doip_get_message(&taken, nullptr) == (appended ? DOIP_OK : DOIP_ERR_NO_MESSAGE));
    FUZZ_CHECK(taken.length == (appended ? reply.size : 0) &&
               (taken.length == 0 || std::memcmp(taken.data, reply.data(), reply.size) == 0));
    doip_message_destory(&taken);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    doip_s ctx;
    doip_init(&ctx);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    run = Run{};
    run.options = in.byte();
    doip_s ctx;
    doip_init(&ctx);
    ctx.protocol_version = in.byte();
    ctx.oem_specific_present = run.options & kOem ? 1 : 0;
    ctx.oem_specific = 0x12345678;
    ctx.t_tcp_initial_inactivity_ms = 0;
    std::strcpy(ctx.local.ip_address, "127.0.0.1");
    std::strcpy(ctx.remote.ip_address, "10.0.0.2");
    for (eth_config_s* end : {&ctx.local, &ctx.remote}) {
        if (run.options & (end == &ctx.local ? kLocalText : kRemoteText)) {
            const Heap text = in.take(std::min<size_t>(in.byte(), sizeof end->ip_address));
            std::memset(end->ip_address, 0, sizeof end->ip_address);
            std::memcpy(end->ip_address, text.data(), text.size);
        }
    }
    run.reply = in.take(in.left);
    const bool valid = key_address(ctx.local.ip_address) && key_address(ctx.remote.ip_address);
    reset_doip_state();
    doip_set_logger_ops(run.options & kLogger ? log_line : nullptr);
    doip_set_socket_ops(doip_socket_ops_s{send_request, nullptr, nullptr, open_socket});

    // The response alone, over a state the library must keep or replace.
    FUZZ_CHECK(set_doip_state(&ctx, 99) == (valid ? DOIP_OK : DOIP_ERR_INVALID_ARGUMENT));
    int want_state = valid ? 99 : DOIP_STATE_NONE;
    const int want = valid ? response_model(run.reply, 99, &want_state) : DOIP_ERR_INVALID_ARGUMENT;
    FUZZ_CHECK(doip_activate_response(&ctx, run.reply.data(), run.reply.count()) == want);
    FUZZ_CHECK(state_of(ctx) == want_state);

    if (run.options & kActivate) {
        reset_doip_state();
        check_activate(ctx, valid);
    }
    reset_doip_state();
    return 0;
}
