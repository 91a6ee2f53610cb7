#include "logging/timestamp.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <string>

namespace vellicor {
namespace {

TEST(TimestampTest, Format) {
  struct Case {
    LocalTime time;
    const char* expected;
  };
  const Case cases[] = {
      {{3, 5, 14, 2, 7, 93000000}, "Mar 05 14:02:07.093"},
      {{1, 1, 0, 0, 0, 0}, "Jan 01 00:00:00.000"},
      {{12, 31, 23, 59, 59, 999999999}, "Dec 31 23:59:59.999"},
      // Milliseconds are truncated, never rounded.
      {{6, 9, 8, 7, 6, 1999999}, "Jun 09 08:07:06.001"},
      {{6, 9, 8, 7, 6, 999999}, "Jun 09 08:07:06.000"},
      {{6, 9, 8, 7, 6, 50000000}, "Jun 09 08:07:06.050"},
      // A leap second is written as the second before it.
      {{6, 30, 23, 59, 60, 500000000}, "Jun 30 23:59:59.500"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_timestamp(c.time), c.expected);
    EXPECT_EQ(format_timestamp(c.time).size(), kTimestampLength);
  }
}

TEST(TimestampTest, EveryMonthHasItsEnglishAbbreviation) {
  const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int month = 1; month <= 12; ++month) {
    EXPECT_EQ(format_timestamp({month, 10, 10, 10, 10, 0}),
              std::string(names[month - 1]) + " 10 10:10:10.000");
  }
}

TEST(TimestampTest, NowIsAValidLocalTime) {
  const auto now = local_time_now();
  ASSERT_TRUE(now.has_value()) << now.error().display_text();
  EXPECT_TRUE(now->month >= 1 && now->month <= 12);
  EXPECT_TRUE(now->day >= 1 && now->day <= 31);
  EXPECT_TRUE(now->hour >= 0 && now->hour <= 23);
  EXPECT_TRUE(now->minute >= 0 && now->minute <= 59);
  EXPECT_TRUE(now->second >= 0 && now->second <= 60);
  EXPECT_LT(now->nanoseconds, 1000000000u);
}

TEST(TimestampTest, AMomentTheClockCannotConvertIsAnError) {
  const auto result = local_time_at(std::numeric_limits<int64_t>::max(), 0);
  ASSERT_FALSE(result.has_value());
  EXPECT_NE(result.error().display_text().find(" failed with: "), std::string::npos)
      << result.error().display_text();
}

// Central European rules, written as a POSIX zone so that no zone database is needed: one
// hour ahead of UTC, two in summer (last Sunday of March 01:00 UTC to last Sunday of October
// 01:00 UTC). The Windows test run gets the same zone through TZ, which Wine's clock
// conversion follows.
constexpr const char* kZone = "CET-1CEST,M3.5.0,M10.5.0/3";

class LocalTimeTest : public testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    setenv("TZ", kZone, 1);
    tzset();
#endif
    const char* zone = std::getenv("TZ");
    if (zone == nullptr || std::string(zone) != kZone) {
      GTEST_SKIP() << "run with TZ=" << kZone << " in the environment";
    }
  }
};

TEST_F(LocalTimeTest, ConvertsFixedMomentsWithTheOffsetInForceThen) {
  struct Case {
    int64_t unix_seconds;
    uint32_t nanoseconds;
    const char* expected;
  };
  const Case cases[] = {
      {0, 0, "Jan 01 01:00:00.000"},
      // 2021-03-28 00:59:59.999 UTC, the last moment of winter time, then summer time.
      {1616893199, 999999999, "Mar 28 01:59:59.999"},
      {1616893200, 0, "Mar 28 03:00:00.000"},
      // 2021-10-31 00:59:59 UTC is still summer time; a second later the clock goes back.
      {1635641999, 500000000, "Oct 31 02:59:59.500"},
      {1635642000, 0, "Oct 31 02:00:00.000"},
      // 2024-02-29 22:30:05.007 UTC: a leap day, and the next day after the offset.
      {1709245805, 7000000, "Feb 29 23:30:05.007"},
      {1709249405, 7000000, "Mar 01 00:30:05.007"},
      // 2026-12-31 23:59:59.123 UTC is already the new year in the zone.
      {1798761599, 123456789, "Jan 01 00:59:59.123"},
  };
  for (const auto& c : cases) {
    const auto local = local_time_at(c.unix_seconds, c.nanoseconds);
    ASSERT_TRUE(local.has_value()) << local.error().display_text();
    EXPECT_EQ(format_timestamp(*local), c.expected) << c.unix_seconds;
  }
}

}  // namespace
}  // namespace vellicor
