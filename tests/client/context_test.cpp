#include "doip.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace {

TEST(ContextInit, EveryByteIsZeroExceptTheDefaults) {
    doip_s ctx;
    std::memset(&ctx, 0xA5, sizeof ctx);
    ASSERT_EQ(doip_init(&ctx), DOIP_OK);

    doip_s expected;
    std::memset(&expected, 0, sizeof expected);
    expected.reserved_flag = 1;
    expected.reserved_word = 0xFF01;
    expected.source_address = 0x0EF5;
    expected.reserved_address = 0xE001;
    expected.target_address = 0x0CE1;
    expected.protocol_version = 2;
    expected.a_doip_ctrl_ms = 2000;
    expected.t_tcp_general_inactivity_ms = 300000;
    expected.t_tcp_initial_inactivity_ms = 2000;
    expected.a_doip_diagnostic_message_ms = 2000;
    expected.oem_specific_present = 1;
    expected.local.port = 10001;
    expected.remote.port = 13400;
    // Byte-wise, padding included: the context must be fully deterministic after doip_init.
    EXPECT_EQ(std::memcmp(&ctx, &expected, sizeof ctx), 0);
    EXPECT_STREQ(ctx.local.ip_address, "");
    EXPECT_STREQ(ctx.remote.ip_address, "");
    EXPECT_EQ(ctx.activation_type, 0);
    EXPECT_EQ(ctx.oem_specific, 0u);
}

TEST(ContextInit, SecondInitResetsEveryField) {
    doip_s ctx;
    doip_init(&ctx);
    ctx.source_address = 0x1234;
    ctx.t_tcp_initial_inactivity_ms = 5;
    std::strcpy(ctx.remote.ip_address, "127.0.0.1");
    doip_init(&ctx);
    EXPECT_EQ(ctx.source_address, 0x0EF5);
    EXPECT_EQ(ctx.t_tcp_initial_inactivity_ms, 2000u);
    EXPECT_STREQ(ctx.remote.ip_address, "");
}

TEST(ContextInit, NullContextIsIgnored) {
    EXPECT_EQ(doip_init(nullptr), DOIP_OK);
}

TEST(ContextInit, AddressingBlockReadsTheDefaults) {
    doip_s ctx;
    doip_init(&ctx);
    const doip_addressing_s* block = DOIP_ADDRESSING(&ctx);
    EXPECT_EQ(block->source_address, 0x0EF5);
    EXPECT_EQ(block->reserved_address, 0xE001);
    EXPECT_EQ(block->target_address, 0x0CE1);
    EXPECT_EQ(block->protocol_version, 2);
}

int g_close_calls = 0;
uint8_t g_close_channel = 0;
doip_s* g_close_ctx = nullptr;

int record_close(uint8_t channel, doip_s* ctx) {
    ++g_close_calls;
    g_close_channel = channel;
    g_close_ctx = ctx;
    return 77;
}

class SocketTable : public ::testing::Test {
  protected:
    void SetUp() override {
        g_close_calls = 0;
        g_close_ctx = nullptr;
    }
    void TearDown() override { doip_set_socket_ops(doip_socket_ops_s{}); }
};

TEST_F(SocketTable, UninitializeWithoutATableCallsNothing) {
    doip_set_socket_ops(doip_socket_ops_s{});
    doip_s ctx;
    doip_init(&ctx);
    EXPECT_EQ(doip_uninitialize(3, &ctx), DOIP_OK);
    EXPECT_EQ(g_close_calls, 0);
}

TEST_F(SocketTable, UninitializeCallsCloseOnceWithItsArguments) {
    doip_socket_ops_s ops{};
    ops.doip_socket_close = record_close;
    ASSERT_EQ(doip_set_socket_ops(ops), DOIP_OK);
    doip_s ctx;
    doip_init(&ctx);
    EXPECT_EQ(doip_uninitialize(42, &ctx), DOIP_OK);  // the close result is not passed on
    EXPECT_EQ(g_close_calls, 1);
    EXPECT_EQ(g_close_channel, 42);
    EXPECT_EQ(g_close_ctx, &ctx);
}

TEST_F(SocketTable, SettingANewTableReplacesTheOldOneWhole) {
    doip_socket_ops_s ops{};
    ops.doip_socket_close = record_close;
    doip_set_socket_ops(ops);
    doip_set_socket_ops(doip_socket_ops_s{});
    doip_s ctx;
    doip_init(&ctx);
    doip_uninitialize(1, &ctx);
    EXPECT_EQ(g_close_calls, 0);
}

TEST_F(SocketTable, GetSocketOpsLeavesTheCallersTableAlone) {
    doip_socket_ops_s ops{};
    ops.doip_socket_close = record_close;
    EXPECT_EQ(doip_get_socket_ops(ops), DOIP_OK);
    EXPECT_EQ(ops.doip_socket_close, &record_close);
    EXPECT_EQ(ops.doip_socket_open, nullptr);
}

TEST(LoggerHook, SettingAndClearingReturnsZero) {
    EXPECT_EQ(doip_set_logger_ops([](int, const char*, uint32_t) { return 0; }), DOIP_OK);
    EXPECT_EQ(doip_set_logger_ops(nullptr), DOIP_OK);
}

}  // namespace
