// The client context: defaults, and closing a connection through the application's socket table.
#include <cstring>

#include "client/hooks.h"
#include "client/protocol_timers.h"
#include "doip.h"

extern "C" {

DOIP_API int doip_init(doip_s* ctx) {
    if (ctx == nullptr) {
        return DOIP_OK;
    }
    std::memset(ctx, 0, sizeof *ctx);
    ctx->reserved_flag = 1;
    ctx->reserved_word = 0xFF01;
    ctx->source_address = 0x0EF5;
    ctx->reserved_address = 0xE001;
    ctx->target_address = 0x0CE1;
    ctx->protocol_version = 2;
    ctx->a_doip_ctrl_ms = 2000;
    ctx->t_tcp_general_inactivity_ms = 300000;
    ctx->t_tcp_initial_inactivity_ms = 2000;
    ctx->a_doip_diagnostic_message_ms = 2000;
    ctx->oem_specific_present = 1;
    ctx->local.port = 10001;
    ctx->remote.port = 13400;
    doip::detail::start_timer_loop_once();
    return DOIP_OK;
}

DOIP_API int doip_uninitialize(uint8_t channel, doip_s* ctx) {
    const doip_socket_ops_s ops = doip::detail::socket_ops();
    if (ops.doip_socket_close != nullptr) {
        ops.doip_socket_close(channel, ctx);
    }
    return DOIP_OK;
}

}  // extern "C"
