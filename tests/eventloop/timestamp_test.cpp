#include "uilitylib.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using uilitylib::addTime;
using uilitylib::Timestamp;

namespace {

TEST(Timestamp, DefaultAndInvalidAreZeroAndNotValid) {
    EXPECT_EQ(Timestamp().microSecondsSinceEpoch(), 0);
    EXPECT_EQ(Timestamp::invalid().microSecondsSinceEpoch(), 0);
    EXPECT_FALSE(Timestamp().valid());
    EXPECT_FALSE(Timestamp::invalid().valid());
}

TEST(Timestamp, OnlyPositiveCountsAreValid) {
    EXPECT_TRUE(Timestamp(1).valid());
    EXPECT_FALSE(Timestamp(-5).valid());
}

TEST(Timestamp, MicroSecondsPerSecondIsExportedData) {
    const int* address = &Timestamp::kMicroSecondsPerSecond;
    EXPECT_EQ(*address, 1000000);
}

TEST(Timestamp, NowIsValidAndNeverDecreases) {
    Timestamp previous = Timestamp::now();
    EXPECT_TRUE(previous.valid());
    for (int i = 0; i < 10000; ++i) {
        const Timestamp next = Timestamp::now();
        ASSERT_FALSE(next < previous);
        previous = next;
    }
}

TEST(Timestamp, ToStringSplitsSecondsAndSixDigitMicroseconds) {
    EXPECT_EQ(Timestamp(1500000).toString(), "1.500000");
    EXPECT_EQ(Timestamp(0).toString(), "0.000000");
    EXPECT_EQ(Timestamp(123).toString(), "0.000123");
    EXPECT_EQ(Timestamp(INT64_MIN).toString(), "-9223372036854.-775808");
}

TEST(Timestamp, AddTimeTruncatesTowardZero) {
    const Timestamp base(10000000);
    EXPECT_EQ(addTime(base, 1.5).microSecondsSinceEpoch(), 11500000);
    EXPECT_EQ(addTime(base, 0.0000005).microSecondsSinceEpoch(), 10000000);
    EXPECT_EQ(addTime(base, -0.0000015).microSecondsSinceEpoch(), 9999999);
    EXPECT_EQ(addTime(base, -2.0).microSecondsSinceEpoch(), 8000000);
}

TEST(Timestamp, SwapExchangesCounts) {
    Timestamp a(1);
    Timestamp b(2);
    a.swap(b);
    EXPECT_EQ(a.microSecondsSinceEpoch(), 2);
    EXPECT_EQ(b.microSecondsSinceEpoch(), 1);
}

TEST(Timestamp, LessOrdersBySignedCount) {
    EXPECT_TRUE(Timestamp(-1) < Timestamp(0));
    EXPECT_TRUE(Timestamp(1) < Timestamp(2));
    EXPECT_FALSE(Timestamp(2) < Timestamp(2));
    EXPECT_FALSE(Timestamp(3) < Timestamp(2));
}

TEST(Timestamp, FormattedStringIsUtcCalendarTime) {
    EXPECT_EQ(Timestamp(0).toFormattedString(true), "19700101 00:00:00.000000");
    // 2023-11-14 22:13:20 UTC, plus 42 microseconds.
    EXPECT_EQ(Timestamp(1700000000LL * 1000000 + 42).toFormattedString(true), "20231114 22:13:20.000042");
    // A leap day and the last second of a day.
    EXPECT_EQ(Timestamp(951868799LL * 1000000).toFormattedString(false), "20000229 23:59:59");
}

TEST(Timestamp, FormattedStringWithoutMicrosecondsDropsTheLastSevenCharacters) {
    const Timestamp t(1234567890123456LL);
    const std::string full = t.toFormattedString(true);
    ASSERT_EQ(full.size(), 24u);
    EXPECT_EQ(t.toFormattedString(false), full.substr(0, full.size() - 7));
}

}  // namespace
