// A peer that breaks the stream, and reconnecting after a connection is gone.
#include "e2e_support.h"

#include "session.h"

namespace doip_e2e {
namespace {

class FaultE2e : public E2eTest {};

TEST_F(FaultE2e, GarbageClosesTheConnectionAndIsLogged) {
    doip_tools::SimulatorOptions options;
    options.faults.garbage_before_reply = 16;
    start(options);
    doip_s ctx = context_for(port());
    ctx.t_tcp_initial_inactivity_ms = 500;
    EXPECT_EQ(doip_activate(1, &ctx), DOIP_ERR_TIMEOUT);
    EXPECT_TRUE(eventually([&] { return !layer().is_open(1); }));
    EXPECT_TRUE(LogCapture::contains("bad DoIP header")) << LogCapture::all();
    EXPECT_TRUE(LogCapture::contains("connection closed")) << LogCapture::all();
    EXPECT_EQ(layer().stats().stream_errors, 1u);
    EXPECT_EQ(layer().stats().messages_appended, 0u);
    EXPECT_EQ(layer().send(1, reinterpret_cast<const uint8_t*>("x"), 1), doip_tools::DOIP_SOCKET_ERR_CLOSED);
    // The simulator sees the close too.
    EXPECT_TRUE(eventually([&] { return simulator().open_connections() == 0; }));
    doip_uninitialize(1, &ctx);
    EXPECT_EQ(layer().connection_count(), 0u);
}

TEST_F(FaultE2e, CloseInTheMiddleOfAMessageAppendsNothingAndIsLogged) {
    doip_tools::SimulatorOptions options;
    options.faults.close_mid_message = true;
    start(options);
    doip_s ctx = context_for(port());
    ctx.t_tcp_initial_inactivity_ms = 500;
    EXPECT_EQ(doip_activate(1, &ctx), DOIP_ERR_TIMEOUT);
    EXPECT_TRUE(eventually([&] { return !layer().is_open(1); }));
    EXPECT_TRUE(
        LogCapture::contains("closed by the peer in the middle of a message (10 bytes of it received"))
        << LogCapture::all();
    EXPECT_EQ(layer().stats().messages_appended, 0u);
    EXPECT_EQ(doip_msg_cache_count(0), 0);
    EXPECT_EQ(doip_msg_cache_count(1), 0);
    doip_uninitialize(1, &ctx);
    EXPECT_EQ(layer().connection_count(), 0u);
}

class SmallLimitE2e : public E2eTest {
  protected:
    SmallLimitE2e() { max_payload_length_ = 8; }
};

TEST_F(SmallLimitE2e, MessageAboveTheLimitClosesTheConnection) {
    start();
    doip_s ctx = context_for(port());
    ctx.t_tcp_initial_inactivity_ms = 500;
    EXPECT_EQ(doip_activate(1, &ctx),
              DOIP_ERR_TIMEOUT);  // the 13-byte payload of the reply is over the limit
    EXPECT_TRUE(eventually([&] { return !layer().is_open(1); }));
    EXPECT_TRUE(LogCapture::contains("announces 13 payload bytes, more than the limit of 8"))
        << LogCapture::all();
    EXPECT_EQ(layer().stats().messages_appended, 0u);
}

TEST_F(FaultE2e, ReconnectAfterDeleteState) {
    start();
    doip_s ctx = context_for(port());
    ASSERT_EQ(doip_activate(2, &ctx), DOIP_OK);
    const uint32_t first_serial = layer().serial(2);

    doip_uninitialize(2, &ctx);
    EXPECT_FALSE(layer().is_open(2));
    EXPECT_TRUE(eventually([&] { return simulator().open_connections() == 0; }));
    delete_doip_state(&ctx);
    EXPECT_EQ(state_of(ctx), DOIP_STATE_NONE);

    ASSERT_EQ(doip_activate(2, &ctx), DOIP_OK) << LogCapture::all();
    EXPECT_EQ(state_of(ctx), DOIP_STATE_ACTIVATED);
    EXPECT_TRUE(layer().is_open(2));
    EXPECT_NE(layer().serial(2), first_serial);
    EXPECT_EQ(simulator().stats().connections, 2u);
    EXPECT_EQ(simulator().stats().activations, 2u);

    // The new connection carries diagnostic messages.
    const unsigned char uds[] = {0x3E, 0x00};
    unsigned char request[14];
    ASSERT_EQ(doip_diag_request(&ctx, uds, sizeof uds, request, sizeof request), DOIP_OK);
    ASSERT_EQ(layer().send(2, request, sizeof request), DOIP_OK);
    doip_message_s response{};
    const uint8_t pattern[] = {0x02, 0xFD, 0x80, 0x01};
    doip_message_init(&response, pattern, sizeof pattern);
    response.channel = 2;
    ASSERT_EQ(doip_wait_message(1, &ctx, &response), DOIP_OK);
    EXPECT_EQ(response.aux2, layer().serial(2));
    doip_message_destory(&response);
}

TEST_F(FaultE2e, ReconnectAfterUninitializeAndDeleteStateTwentyTimes) {
    start();
    doip_s ctx = context_for(port());
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(doip_activate(1, &ctx), DOIP_OK) << "round " << i << "\n" << LogCapture::all();
        doip_uninitialize(1, &ctx);
        delete_doip_state(&ctx);
    }
    EXPECT_EQ(simulator().stats().activations, 20u);
    EXPECT_EQ(layer().connection_count(), 0u);
}

// Without delete_doip_state the registry still says "activated": doip_activate returns 0 at once and opens
// nothing, so the application must forget a closed connection before it activates it again.
TEST_F(FaultE2e, WithoutDeleteStateTheClosedConnectionCountsAsActivated) {
    start();
    doip_s ctx = context_for(port());
    ASSERT_EQ(doip_activate(1, &ctx), DOIP_OK);
    doip_uninitialize(1, &ctx);
    EXPECT_EQ(doip_activate(1, &ctx), DOIP_OK);
    EXPECT_FALSE(layer().is_open(1));
    EXPECT_EQ(layer().stats().connections_opened, 1u);
}

TEST_F(FaultE2e, PeerCloseBetweenMessagesIsAnOrderlyClose) {
    start();
    doip_s ctx = context_for(port());
    ASSERT_EQ(doip_activate(1, &ctx), DOIP_OK);
    simulator().stop();
    EXPECT_TRUE(eventually([&] { return !layer().is_open(1); }));
    EXPECT_TRUE(LogCapture::contains("closed by the peer")) << LogCapture::all();
    EXPECT_EQ(layer().stats().stream_errors, 0u);
    EXPECT_EQ(layer().stats().peer_closes, 1u);
}

}  // namespace
}  // namespace doip_e2e
