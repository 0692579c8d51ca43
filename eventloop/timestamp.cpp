#include "uilitylib.h"

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>

namespace uilitylib {
namespace {

struct CivilTime {
    int year;   // full year, e.g. 1970
    int month;  // 1..12
    int day;
    int hour;
    int minute;
    int second;
};

// Proleptic Gregorian UTC breakdown of seconds since 1970-01-01, valid for the whole int64 range of
// Timestamp seconds; done by hand because the C library's gmtime is neither thread-safe nor portable in
// its reentrant forms.
CivilTime breakDown(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Days to civil date, counting 400-year eras from 0000-03-01.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return CivilTime{
        static_cast<int>(year),        static_cast<int>(month),          static_cast<int>(day),
        static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60)};
}

}  // namespace

const int Timestamp::kMicroSecondsPerSecond;

Timestamp Timestamp::now() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return Timestamp(static_cast<int64_t>(ns / 1000));
}

std::string Timestamp::toString() const {
    char buf[32] = {0};
    const int64_t seconds = microSecondsSinceEpoch_ / kMicroSecondsPerSecond;
    const int64_t micro = microSecondsSinceEpoch_ % kMicroSecondsPerSecond;
    std::snprintf(buf, sizeof(buf) - 1, "%" PRId64 ".%06" PRId64, seconds, micro);
    return buf;
}

std::string Timestamp::toFormattedString(bool showMicroseconds) const {
    char buf[64] = {0};
    const CivilTime t = breakDown(microSecondsSinceEpoch_ / kMicroSecondsPerSecond);
    if (showMicroseconds) {
        const int micro = static_cast<int>(microSecondsSinceEpoch_ % kMicroSecondsPerSecond);
        std::snprintf(buf, sizeof(buf), "%4d%02d%02d %02d:%02d:%02d.%06d", t.year, t.month, t.day, t.hour,
                      t.minute, t.second, micro);
    } else {
        std::snprintf(buf, sizeof(buf), "%4d%02d%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                      t.minute, t.second);
    }
    return buf;
}

Timestamp addTime(Timestamp t, double seconds) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    const int64_t base = t.microSecondsSinceEpoch();
    const double micro = std::trunc(seconds * Timestamp::kMicroSecondsPerSecond);
    if (std::isnan(micro)) {
        return t;
    }
    // Compared as doubles first: a delta outside the int64 range cannot be converted. 2^63 is exact.
    constexpr double kLimit = 9223372036854775808.0;
    if (micro >= kLimit) {
        return Timestamp(kMax);
    }
    if (micro < -kLimit) {
        return Timestamp(kMin);
    }
    const int64_t delta = static_cast<int64_t>(micro);
    if (delta > 0 && base > kMax - delta) {
        return Timestamp(kMax);
    }
    if (delta < 0 && base < kMin - delta) {
        return Timestamp(kMin);
    }
    return Timestamp(base + delta);
}

bool operator<(Timestamp lhs, Timestamp rhs) {
    return lhs.microSecondsSinceEpoch() < rhs.microSecondsSinceEpoch();
}

}  // namespace uilitylib
