#include "doip.h"

#include <gtest/gtest.h>

#include "client/test_support.h"

namespace {

using doip_test::make_context;

class TargetList : public ::testing::Test {
  protected:
    void SetUp() override { reset_doip_state(); }
    void TearDown() override { reset_doip_state(); }
};

TEST_F(TargetList, EmptyRegistryGivesZeroRecords) {
    eth_config_s targets[3];
    int count = 3;
    EXPECT_EQ(get_doip_targets(targets, &count), DOIP_OK);
    EXPECT_EQ(count, 0);
}

TEST_F(TargetList, CapacityLimitsTheRecordsInKeyOrder) {
    const doip_s c = make_context("10.0.0.3", 10003, "10.0.0.10", 13400);
    const doip_s a = make_context("10.0.0.1", 10001, "10.0.0.10", 13400);
    const doip_s b = make_context("10.0.0.2", 10002, "10.0.0.10", 13400);
    set_doip_state(&c, 0);
    set_doip_state(&a, 0);
    set_doip_state(&b, 0);
    eth_config_s targets[3] = {};
    targets[2].port = 0xBEEF;
    int count = 2;
    ASSERT_EQ(get_doip_targets(targets, &count), DOIP_OK);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(targets[0].ip_address, "10.0.0.1");
    EXPECT_EQ(targets[0].port, 10001);
    EXPECT_EQ(targets[0].reserved, 0u);
    EXPECT_STREQ(targets[1].ip_address, "10.0.0.2");
    EXPECT_EQ(targets[1].port, 10002);
    EXPECT_EQ(targets[2].port, 0xBEEF);  // beyond the capacity: untouched
}

TEST_F(TargetList, SameLocalEndToTwoEntitiesGivesTwoEqualRecords) {
    const doip_s a = make_context("10.0.0.1", 10001, "10.0.0.10", 13400);
    const doip_s b = make_context("10.0.0.1", 10001, "10.0.0.11", 13400);
    set_doip_state(&a, 0);
    set_doip_state(&b, 2);
    eth_config_s targets[4];
    int count = 4;
    ASSERT_EQ(get_doip_targets(targets, &count), DOIP_OK);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(targets[0].ip_address, targets[1].ip_address);
    EXPECT_EQ(targets[0].port, targets[1].port);
}

TEST_F(TargetList, BadArgumentsGiveMinusOneAndWriteNothing) {
    eth_config_s target{};
    target.port = 7;
    int count = 0;
    EXPECT_EQ(get_doip_targets(&target, &count), DOIP_ERR_GENERAL);
    EXPECT_EQ(count, 0);
    count = -3;
    EXPECT_EQ(get_doip_targets(&target, &count), DOIP_ERR_GENERAL);
    EXPECT_EQ(count, -3);
    EXPECT_EQ(target.port, 7);
    count = 1;
    EXPECT_EQ(get_doip_targets(nullptr, &count), DOIP_ERR_GENERAL);
    EXPECT_EQ(get_doip_targets(&target, nullptr), DOIP_ERR_GENERAL);
}

}  // namespace
