#include "doip.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <string>
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
}

// Only empty and dotted IPv4 address texts form a key. Any other text, at either end, is refused by every
// function that needs the key, and nothing is stored: no two connections share a cut key.
TEST_F(StateRegistry, AddressTextsThatFormNoKeyAreRefusedByEveryFunctionThatNeedsOne) {
    for (const char* good : {"", "0.0.0.0", "255.255.255.255", "10.0.0.01"}) {
        const doip_s ctx = make_context(good, 10001, good, 13400);
        EXPECT_EQ(set_doip_state(&ctx, 4), DOIP_OK) << good;
        EXPECT_EQ(state_of(ctx), 4) << good;
    }
    reset_doip_state();
    const std::string long_name(DOIP_IP_ADDRESS_SIZE, '7');  // no NUL within the field
    for (const std::string& bad :
         {std::string("::1"), std::string("host.example"), std::string("1.2.3"), std::string("1.2.3.4.5"),
          std::string("256.0.0.1"), std::string("1.2.3.4 "), std::string("1..2.3"), std::string("1.2.3.0004"),
          long_name}) {
        for (bool at_local : {true, false}) {
            doip_s ctx = make_context("10.0.0.1", 10001, "10.0.0.2", 13400);
            char* field = at_local ? ctx.local.ip_address : ctx.remote.ip_address;
            std::memcpy(field, bad.c_str(), std::min<size_t>(bad.size() + 1, DOIP_IP_ADDRESS_SIZE));
            int state = -1;
            uint8_t out[19];
            std::memset(out, 0xA5, sizeof out);
            const uint8_t response[17] = {2, 0xFD, 0, 6, 0, 0, 0, 9, 0x0E, 0xF5, 0x0C, 0xE1, 0x10};
            EXPECT_EQ(set_doip_state(&ctx, 0), DOIP_ERR_INVALID_ARGUMENT) << bad;
            EXPECT_EQ(get_doip_state(&ctx, &state), DOIP_ERR_INVALID_ARGUMENT);
            EXPECT_EQ(state, DOIP_STATE_NONE);
            EXPECT_EQ(delete_doip_state(&ctx), DOIP_ERR_INVALID_ARGUMENT);
            EXPECT_EQ(doip_activate_request(&ctx, out, sizeof out), DOIP_ERR_INVALID_ARGUMENT);
            EXPECT_EQ(out[0], 0xA5);
            EXPECT_EQ(doip_activate_response(&ctx, response, sizeof response), DOIP_ERR_INVALID_ARGUMENT);
            EXPECT_EQ(start_timer_a_doip_ctrl(
                          &ctx, 0.0, [](void*) {}, nullptr),
                      DOIP_ERR_INVALID_ARGUMENT);
            EXPECT_EQ(delete_timer(&ctx, DOIP_TIMER_A_DOIP_CTRL), DOIP_ERR_INVALID_ARGUMENT);
        }
    }
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
