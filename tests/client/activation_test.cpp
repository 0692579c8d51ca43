#include "doip.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "client/fake_entity.h"
#include "client/test_support.h"

namespace {

using doip_test::FakeEntity;
using doip_test::make_context;

class Activation : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_doip_state();
        doip_test::drain_default_queue();
        ctx_ = make_context("127.0.0.1", 0, "127.0.0.2", 13400);
        ctx_.t_tcp_initial_inactivity_ms = 300;
    }
    void TearDown() override {
        reset_doip_state();
        doip_test::drain_default_queue();
    }

    int state() const {
        int s = -1;
        get_doip_state(&ctx_, &s);
        return s;
    }

    static bool logged(const std::vector<std::string>& lines, const std::string& line) {
        for (const auto& l : lines) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }

    doip_s ctx_{};
};

TEST_F(Activation, GrantedActivationSendsTheRequestAndStoresStateZero) {
    FakeEntity entity;
    ASSERT_EQ(doip_activate(0, &ctx_), DOIP_OK);
    EXPECT_EQ(state(), DOIP_STATE_ACTIVATED);
    EXPECT_EQ(entity.opens, 1);
    EXPECT_EQ(entity.sends, 1);
    const std::vector<uint8_t> expected = {0x02, 0xFD, 0x00, 0x05, 0x00, 0x00, 0x00, 0x0B, 0x0E, 0xF5,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(entity.last_request, expected);
    EXPECT_GE(ctx_.local.port, 10000);
    EXPECT_LE(ctx_.local.port, 19999);
}

TEST_F(Activation, NewPortIsLoggedWithTheLocalAddress) {
    FakeEntity entity;
    ASSERT_EQ(doip_activate(0, &ctx_), DOIP_OK);
    EXPECT_TRUE(logged(entity.logs(), "创建TCP链接127.0.0.1:" + std::to_string(ctx_.local.port)));
}

TEST_F(Activation, SecondActivationReusesThePortAndOpensNothing) {
    FakeEntity entity;
    ASSERT_EQ(doip_activate(0, &ctx_), DOIP_OK);
    doip_s again = make_context("127.0.0.1", 1, "127.0.0.2", 13400);
    ASSERT_EQ(doip_activate(0, &again), DOIP_OK);
    EXPECT_EQ(again.local.port, ctx_.local.port);
    EXPECT_EQ(entity.opens, 1);
    EXPECT_EQ(entity.sends, 1);
}

TEST_F(Activation, PortOfAnEntryIsReusedWhateverItsState) {
    FakeEntity entity;
    doip_s earlier = make_context("127.0.0.1", 15555, "127.0.0.2", 13400);
    set_doip_state(&earlier, DOIP_STATE_UNKNOWN_SOURCE);
    ASSERT_EQ(doip_activate(0, &ctx_), DOIP_OK);
    EXPECT_EQ(ctx_.local.port, 15555);
}

TEST_F(Activation, DrawsInTheSameSecondGiveTheSamePort) {
    FakeEntity entity;
    for (int attempt = 0; attempt < 5; ++attempt) {
        reset_doip_state();
        doip_s a = make_context("127.0.0.1", 0, "127.0.0.20", 13400);
        doip_s b = make_context("127.0.0.1", 0, "127.0.0.21", 13400);
        const std::time_t before = std::time(nullptr);
        ASSERT_EQ(doip_activate(0, &a), DOIP_OK);
        ASSERT_EQ(doip_activate(0, &b), DOIP_OK);
        if (std::time(nullptr) == before) {
            EXPECT_EQ(a.local.port, b.local.port);
            return;
        }
    }
    GTEST_SKIP() << "every attempt crossed a second boundary";
}

struct ResponseRow {
    uint8_t response_code;
    int result;
    int state;
};

class ActivationResponse : public Activation, public ::testing::WithParamInterface<ResponseRow> {};

TEST_P(ActivationResponse, ResponseCodeGivesItsResultAndState) {
    const ResponseRow row = GetParam();
    FakeEntity entity;
    entity.response_code = row.response_code;
    EXPECT_EQ(doip_activate(0, &ctx_), row.result);
    EXPECT_EQ(state(), row.state);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ActivationResponse,
    ::testing::Values(ResponseRow{0x10, DOIP_OK, DOIP_STATE_ACTIVATED},
                      ResponseRow{0x03, DOIP_OK, DOIP_STATE_ACTIVATED},
                      ResponseRow{0x05, DOIP_RA_CONFIRMATION_REQUIRED, DOIP_STATE_CONFIRMATION},
                      ResponseRow{0x11, DOIP_RA_CONFIRMATION_REQUIRED, DOIP_STATE_CONFIRMATION},
                      ResponseRow{0x06, DOIP_RA_UNSUPPORTED_TYPE, DOIP_STATE_UNSUPPORTED_TYPE},
                      ResponseRow{0x00, DOIP_RA_UNKNOWN_SOURCE_ADDRESS, DOIP_STATE_UNKNOWN_SOURCE},
                      ResponseRow{0x01, DOIP_RA_ALL_SOCKETS_ACTIVE, DOIP_STATE_PENDING},
                      ResponseRow{0x02, DOIP_RA_SA_DIFFERENT, DOIP_STATE_PENDING},
                      ResponseRow{0x04, DOIP_RA_MISSING_AUTHENTICATION, DOIP_STATE_NO_AUTHENTICATION},
                      ResponseRow{0x07, DOIP_RA_REQUIRES_TLS, DOIP_STATE_TLS_REQUIRED},
                      // Unlisted codes grant routing.
                      ResponseRow{0x08, DOIP_OK, DOIP_STATE_ACTIVATED},
                      ResponseRow{0xFF, DOIP_OK, DOIP_STATE_ACTIVATED}));

TEST_F(Activation, RefusalIsLoggedWithTheEnglishText) {
    FakeEntity entity;
    entity.response_code = 0x00;
    EXPECT_EQ(doip_activate(0, &ctx_), DOIP_RA_UNKNOWN_SOURCE_ADDRESS);
    EXPECT_TRUE(logged(entity.logs(),
                       "路由激活失败,(0x00) Routing activation denied due to unknown source address."));
}

TEST_F(Activation, ConfirmationCodesLogTheConfirmationText) {
    FakeEntity entity;
    entity.response_code = 0x05;
    EXPECT_EQ(doip_activate(0, &ctx_), DOIP_RA_CONFIRMATION_REQUIRED);
    EXPECT_TRUE(logged(entity.logs(), "路由激活失败,(0x11) Routing is activated; confirmation required."));
}

TEST_F(Activation, SilentEntityTimesOutWithMinus26AndLogs) {
    FakeEntity entity;
    entity.silent = true;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(doip_activate(0, &ctx_), DOIP_ERR_TIMEOUT);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_TRUE(logged(entity.logs(), "路由激活失败，未收到响应报文"));
    EXPECT_EQ(state(), DOIP_STATE_PENDING);
}

TEST_F(Activation, ReplyOnAnotherChannelIsNotTaken) {
    FakeEntity entity;
    entity.reply_channel = 3;
    EXPECT_EQ(doip_activate(0, &ctx_), DOIP_ERR_TIMEOUT);
    EXPECT_EQ(doip_msg_cache_count(3), 1);  // still on the application's queue
}

TEST_F(Activation, ReplyWithAnotherVersionIsNotTaken) {
    FakeEntity entity;
    entity.reply_version = 0x03;
    EXPECT_EQ(doip_activate(0, &ctx_), DOIP_ERR_TIMEOUT);
}

TEST_F(Activation, ReplyCutBelow17BytesGivesMinus9AndUnknownErrorText) {
    FakeEntity entity;
    entity.cut_reply_to = 16;
    EXPECT_EQ(doip_activate(0, &ctx_), DOIP_ERR_INPUT_TOO_SHORT);
    EXPECT_TRUE(logged(entity.logs(), "路由激活失败,Unkown Error"));
    EXPECT_EQ(state(), DOIP_STATE_PENDING);
}

TEST_F(Activation, FailingOpenReturnsItsCodeAndRegistersNoListener) {
    FakeEntity entity;
    entity.open_result = -1234;
    EXPECT_EQ(doip_activate(0, &ctx_), -1234);
    EXPECT_TRUE(logged(entity.logs(), "路由激活失败，未成功创建TCP链接"));
    EXPECT_EQ(entity.sends, 0);
    EXPECT_EQ(state(), DOIP_STATE_NONE);
    doip_test::append({1, 2, 3}, 42);
    EXPECT_EQ(doip_msg_cache_count(42), 1);  // only the application's queue exists
}

TEST_F(Activation, MissingOpenFunctionGivesMinus23) {
    FakeEntity entity;
    doip_set_socket_ops(doip_socket_ops_s{});
    EXPECT_EQ(doip_activate(0, &ctx_), DOIP_ERR_NO_SOCKET_OPEN);
    EXPECT_TRUE(logged(entity.logs(), "doip_socket_open == nullptr"));
}

TEST_F(Activation, FailingSendIsReturnedWithoutALogLineAndTheListenerIsGone) {
    FakeEntity entity;
    entity.send_result = 55;
    EXPECT_EQ(doip_activate(0, &ctx_), 55);
    EXPECT_EQ(state(), DOIP_STATE_PENDING);
    for (const auto& line : entity.logs()) {
        EXPECT_EQ(line.rfind("路由激活失败", 0), std::string::npos) << line;
    }
    doip_test::append({1}, 43);
    EXPECT_EQ(doip_msg_cache_count(43), 1);
}

TEST_F(Activation, NoLoggerStillReturnsTheCode) {
    FakeEntity entity;
    doip_set_logger_ops(nullptr);
    entity.response_code = 0x04;
    EXPECT_EQ(doip_activate(0, &ctx_), DOIP_RA_MISSING_AUTHENTICATION);
}

TEST_F(Activation, ConcurrentActivationsTimersAndAppendsAreSafe) {
    FakeEntity entity;
    std::atomic<bool> done{false};
    std::thread noise([&] {
        while (!done) {
            doip_test::append({0x02, 0xFD, 0x80, 0x01, 0, 0, 0, 0}, 9);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<std::thread> testers;
    std::atomic<int> granted{0};
    for (int i = 0; i < 4; ++i) {
        testers.emplace_back([i, &granted] {
            doip_s ctx = make_context("127.0.0.1", 0, ("127.0.1." + std::to_string(i + 1)).c_str(), 13400);
            ctx.t_tcp_initial_inactivity_ms = 5000;
            if (doip_activate(static_cast<uint8_t>(i), &ctx) == DOIP_OK) {
                ++granted;
            }
            start_timer_a_doip_ctrl(
                &ctx, 60000.0, [](void*) {}, nullptr);
            delete_timer(&ctx, DOIP_TIMER_A_DOIP_CTRL);
        });
    }
    for (auto& t : testers) {
        t.join();
    }
    done = true;
    noise.join();
    EXPECT_EQ(granted, 4);
    EXPECT_EQ(entity.opens, 4);
    doip_clear_message(9);
}

TEST(ActivationRequest, BuildsFifteenBytesWithoutOemField) {
    reset_doip_state();
    doip_s ctx = make_context("10.0.0.1", 10001, "10.0.0.2", 13400);
    ctx.oem_specific_present = 0;
    ctx.activation_type = 0xE0;
    uint8_t out[20];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(doip_activate_request(&ctx, out, sizeof out), DOIP_OK);
    const std::vector<uint8_t> expected = {0x02, 0xFD, 0x00, 0x05, 0x00, 0x00, 0x00, 0x07,
                                           0x0E, 0xF5, 0xE0, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(out, out + 15), expected);
    EXPECT_EQ(out[15], 0);  // the whole capacity was zeroed first
    int s = -1;
    get_doip_state(&ctx, &s);
    EXPECT_EQ(s, DOIP_STATE_PENDING);
    reset_doip_state();
}

TEST(ActivationRequest, OemFieldIsBigEndianAtOffset15) {
    doip_s ctx = make_context("10.0.0.1", 10001, "10.0.0.2", 13400);
    ctx.oem_specific = 0x11223344;
    uint8_t out[19];
    ASSERT_EQ(doip_activate_request(&ctx, out, sizeof out), DOIP_OK);
    EXPECT_EQ(out[7], 0x0B);
    EXPECT_EQ(out[15], 0x11);
    EXPECT_EQ(out[18], 0x44);
    reset_doip_state();
}

TEST(ActivationRequest, ShortOrMissingBufferStillSetsStatePending) {
    reset_doip_state();
    doip_s ctx = make_context("10.0.0.1", 10001, "10.0.0.2", 13400);
    ctx.oem_specific_present = 0;
    uint8_t out[14];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(doip_activate_request(&ctx, out, sizeof out), DOIP_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(out[0], 0);  // zeroed up to the capacity
    int s = -1;
    get_doip_state(&ctx, &s);
    EXPECT_EQ(s, DOIP_STATE_PENDING);
    delete_doip_state(&ctx);
    EXPECT_EQ(doip_activate_request(&ctx, nullptr, 15), DOIP_ERR_NULL_OUTPUT);
    get_doip_state(&ctx, &s);
    EXPECT_EQ(s, DOIP_STATE_PENDING);
    reset_doip_state();
}

TEST(ActivationResponseParse, ParseFailureStoresNothing) {
    reset_doip_state();
    doip_s ctx = make_context("10.0.0.1", 10001, "10.0.0.2", 13400);
    const uint8_t cut[16] = {0x02, 0xFD, 0x00, 0x06, 0, 0, 0, 9};
    EXPECT_EQ(doip_activate_response(&ctx, cut, sizeof cut), DOIP_ERR_INPUT_TOO_SHORT);
    int s = -1;
    get_doip_state(&ctx, &s);
    EXPECT_EQ(s, DOIP_STATE_NONE);
}

TEST(ActivationResponseParse, UnlistedCodeLeavesTheRegistryAlone) {
    reset_doip_state();
    doip_s ctx = make_context("10.0.0.1", 10001, "10.0.0.2", 13400);
    set_doip_state(&ctx, 6);
    const uint8_t reply[17] = {0x02, 0xFD, 0x00, 0x06, 0, 0, 0, 9, 0x0E, 0xF5, 0x0C, 0xE1, 0x08};
    EXPECT_EQ(doip_activate_response(&ctx, reply, sizeof reply), DOIP_OK);
    int s = -1;
    get_doip_state(&ctx, &s);
    EXPECT_EQ(s, 6);
    reset_doip_state();
}

}  // namespace
