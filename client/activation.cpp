// Routing activation: open the connection through the application's socket table, send the request,
// wait for the entity's response in the message cache and record the outcome in the state registry.
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <optional>
#include <string>
#include <vector>

#include "client/client_objects.h"
#include "client/connection_key.h"
#include "client/error_text.h"
#include "client/hooks.h"
#include "client/message_cache.h"
#include "client/state_registry.h"
#include "codec/byte_order.h"
#include "codec/header.h"
#include "doip.h"

namespace doip::detail {
namespace {

constexpr uint32_t kRequestLength = 15, kRequestLengthWithOem = 19;
// Local ports drawn when no earlier connection to the entity lends one: 10000 to 19999.
constexpr int kFirstRandomPort = 10000, kRandomPortCount = 10000;

struct ResponseRule {
    uint8_t response_code;
    int result;
    int state;
};

// Tested in this order; a response code not listed grants routing and leaves the registry alone.
constexpr ResponseRule kResponseRules[] = {
    {0x10, DOIP_OK, DOIP_STATE_ACTIVATED},
    {0x03, DOIP_OK, DOIP_STATE_ACTIVATED},
    {0x05, DOIP_RA_CONFIRMATION_REQUIRED, DOIP_STATE_CONFIRMATION},
    {0x11, DOIP_RA_CONFIRMATION_REQUIRED, DOIP_STATE_CONFIRMATION},
    {0x06, DOIP_RA_UNSUPPORTED_TYPE, DOIP_STATE_UNSUPPORTED_TYPE},
    {0x00, DOIP_RA_UNKNOWN_SOURCE_ADDRESS, DOIP_STATE_UNKNOWN_SOURCE},
    {0x01, DOIP_RA_ALL_SOCKETS_ACTIVE, DOIP_STATE_PENDING},
    {0x02, DOIP_RA_SA_DIFFERENT, DOIP_STATE_PENDING},
    {0x04, DOIP_RA_MISSING_AUTHENTICATION, DOIP_STATE_NO_AUTHENTICATION},
    {0x07, DOIP_RA_REQUIRES_TLS, DOIP_STATE_TLS_REQUIRED},
};

uint32_t request_length(const doip_s& ctx) {
    return ctx.oem_specific_present != 0 ? kRequestLengthWithOem : kRequestLength;
}

// The local port of an earlier connection from the same local address to the same entity, if any. Port
// texts read as atoi would: one that is not a number counts as 0.
std::optional<uint16_t> reusable_local_port(const doip_s& ctx) {
    const std::string local_address = address_text(ctx.local);
    const std::string remote_address = address_text(ctx.remote);
    for (const std::string& key : state_registry().keys()) {
        const KeyEnds ends = split_connection_key(key);
        if (ends.local && ends.remote && ends.local->address == local_address &&
            ends.remote->address == remote_address &&
            key_port_number(ends.remote->port).value_or(0) == ctx.remote.port) {
            return static_cast<uint16_t>(key_port_number(ends.local->port).value_or(0));
        }
    }
    return std::nullopt;
}

// A generator of the activation's own, seeded from the calendar time in seconds before its one draw: two
// activations in the same second draw the same port, as before, but the application's rand() sequence is
// left alone and concurrent activations share no generator state.
uint16_t random_local_port() {
    std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(std::time(nullptr)));
    return static_cast<uint16_t>(kFirstRandomPort + generator() % kRandomPortCount);
}

void choose_local_port(doip_s& ctx) {
    if (const auto reused = reusable_local_port(ctx)) {
        ctx.local.port = *reused;
        return;
    }
    ctx.local.port = random_local_port();
    log_line("创建TCP链接%s:%d", address_text(ctx.local).c_str(), static_cast<int>(ctx.local.port));
}

void set_state(const doip_s& ctx, int state) {
    state_registry().set(connection_key(ctx), state);
}

int stored_state(const doip_s& ctx) {
    return state_registry().get(connection_key(ctx)).value_or(DOIP_STATE_NONE);
}

// Owns the pattern/result record of the wait.
struct OwnedMessage {
    doip_message_s msg{};
    ~OwnedMessage() { doip_message_destory(&msg); }
};

}  // namespace
}  // namespace doip::detail

