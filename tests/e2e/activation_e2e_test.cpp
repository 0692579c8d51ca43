// Routing activation over real loopback TCP against the simulator.
#include "e2e_support.h"

#include <chrono>

namespace doip_e2e {
namespace {

using Clock = std::chrono::steady_clock;

class ActivationE2e : public E2eTest {};

TEST_F(ActivationE2e, GrantedActivationStoresStateZeroAndKeepsTheConnection) {
    start();
    doip_s ctx = context_for(port());
    EXPECT_EQ(doip_activate(1, &ctx), DOIP_OK) << LogCapture::all();
    EXPECT_EQ(state_of(ctx), DOIP_STATE_ACTIVATED);
    EXPECT_TRUE(layer().is_open(1));
    EXPECT_EQ(simulator().stats().activations, 1u);
    EXPECT_GE(ctx.local.port, 1u);

    // A second activation of the same connection finds state 0 and opens nothing.
    doip_s again = context_for(port());
    EXPECT_EQ(doip_activate(1, &again), DOIP_OK);
    EXPECT_EQ(again.local.port, ctx.local.port);
    EXPECT_EQ(layer().stats().connections_opened, 1u);
    EXPECT_EQ(simulator().stats().activations, 1u);
}

struct DenialCase {
    uint8_t response_code;
    int result;
    int state;
    const char* logged;  // part of the line doip_activate logs, or nullptr for a granted activation
};

void PrintTo(const DenialCase& c, std::ostream* os) {
    *os << "response code " << static_cast<int>(c.response_code);
}

class DenialE2e : public E2eTest, public ::testing::WithParamInterface<DenialCase> {};

TEST_P(DenialE2e, ResponseCodeGivesResultAndRegistryState) {
    const DenialCase c = GetParam();
    doip_tools::SimulatorOptions options;
    options.activation_response_code = c.response_code;
    start(options);
    doip_s ctx = context_for(port());
    EXPECT_EQ(doip_activate(1, &ctx), c.result) << LogCapture::all();
    EXPECT_EQ(state_of(ctx), c.state);
    if (c.logged != nullptr) {
        EXPECT_TRUE(LogCapture::contains(c.logged)) << LogCapture::all();
    } else {
        EXPECT_FALSE(LogCapture::contains("路由激活失败")) << LogCapture::all();
    }
    if (c.result >= DOIP_RA_UNKNOWN_SOURCE_ADDRESS) {
        char text[256];
        int length = sizeof text;
        ASSERT_EQ(get_doip_err_str(c.result, text, &length), DOIP_OK);
        EXPECT_EQ(std::string(text).find("unknwon"), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryResponseCode, DenialE2e,
    ::testing::Values(
        DenialCase{0x00, DOIP_RA_UNKNOWN_SOURCE_ADDRESS, DOIP_STATE_UNKNOWN_SOURCE,
                   "(0x00) Routing activation denied"},
        DenialCase{0x01, DOIP_RA_ALL_SOCKETS_ACTIVE, DOIP_STATE_PENDING, "(0x01) Routing activation denied"},
        DenialCase{0x02, DOIP_RA_SA_DIFFERENT, DOIP_STATE_PENDING, "(0x02) Routing activation denied"},
        DenialCase{0x03, DOIP_OK, DOIP_STATE_ACTIVATED, nullptr},
        DenialCase{0x04, DOIP_RA_MISSING_AUTHENTICATION, DOIP_STATE_NO_AUTHENTICATION,
                   "(0x04) Routing activation"},
        DenialCase{0x05, DOIP_RA_CONFIRMATION_REQUIRED, DOIP_STATE_CONFIRMATION,
                   "(0x11) Routing is activated"},
        DenialCase{0x06, DOIP_RA_UNSUPPORTED_TYPE, DOIP_STATE_UNSUPPORTED_TYPE,
                   "(0x06) Routing activation denied"},
        DenialCase{0x07, DOIP_RA_REQUIRES_TLS, DOIP_STATE_TLS_REQUIRED, "(0x07) Routing activation denied"},
        DenialCase{0x10, DOIP_OK, DOIP_STATE_ACTIVATED, nullptr},
        DenialCase{0x11, DOIP_RA_CONFIRMATION_REQUIRED, DOIP_STATE_CONFIRMATION,
                   "(0x11) Routing is activated"},
        DenialCase{0x08, DOIP_OK, DOIP_STATE_ACTIVATED, nullptr}),
    [](const ::testing::TestParamInfo<DenialCase>& info) {
        char name[16];
        std::snprintf(name, sizeof name, "code_%02X", info.param.response_code);
        return std::string(name);
    });

TEST_F(ActivationE2e, SilentEntityTimesOutWithinTheLimit) {
    doip_tools::SimulatorOptions options;
    options.faults.silent = true;
    start(options);
    doip_s ctx = context_for(port());
    ctx.t_tcp_initial_inactivity_ms = 300;
    const auto begin = Clock::now();
    EXPECT_EQ(doip_activate(1, &ctx), DOIP_ERR_TIMEOUT);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 3000);
    EXPECT_EQ(state_of(ctx), DOIP_STATE_PENDING);
    EXPECT_TRUE(LogCapture::contains("路由激活失败，未收到响应报文")) << LogCapture::all();
    EXPECT_EQ(simulator().stats().activations, 1u);  // the request did arrive
}

TEST_F(ActivationE2e, CutReplyDoesNotParse) {
    doip_tools::SimulatorOptions options;
    options.faults.cut_reply_to = 12;  // a whole message on the wire, but too short for a response
    start(options);
    doip_s ctx = context_for(port());
    EXPECT_EQ(doip_activate(1, &ctx), DOIP_ERR_INPUT_TOO_SHORT);
    EXPECT_EQ(state_of(ctx), DOIP_STATE_PENDING);
    EXPECT_TRUE(LogCapture::contains("路由激活失败,Unkown Error")) << LogCapture::all();
    EXPECT_TRUE(layer().is_open(1));
}

TEST_F(ActivationE2e, ReplyWithAnotherProtocolVersionIsNotTaken) {
    doip_tools::SimulatorOptions options;
    options.faults.reply_version = 0x03;
    start(options);
    doip_s ctx = context_for(port());
    ctx.t_tcp_initial_inactivity_ms = 300;
    EXPECT_EQ(doip_activate(1, &ctx), DOIP_ERR_TIMEOUT);
    EXPECT_EQ(state_of(ctx), DOIP_STATE_PENDING);
    // The reply did arrive and was cached on channel 0; it just does not match.
    EXPECT_TRUE(eventually([] { return doip_msg_cache_count(0) == 1; }));
    EXPECT_TRUE(layer().is_open(1));
}

TEST_F(ActivationE2e, ReplyWithBadInverseVersionClosesTheConnection) {
    doip_tools::SimulatorOptions options;
    options.faults.bad_inverse_version = true;
    start(options);
    doip_s ctx = context_for(port());
    ctx.t_tcp_initial_inactivity_ms = 300;
    EXPECT_EQ(doip_activate(1, &ctx), DOIP_ERR_TIMEOUT);
    EXPECT_TRUE(LogCapture::contains("bad DoIP header (doip_deserialize: -12)")) << LogCapture::all();
    EXPECT_FALSE(layer().is_open(1));
    EXPECT_EQ(layer().stats().messages_appended, 0u);
    EXPECT_EQ(doip_msg_cache_count(0), 0);
}

TEST_F(ActivationE2e, OemFieldIsEchoedWhenPresent) {
    start();
    doip_s ctx = context_for(port());
    ctx.oem_specific = 0x12345678;
    ASSERT_EQ(doip_activate(1, &ctx), DOIP_OK);
    doip_message_s reply{};
    ASSERT_EQ(doip_get_message(&reply, nullptr), DOIP_OK);
    doip_routing_activation_response_s response{};
    ASSERT_EQ(doip_routing_activation_response_deserilize(reply.data, reply.length, &response), DOIP_OK);
    EXPECT_EQ(reply.channel, 0);
    EXPECT_EQ(reply.aux1, 1u);
    EXPECT_EQ(reply.aux2, layer().serial(1));
    EXPECT_EQ(response.has_oem_specific, 1);
    EXPECT_EQ(response.oem_specific, 0x12345678u);
    EXPECT_EQ(response.tester_address, 0x0EF5);
    EXPECT_EQ(response.entity_address, 0x0CE1);
    doip_message_destory(&reply);
}

TEST_F(ActivationE2e, NoOemFieldWhenTheRequestHasNone) {
    start();
    doip_s ctx = context_for(port());
    ctx.oem_specific_present = 0;
    ASSERT_EQ(doip_activate(1, &ctx), DOIP_OK);
    doip_message_s reply{};
    ASSERT_EQ(doip_get_message(&reply, nullptr), DOIP_OK);
    EXPECT_EQ(reply.length, 17u);
    doip_message_destory(&reply);
}

TEST_F(ActivationE2e, RepliesSplitIntoOneByteSegmentsAreReassembled) {
    doip_tools::SimulatorOptions options;
    options.faults.split_segment_size = 1;
    start(options);
    doip_s ctx = context_for(port());
    EXPECT_EQ(doip_activate(1, &ctx), DOIP_OK) << LogCapture::all();
    EXPECT_EQ(layer().stats().messages_appended, 1u);
}

TEST_F(ActivationE2e, DelayedReplyWithinTheLimitIsTaken) {
    doip_tools::SimulatorOptions options;
    options.faults.reply_delay_ms = 150;
    start(options);
    doip_s ctx = context_for(port());
    const auto begin = Clock::now();
    EXPECT_EQ(doip_activate(1, &ctx), DOIP_OK);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count(), 150);
}

TEST_F(ActivationE2e, RefusedConnectReturnsTheSocketLayersCode) {
    start();
    const uint16_t closed_port = port();
    simulator().stop();
    doip_s ctx = context_for(closed_port);
    EXPECT_EQ(doip_activate(1, &ctx), doip_tools::DOIP_SOCKET_ERR_CONNECT);
    EXPECT_EQ(state_of(ctx), DOIP_STATE_NONE);
    EXPECT_TRUE(LogCapture::contains("路由激活失败，未成功创建TCP链接")) << LogCapture::all();
    EXPECT_TRUE(LogCapture::contains("connecting")) << LogCapture::all();
}

}  // namespace
}  // namespace doip_e2e
