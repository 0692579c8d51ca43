// Helpers shared by the client tests.
#ifndef DOIP_TESTS_CLIENT_TEST_SUPPORT_H
#define DOIP_TESTS_CLIENT_TEST_SUPPORT_H

#include "doip.h"

#include <cstring>
#include <string>
#include <vector>

namespace doip_test {

inline doip_s make_context(const char* local_ip, uint16_t local_port, const char* remote_ip,
                           uint16_t remote_port) {
    doip_s ctx;
    doip_init(&ctx);
    std::strncpy(ctx.local.ip_address, local_ip, sizeof ctx.local.ip_address - 1);
    std::strncpy(ctx.remote.ip_address, remote_ip, sizeof ctx.remote.ip_address - 1);
    ctx.local.port = local_port;
    ctx.remote.port = remote_port;
    return ctx;
}

// Appends `bytes` as one received message.
inline int append(const std::vector<uint8_t>& bytes, uint8_t channel = 0, uint32_t aux1 = 0,
                  uint32_t aux2 = 0) {
    doip_message_s m{};
    m.channel = channel;
    m.aux1 = aux1;
    m.aux2 = aux2;
    m.length = static_cast<uint32_t>(bytes.size());
    m.data = const_cast<uint8_t*>(bytes.data());
    return doip_append_eth_message(&m);
}

// Empties the application's (default) queue.
inline void drain_default_queue() {
    doip_message_s m{};
    while (doip_get_message(&m, nullptr) == DOIP_OK) {
    }
    doip_message_destory(&m);
}

inline std::vector<uint8_t> bytes_of(const doip_message_s& m) {
    return {m.data, m.data + m.length};
}

}  // namespace doip_test

#endif