using namespace doip::detail;

extern "C" {

DOIP_API int doip_activate_request(const doip_s* ctx, uint8_t* out, uint32_t capacity) {
    if (ctx == nullptr || !has_key_addresses(*ctx)) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    const uint32_t length = request_length(*ctx);
    int result = DOIP_OK;
    if (out == nullptr) {
        result = DOIP_ERR_NULL_OUTPUT;
    } else {
        std::memset(out, 0, capacity);
        if (capacity < length) {
            result = DOIP_ERR_BUFFER_TOO_SMALL;
        } else {
            write_header(make_header(ctx->protocol_version, DOIP_PT_ROUTING_ACTIVATION_REQUEST,
                                     length - DOIP_HEADER_SIZE),
                         out);
            store_be16(out + 8, ctx->source_address);
            out[10] = ctx->activation_type;
            if (ctx->oem_specific_present != 0) {
                store_be32(out + 15, ctx->oem_specific);
            }
        }
    }
    set_state(*ctx, DOIP_STATE_PENDING);
    return result;
}

DOIP_API int doip_activate_response(const doip_s* ctx, const uint8_t* bytes, uint32_t count) {
    if (ctx == nullptr || !has_key_addresses(*ctx)) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    doip_routing_activation_response_s response{};
    const int parsed = doip_routing_activation_response_deserilize(bytes, count, &response);
    if (parsed != DOIP_OK) {
        return parsed;
    }
    for (const ResponseRule& rule : kResponseRules) {
        if (rule.response_code == response.response_code) {
            set_state(*ctx, rule.state);
            return rule.result;
        }
    }
    return DOIP_OK;
}

DOIP_API int doip_activate(uint8_t channel, doip_s* ctx) {
    if (ctx == nullptr || !has_key_addresses(*ctx)) {
        return DOIP_ERR_INVALID_ARGUMENT;
    }
    choose_local_port(*ctx);
    if (stored_state(*ctx) == DOIP_STATE_ACTIVATED) {
        return DOIP_OK;
    }
    const doip_socket_ops_s ops = socket_ops();
    if (ops.doip_socket_open == nullptr) {
        log_line("doip_socket_open == nullptr");
        return DOIP_ERR_NO_SOCKET_OPEN;
    }
    const int opened = ops.doip_socket_open(channel, ctx);
    if (opened != DOIP_OK) {
        log_line("路由激活失败，未成功创建TCP链接");
        return opened;
    }
    set_state(*ctx, DOIP_STATE_PENDING);

    std::vector<uint8_t> request(request_length(*ctx));
    const int built = doip_activate_request(ctx, request.data(), static_cast<uint32_t>(request.size()));
    if (built != DOIP_OK) {
        return built;
    }
    // Registered before the send, so a reply that arrives at once is already on this listener's queue.
    const auto listener = message_cache().register_listener();
    if (ops.doip_socket_send == nullptr) {
        log_line("doip_socket_send == nullptr");
        return DOIP_ERR_NO_SOCKET_OPEN;
    }
    const int sent =
        ops.doip_socket_send(channel, ctx, request.data(), static_cast<uint32_t>(request.size()));
    if (sent != DOIP_OK) {
        return sent;
    }

    OwnedMessage reply;
    const uint8_t pattern[4] = {ctx->protocol_version, static_cast<uint8_t>(~ctx->protocol_version), 0x00,
                                0x06};
    if (doip_message_init(&reply.msg, pattern, sizeof pattern) != DOIP_OK) {
        return DOIP_ERR_NO_MEMORY;
    }
    reply.msg.channel = 0;
    const int waited = doip_wait_message(listener->listener_id, ctx, &reply.msg);
    if (waited != DOIP_OK) {
        log_line("路由激活失败，未收到响应报文");
        return waited;
    }
    const int answered = doip_activate_response(ctx, reply.msg.data, reply.msg.length);
    if (answered != DOIP_OK) {
        log_line("路由激活失败,%s", activation_log_text(answered));
        return answered;
    }
    set_state(*ctx, DOIP_STATE_ACTIVATED);
    return DOIP_OK;
}

}  // extern "C"
