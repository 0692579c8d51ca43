#include "doip.h"

#include <gtest/gtest.h>
#include "client/test_support.h"

namespace {
using namespace doip_test;

using StateRegistry = ClientTest;

TEST_F(StateRegistry, EntriesAreKeyedByTheExactEndPointTexts) {
    const doip_s a = make_context("10.0.0.1", 10001, "10.0.0.10", 13400);
    doip_s twin = make_context("10.0.0.1", 10001, "10.0.0.10", 13400);
    twin.source_address = 0x1111;  // not part of the key
    const doip_s others[] = {make_context("10.0.0.01", 10001, "10.0.0.10", 13400),
                             make_context("10.0.0.1", 10002, "10.0.0.10", 13400),
                             make_context("10.0.0.1", 10001, "10.0.0.11", 13400),
                             make_context("10.0.0.1", 10001, "10.0.0.10", 13401)};
    EXPECT_EQ(state_of(a), DOIP_STATE_NONE);
    EXPECT_EQ(set_doip_state(&a, 2), DOIP_OK);
    EXPECT_EQ(set_doip_state(&twin, 6), DOIP_OK);
    EXPECT_EQ(state_of(a), 6);
    for (const doip_s& other : others) {
        EXPECT_EQ(state_of(other), DOIP_STATE_NONE);
        set_doip_state(&other, 0);
    }
    EXPECT_EQ(delete_doip_state(&a), DOIP_OK);
    EXPECT_EQ(delete_doip_state(&a), DOIP_OK);
    EXPECT_EQ(std::pair(state_of(twin), state_of(others[0])), std::pair(int{DOIP_STATE_NONE}, 0));
    EXPECT_EQ(reset_doip_state(), DOIP_OK);
    EXPECT_EQ(state_of(others[0]), DOIP_STATE_NONE);
    // An address text without NUL is read within its field only; its key, cut at 44 characters, has no ':'
    // left and is skipped by the target list.
    doip_s ctx;
    doip_init(&ctx);
    std::memset(ctx.local.ip_address, '7', sizeof ctx.local.ip_address);
    set_doip_state(&ctx, 3);
    EXPECT_EQ(state_of(ctx), 3);
    eth_config_s target;
    int count = 1;
    ASSERT_EQ(get_doip_targets(&target, &count), DOIP_OK);
    EXPECT_EQ(count, 0);
}

// The local end of each key, in byte-wise key order, up to the capacity; records beyond stay untouched.
// Bad arguments give -1 and write nothing.
TEST_F(StateRegistry, TargetsListTheLocalEndOfEachKeyInKeyOrder) {
    eth_config_s targets[4];
    std::memset(targets, 0xA5, sizeof targets);
    int count = 4;
    ASSERT_EQ(get_doip_targets(targets, &count), DOIP_OK);
    EXPECT_EQ(count, 0);
    doip_s unset;
    doip_init(&unset);  // key ":10001,:13400"
    for (const doip_s& ctx : {make_context("10.0.0.2", 10002, "10.0.0.10", 13400), unset,
                              make_context("10.0.0.1", 10001, "10.0.0.11", 13400),
                              make_context("10.0.0.1", 10001, "10.0.0.10", 13400)}) {
        set_doip_state(&ctx, 0);
    }
    for (int capacity : {0, -3}) {
        count = capacity;
        EXPECT_EQ(get_doip_targets(targets, &count), DOIP_ERR_GENERAL);
        EXPECT_EQ(count, capacity);
    }
    EXPECT_EQ(get_doip_targets(nullptr, &count), DOIP_ERR_GENERAL);
    EXPECT_EQ(get_doip_targets(targets, nullptr), DOIP_ERR_GENERAL);
    const std::pair<std::string, uint16_t> expected[] = {
        {"10.0.0.1", 10001}, {"10.0.0.1", 10001}, {"10.0.0.2", 10002}, {"", 10001}};
    for (int capacity : {3, 4}) {
        EXPECT_EQ(targets[3].port, 0xA5A5);
        count = capacity;
        ASSERT_EQ(get_doip_targets(targets, &count), DOIP_OK);
        ASSERT_EQ(count, capacity);
        for (int i = 0; i < capacity; ++i) {
            EXPECT_EQ(std::tuple(targets[i].ip_address, targets[i].port, targets[i].reserved),
                      std::tuple(expected[i].first, expected[i].second, 0u));
        }
    }
}
}  // namespace
