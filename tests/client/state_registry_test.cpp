#include "doip.h"

#include <gtest/gtest.h>

#include <cstring>

#include "client/test_support.h"

namespace {

using doip_test::make_context;

class StateRegistry : public ::testing::Test {
  protected:
    void SetUp() override { reset_doip_state(); }
    void TearDown() override { reset_doip_state(); }

    static int state_of(const doip_s& ctx) {
        int state = -1;
        EXPECT_EQ(get_doip_state(&ctx, &state), DOIP_OK);
        return state;
    }
};

TEST_F(StateRegistry, MissingEntryReadsAsOneWhateverThePresetValue) {
    const doip_s ctx = make_context("10.0.0.2", 10001, "10.0.0.10", 13400);
    EXPECT_EQ(state_of(ctx), DOIP_STATE_NONE);
}

TEST_F(StateRegistry, SecondSetOverwritesTheFirst) {
    const doip_s ctx = make_context("10.0.0.2", 10001, "10.0.0.10", 13400);
    EXPECT_EQ(set_doip_state(&ctx, 2), DOIP_OK);
    EXPECT_EQ(set_doip_state(&ctx, 0), DOIP_OK);
    EXPECT_EQ(state_of(ctx), 0);
}

TEST_F(StateRegistry, RecordsWithEqualEndPointsShareOneEntry) {
    const doip_s a = make_context("10.0.0.2", 10001, "10.0.0.10", 13400);
    doip_s b = make_context("10.0.0.2", 10001, "10.0.0.10", 13400);
    b.source_address = 0x1111;  // not part of the key
    set_doip_state(&a, 6);
    EXPECT_EQ(state_of(b), 6);
}

TEST_F(StateRegistry, KeysAreExactTexts) {
    const doip_s a = make_context("10.0.0.1", 10001, "10.0.0.10", 13400);
    const doip_s leading_zero = make_context("10.0.0.01", 10001, "10.0.0.10", 13400);
    const doip_s other_port = make_context("10.0.0.1", 10002, "10.0.0.10", 13400);
    set_doip_state(&a, 0);
    EXPECT_EQ(state_of(leading_zero), DOIP_STATE_NONE);
    EXPECT_EQ(state_of(other_port), DOIP_STATE_NONE);
}

TEST_F(StateRegistry, DefaultContextKeyIsColonPortCommaColonPort) {
    doip_s ctx;
    doip_init(&ctx);
    set_doip_state(&ctx, 4);
    eth_config_s targets[2];
    int count = 2;
    ASSERT_EQ(get_doip_targets(targets, &count), DOIP_OK);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(targets[0].ip_address, "");
    EXPECT_EQ(targets[0].port, 10001);
}

TEST_F(StateRegistry, DeleteRemovesOnlyItsOwnEntry) {
    const doip_s a = make_context("10.0.0.2", 10001, "10.0.0.10", 13400);
    const doip_s b = make_context("10.0.0.3", 10001, "10.0.0.10", 13400);
    set_doip_state(&a, 0);
    set_doip_state(&b, 2);
    EXPECT_EQ(delete_doip_state(&a), DOIP_OK);
    EXPECT_EQ(delete_doip_state(&a), DOIP_OK);
    EXPECT_EQ(state_of(a), DOIP_STATE_NONE);
    EXPECT_EQ(state_of(b), 2);
}

TEST_F(StateRegistry, ResetClearsEverything) {
    const doip_s a = make_context("10.0.0.2", 10001, "10.0.0.10", 13400);
    set_doip_state(&a, 0);
    EXPECT_EQ(reset_doip_state(), DOIP_OK);
    EXPECT_EQ(state_of(a), DOIP_STATE_NONE);
    EXPECT_EQ(reset_doip_state(), DOIP_OK);
}

TEST_F(StateRegistry, UnterminatedAddressTextIsReadOnlyWithinItsField) {
    doip_s ctx;
    doip_init(&ctx);
    std::memset(ctx.local.ip_address, '7', sizeof ctx.local.ip_address);  // no NUL at all
    set_doip_state(&ctx, 3);
    EXPECT_EQ(state_of(ctx), 3);
    eth_config_s target;
    int count = 1;
    ASSERT_EQ(get_doip_targets(&target, &count), DOIP_OK);
    // The key is cut at 44 characters, so no ':' survives and the key is skipped.
    EXPECT_EQ(count, 0);
}

TEST_F(StateRegistry, NullArgumentsAreIgnored) {
    EXPECT_EQ(set_doip_state(nullptr, 1), DOIP_OK);
    EXPECT_EQ(get_doip_state(nullptr, nullptr), DOIP_OK);
    int state = -1;
    EXPECT_EQ(get_doip_state(nullptr, &state), DOIP_OK);
    EXPECT_EQ(state, DOIP_STATE_NONE);
    EXPECT_EQ(delete_doip_state(nullptr), DOIP_OK);
}

}  // namespace
