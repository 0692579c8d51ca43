#include "doip.h"

#include <gtest/gtest.h>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include "client/test_support.h"

namespace {
using namespace doip_test;
using Lines = std::vector<std::string>;

class Activation : public ClientTest {
  protected:
    void SetUp() override {
        ClientTest::SetUp();
        ctx_ = make_context("127.0.0.1", 0, "127.0.0.2", 13400);
        ctx_.t_tcp_initial_inactivity_ms = 300;
    }
    doip_s ctx_{};
};

TEST_F(Activation, GrantedActivationSendsTheRequestLogsTheNewPortAndStoresStateZero) {
    FakeEntity entity;
    ASSERT_EQ(doip_activate(0, &ctx_), DOIP_OK);
    EXPECT_EQ(state_of(ctx_), DOIP_STATE_ACTIVATED);
    EXPECT_EQ(entity.opens, 1);
    EXPECT_EQ(entity.last_request,
              Bytes({2, 0xFD, 0, 5, 0, 0, 0, 0x0B, 0x0E, 0xF5, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(ctx_.local.port >= 10000 && ctx_.local.port <= 19999) << ctx_.local.port;
    EXPECT_EQ(entity.log_lines, Lines{"创建TCP链接127.0.0.1:" + std::to_string(ctx_.local.port)});
}

// The port of an earlier entry to the same entity is taken whatever its state; state 0 then skips it all.
TEST_F(Activation, PortOfAnEarlierEntryIsReusedAndStateZeroOpensNothing) {
    FakeEntity entity;
    const doip_s earlier = make_context("127.0.0.1", 15555, "127.0.0.2", 13400);
    set_doip_state(&earlier, DOIP_STATE_UNKNOWN_SOURCE);
    ASSERT_EQ(doip_activate(0, &ctx_), DOIP_OK);
    doip_s again = make_context("127.0.0.1", 1, "127.0.0.2", 13400);
    ASSERT_EQ(doip_activate(0, &again), DOIP_OK);
    EXPECT_EQ(ctx_.local.port, 15555);
    EXPECT_EQ(again.local.port, 15555);
    EXPECT_EQ(std::pair(entity.opens.load(), entity.sends.load()), std::pair(1, 1));
    EXPECT_TRUE(entity.log_lines.empty());
}

// The port generator is seeded with the calendar time before each draw.
TEST_F(Activation, DrawsInTheSameSecondGiveTheSamePort) {
    FakeEntity entity;
    doip_s a = make_context("127.0.0.1", 0, "127.0.0.20", 13400);
    doip_s b = make_context("127.0.0.1", 0, "127.0.0.21", 13400);
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(doip_activate(0, &a), DOIP_OK);
    ASSERT_EQ(doip_activate(0, &b), DOIP_OK);
    if (std::time(nullptr) != before) {
        GTEST_SKIP() << "the draws crossed a second boundary";
    }
    EXPECT_EQ(a.local.port, b.local.port);
}

// Each response code gives its result, registry state and log line; unlisted codes grant routing; a reply
// cut below 17 bytes matches the pattern but does not parse.
TEST_F(Activation, ResponseGivesItsResultStateAndLogLine) {
    const struct {
        uint8_t code;
        size_t size;
        int result, state;
        std::string logged;  // after "路由激活失败,"; empty: no failure line
    } rows[] = {{0x10, 17, DOIP_OK, DOIP_STATE_ACTIVATED, ""},
                {0x03, 17, DOIP_OK, DOIP_STATE_ACTIVATED, ""},
                {0x05, 17, DOIP_RA_CONFIRMATION_REQUIRED, DOIP_STATE_CONFIRMATION,
                 "(0x11) Routing is activated; confirmation required."},
                {0x11, 17, DOIP_RA_CONFIRMATION_REQUIRED, DOIP_STATE_CONFIRMATION,
                 "(0x11) Routing is activated; confirmation required."},
                {0x06, 17, DOIP_RA_UNSUPPORTED_TYPE, DOIP_STATE_UNSUPPORTED_TYPE,
                 "(0x06) Routing activation denied due to unsupported routing activation type."},
                {0x00, 17, DOIP_RA_UNKNOWN_SOURCE_ADDRESS, DOIP_STATE_UNKNOWN_SOURCE,
                 "(0x00) Routing activation denied due to unknown source address."},
                {0x01, 17, DOIP_RA_ALL_SOCKETS_ACTIVE, DOIP_STATE_PENDING,
                 "(0x01) Routing activation denied because all concurrently supported TCP_DATA sockets "
                 "are registered and active."},
                {0x02, 17, DOIP_RA_SA_DIFFERENT, DOIP_STATE_PENDING,
                 "(0x02) Routing activation denied because the SA received is different from the table "
                 "connection entry on the already activated TCP_DATA socket."},
                {0x04, 17, DOIP_RA_MISSING_AUTHENTICATION, DOIP_STATE_NO_AUTHENTICATION,
                 "(0x04) Routing activation denied due to missing authentication."},
                {0x07, 17, DOIP_RA_REQUIRES_TLS, DOIP_STATE_TLS_REQUIRED,
                 "(0x07) Routing activation denied because the specified activation type requires a "
                 "secure TLS TCP_DATA socket."},
                {0x08, 17, DOIP_OK, DOIP_STATE_ACTIVATED, ""},
                {0x10, 16, DOIP_ERR_INPUT_TOO_SHORT, DOIP_STATE_PENDING, "Unkown Error"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.code));
        reset_doip_state();
        FakeEntity entity;
        entity.response_code = row.code;
        entity.reply_size = row.size;
        EXPECT_EQ(doip_activate(0, &ctx_), row.result);
        EXPECT_EQ(state_of(ctx_), row.state);
        EXPECT_EQ(entity.lines_after_port(),
                  row.logged.empty() ? Lines() : Lines{"路由激活失败," + row.logged});
    }
}

// No reply, a reply on another channel, a reply with another version.
TEST_F(Activation, WithoutAMatchingReplyTheWaitEndsWithMinus26AfterItsLimit) {
    for (const auto& [channel, version] : {std::pair<uint8_t, uint8_t>{0, 2}, {3, 2}, {0, 3}}) {
        FakeEntity entity;
        entity.silent = channel == 0 && version == 2;
        entity.reply_channel = channel;
        entity.reply_version = version;
        const auto start = Clock::now();
        EXPECT_EQ(doip_activate(0, &ctx_), DOIP_ERR_TIMEOUT);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(entity.lines_after_port(), Lines{"路由激活失败，未收到响应报文"});
        EXPECT_EQ(state_of(ctx_), DOIP_STATE_PENDING);
    }
    EXPECT_EQ(doip_msg_cache_count(3), 1);  // the reply on channel 3 stays on the default queue
}

// No open function, a failing open and a failing send: the code comes back (also without a logger), and no
// listener is left behind.
TEST_F(Activation, SocketFailuresAreReturnedAsTheyCame) {
    const struct {
        bool no_open, logger;
        int open_result, send_result, result, state;
        Lines logged;
    } cases[] = {
        {true, true, 0, 0, DOIP_ERR_NO_SOCKET_OPEN, DOIP_STATE_NONE, {"doip_socket_open == nullptr"}},
        {true, false, 0, 0, DOIP_ERR_NO_SOCKET_OPEN, DOIP_STATE_NONE, {}},
        {false, true, -1234, 0, -1234, DOIP_STATE_NONE, {"路由激活失败，未成功创建TCP链接"}},
        {false, true, 0, 55, 55, DOIP_STATE_PENDING, {}}};
    for (const auto& c : cases) {
        reset_doip_state();
        FakeEntity entity;
        entity.open_result = c.open_result;
        entity.send_result = c.send_result;
        if (c.no_open) {
            doip_set_socket_ops(doip_socket_ops_s{});
        }
        if (!c.logger) {
            doip_set_logger_ops(nullptr);
        }
        EXPECT_EQ(doip_activate(0, &ctx_), c.result);
        EXPECT_EQ(state_of(ctx_), c.state);
        EXPECT_EQ(entity.sends, c.send_result != 0 ? 1 : 0);
        EXPECT_EQ(entity.lines_after_port(), c.logged);
        append({1}, 42);
        EXPECT_EQ(doip_msg_cache_count(42), 1);
        doip_clear_message(42);
    }
}

// Two entities with the same long address text and different ports must not share a connection key: such
// texts are refused before any socket function runs, rather than cut into one key.
TEST_F(Activation, AddressTextsThatFormNoKeyAreRefusedBeforeAnySocketIsOpened) {
    FakeEntity entity;
    entity.inline_reply = true;
    const std::string name = "diagnostic-gateway.vehicle-under-test.example";
    for (uint16_t port : {13400, 13401}) {
        doip_s ctx = ctx_;
        std::strncpy(ctx.remote.ip_address, name.c_str(), sizeof ctx.remote.ip_address - 1);
        ctx.remote.port = port;
        EXPECT_EQ(doip_activate(0, &ctx), DOIP_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(ctx.local.port, 0);
    }
    EXPECT_EQ(std::pair(entity.opens.load(), entity.sends.load()), std::pair(0, 0));
    EXPECT_TRUE(entity.log_lines.empty());
}

// The receive side may hand the reply over before the activation starts to wait, here inside the send.
TEST_F(Activation, ReplyAppendedBeforeTheWaitStartsIsTakenAtOnce) {
    FakeEntity entity;
    entity.inline_reply = true;
    ctx_.t_tcp_initial_inactivity_ms = 10000;
    const auto start = Clock::now();
    EXPECT_EQ(doip_activate(0, &ctx_), DOIP_OK);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(state_of(ctx_), DOIP_STATE_ACTIVATED);
}

// Every activation registers a listener with a new id. However many came before, a new one must neither
// share the default queue nor inherit a queue (and an old reply) of an earlier one.
TEST_F(Activation, MoreThan256ListenersKeepTheirQueuesApart) {
    FakeEntity entity;
    entity.inline_reply = true;
    append({0xAB}, 7);
    std::vector<Bytes> replies{{0xAB}};
    for (int i = 0; i < 300; ++i) {
        reset_doip_state();
        entity.response_code = i % 3 == 0 ? 0x00 : 0x10;
        replies.push_back(entity.reply());
        ASSERT_EQ(doip_activate(0, &ctx_), i % 3 == 0 ? int{DOIP_RA_UNKNOWN_SOURCE_ADDRESS} : int{DOIP_OK})
            << i;
    }
    EXPECT_EQ(entity.sends, 300);
    EXPECT_EQ(drain(), replies);
}

// While the activation runs, a message sits on the default queue and on the activation's own queue.
TEST_F(Activation, MessageIsCountedOncePerQueueThatHoldsIt) {
    FakeEntity entity;
    entity.inline_reply = true;
    int during = -1;
    entity.after_inline_reply = [&] {
        append({0x01}, 5);  // queued behind the reply: the wait leaves it on its queue
        during = doip_msg_cache_count(5);
    };
    ASSERT_EQ(doip_activate(0, &ctx_), DOIP_OK);
    EXPECT_EQ(during, 2);
    EXPECT_EQ(doip_msg_cache_count(5), 1);
}

// Threads that append, activate their own connection and start and delete timers: nothing lost, no timer
// fires.
TEST_F(Activation, ConcurrentActivationsTimersAndAppendsAreSafe) {
    FakeEntity entity;
    std::vector<std::thread> testers;
    std::atomic<int> granted{0};
    for (uint8_t i = 1; i <= 4; ++i) {
        testers.emplace_back([i, &granted] {
            doip_s ctx = make_context("127.0.0.1", 0, ("127.0.1." + std::to_string(i)).c_str(), 13400);
            ctx.t_tcp_initial_inactivity_ms = 5000;
            for (int n = 0; n < 200; ++n) {
                append({0x02, 0xFD, 0x80, 0x01, 0, 0, 0, 0}, uint8_t(10 + i));
            }
            granted += doip_activate(i, &ctx) == DOIP_OK ? 1 : 0;
            for (int n = 0; n < 50; ++n) {
                start_timer_a_doip_ctrl(
                    &ctx, 100.0, [](void*) { ADD_FAILURE() << "a deleted timer fired"; }, nullptr);
                delete_timer(&ctx, DOIP_TIMER_A_DOIP_CTRL);
            }
        });
    }
    for (auto& t : testers) {
        t.join();
    }
    EXPECT_EQ(granted, 4);
    EXPECT_EQ(entity.opens, 4);
    for (uint8_t i = 1; i <= 4; ++i) {
        EXPECT_EQ(doip_msg_cache_count(uint8_t(10 + i)), 200);
    }
}

// The request half alone: 15 or 19 bytes into a zeroed buffer, and state 2 whatever the result.
TEST_F(Activation, HalvesBuildTheRequestAndInterpretTheResponse) {
    ctx_.activation_type = 0xE0;
    ctx_.oem_specific = 0x11223344;
    const Bytes oem = {2, 0xFD, 0, 5, 0, 0, 0, 0x0B, 0x0E, 0xF5, 0xE0, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44};
    const Bytes plain = {2, 0xFD, 0, 5, 0, 0, 0, 0x07, 0x0E, 0xF5, 0xE0, 0, 0, 0, 0};
    const struct {
        uint8_t oem_present;
        uint32_t capacity;
        int result;
        Bytes written;
    } cases[] = {{1, 20, DOIP_OK, oem},
                 {0, 20, DOIP_OK, plain},
                 {1, 18, DOIP_ERR_BUFFER_TOO_SMALL, {}},
                 {0, 14, DOIP_ERR_BUFFER_TOO_SMALL, {}},
                 {0, 0, DOIP_ERR_NULL_OUTPUT, {}}};
    for (const auto& c : cases) {
        reset_doip_state();
        ctx_.oem_specific_present = c.oem_present;
        Bytes out(c.capacity, 0xEE), want = c.written;
        want.resize(c.capacity, 0);
        EXPECT_EQ(doip_activate_request(&ctx_, c.capacity ? out.data() : nullptr, c.capacity), c.result);
        EXPECT_EQ(out, want);
        EXPECT_EQ(state_of(ctx_), DOIP_STATE_PENDING);
    }
    // The response half stores nothing for a reply that does not parse, nor for an unlisted code.
    reset_doip_state();
    const uint8_t cut[16] = {0x02, 0xFD, 0x00, 0x06, 0, 0, 0, 9};
    EXPECT_EQ(doip_activate_response(&ctx_, cut, sizeof cut), DOIP_ERR_INPUT_TOO_SHORT);
    EXPECT_EQ(state_of(ctx_), DOIP_STATE_NONE);
    set_doip_state(&ctx_, 6);
    const uint8_t reply[17] = {0x02, 0xFD, 0x00, 0x06, 0, 0, 0, 9, 0x0E, 0xF5, 0x0C, 0xE1, 0x08};
    EXPECT_EQ(doip_activate_response(&ctx_, reply, sizeof reply), DOIP_OK);
    EXPECT_EQ(state_of(ctx_), 6);
}

std::vector<std::pair<uint8_t, doip_s*>> g_closes;

// The close result is not passed on; a new table replaces the old one whole.
TEST_F(Activation, UninitializeCallsTheCloseFunctionOfTheCurrentTableOnce) {
    EXPECT_EQ(doip_init(nullptr), DOIP_OK);
    g_closes.clear();
    EXPECT_EQ(doip_uninitialize(3, &ctx_), DOIP_OK);
    doip_socket_ops_s ops{};
    ops.doip_socket_close = [](uint8_t channel, doip_s* ctx) {
        return g_closes.emplace_back(channel, ctx), 77;
    };
    ASSERT_EQ(doip_set_socket_ops(ops), DOIP_OK);
    EXPECT_EQ(doip_uninitialize(42, &ctx_), DOIP_OK);
    doip_set_socket_ops(doip_socket_ops_s{});
    EXPECT_EQ(doip_uninitialize(1, &ctx_), DOIP_OK);
    EXPECT_EQ(g_closes, (std::vector<std::pair<uint8_t, doip_s*>>{{42, &ctx_}}));
}
}  // namespace
