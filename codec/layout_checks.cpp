// Compile-time checks of the record layouts that applications (C, C#, Python ctypes) rely on.
#include <cstddef>
#include <type_traits>

#include "doip.h"

namespace {

constexpr bool kPointers32 = sizeof(void*) == 4;

static_assert(offsetof(doip_message_s, channel) == 0, "doip_message_s.channel");
static_assert(offsetof(doip_message_s, length) == 4, "doip_message_s.length");
static_assert(offsetof(doip_message_s, aux1) == 8, "doip_message_s.aux1");
static_assert(offsetof(doip_message_s, aux2) == 12, "doip_message_s.aux2");
static_assert(offsetof(doip_message_s, data) == 16, "doip_message_s.data");
static_assert(sizeof(doip_message_s) == (kPointers32 ? 20 : 24), "doip_message_s size");

static_assert(std::is_standard_layout<doip_message_raii>::value, "doip_message_raii must be standard layout");
static_assert(sizeof(doip_message_raii) == sizeof(doip_message_s), "doip_message_raii size");
static_assert(offsetof(doip_message_raii, channel) == offsetof(doip_message_s, channel), "raii.channel");
static_assert(offsetof(doip_message_raii, length) == offsetof(doip_message_s, length), "raii.length");
static_assert(offsetof(doip_message_raii, aux1) == offsetof(doip_message_s, aux1), "raii.aux1");
static_assert(offsetof(doip_message_raii, aux2) == offsetof(doip_message_s, aux2), "raii.aux2");
static_assert(offsetof(doip_message_raii, data) == offsetof(doip_message_s, data), "raii.data");

static_assert(offsetof(doip_package_s, protocol_version) == 0, "doip_package_s.protocol_version");
static_assert(offsetof(doip_package_s, inverse_protocol_version) == 1, "doip_package_s.inverse");
static_assert(offsetof(doip_package_s, payload_type) == 2, "doip_package_s.payload_type");
static_assert(offsetof(doip_package_s, payload_length) == 4, "doip_package_s.payload_length");
static_assert(sizeof(doip_package_s) == 8, "doip_package_s size");

static_assert(offsetof(doip_addressing_s, source_address) == 0, "doip_addressing_s.source_address");
static_assert(offsetof(doip_addressing_s, reserved_address) == 2, "doip_addressing_s.reserved_address");
static_assert(offsetof(doip_addressing_s, target_address) == 4, "doip_addressing_s.target_address");
static_assert(offsetof(doip_addressing_s, protocol_version) == 6, "doip_addressing_s.protocol_version");
static_assert(sizeof(doip_addressing_s) == 8, "doip_addressing_s size");

static_assert(offsetof(eth_config_s, reserved) == 0, "eth_config_s.reserved");
static_assert(offsetof(eth_config_s, port) == 4, "eth_config_s.port");
static_assert(offsetof(eth_config_s, ip_address) == 6, "eth_config_s.ip_address");
static_assert(sizeof(eth_config_s) == 72, "eth_config_s size");

// doip_s holds no pointers: one layout for 32-bit and 64-bit builds.
static_assert(offsetof(doip_s, reserved_flag) == 0, "doip_s.reserved_flag");
static_assert(offsetof(doip_s, reserved_word) == 2, "doip_s.reserved_word");
static_assert(offsetof(doip_s, source_address) == 4, "doip_s.source_address");
static_assert(offsetof(doip_s, reserved_address) == 6, "doip_s.reserved_address");
static_assert(offsetof(doip_s, target_address) == 8, "doip_s.target_address");
static_assert(offsetof(doip_s, protocol_version) == 10, "doip_s.protocol_version");
static_assert(offsetof(doip_s, a_doip_ctrl_ms) == 12, "doip_s.a_doip_ctrl_ms");
static_assert(offsetof(doip_s, t_tcp_general_inactivity_ms) == 16, "doip_s.t_tcp_general_inactivity_ms");
static_assert(offsetof(doip_s, t_tcp_initial_inactivity_ms) == 20, "doip_s.t_tcp_initial_inactivity_ms");
static_assert(offsetof(doip_s, a_doip_diagnostic_message_ms) == 24, "doip_s.a_doip_diagnostic_message_ms");
static_assert(offsetof(doip_s, activation_type) == 28, "doip_s.activation_type");
static_assert(offsetof(doip_s, oem_specific_present) == 29, "doip_s.oem_specific_present");
static_assert(offsetof(doip_s, oem_specific) == 32, "doip_s.oem_specific");
static_assert(offsetof(doip_s, local) == 36, "doip_s.local");
static_assert(offsetof(doip_s, remote) == 108, "doip_s.remote");
static_assert(sizeof(doip_s) == 180, "doip_s size");

// The addressing block inside doip_s is laid out exactly as doip_addressing_s, before the time values.
constexpr size_t kBlock = offsetof(doip_s, source_address);
static_assert(offsetof(doip_s, reserved_address) - kBlock == offsetof(doip_addressing_s, reserved_address));
static_assert(offsetof(doip_s, target_address) - kBlock == offsetof(doip_addressing_s, target_address));
static_assert(offsetof(doip_s, protocol_version) - kBlock == offsetof(doip_addressing_s, protocol_version));
static_assert(kBlock + sizeof(doip_addressing_s) <= offsetof(doip_s, a_doip_ctrl_ms));

static_assert(offsetof(doip_socket_ops_s, doip_socket_send) == 0, "ops.send");
static_assert(offsetof(doip_socket_ops_s, doip_socket_reserved) == sizeof(void*), "ops.reserved");
static_assert(offsetof(doip_socket_ops_s, doip_socket_close) == 2 * sizeof(void*), "ops.close");
static_assert(offsetof(doip_socket_ops_s, doip_socket_open) == 3 * sizeof(void*), "ops.open");
static_assert(sizeof(doip_socket_ops_s) == (kPointers32 ? 16 : 32), "doip_socket_ops_s size");

}  // namespace
