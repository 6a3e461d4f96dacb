#include "vantro/time/date/DateTime.hpp"

#include <time.h>

#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

#include "vantro/time/date/BuildDate.hpp"
#include "vantro/time/date/DateRecord.hpp"

namespace vantro {
namespace {

// Sets TZ for one test and restores it.
class TimeZoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
    setWallClock(nullptr);
  }
  static void useZone(const char* tz) {
    ::setenv("TZ", tz, 1);
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

std::chrono::system_clock::time_point utcMillis(std::int64_t ms) {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

TEST(DateText, ShowsMicrosecondsOnlyWhenNotZero) {
  EXPECT_EQ(toString(DateTime{2024, 2, 29, 12, 0, 0, 0}), "2024-02-29 12:00:00");
  EXPECT_EQ(toString(DateTime{2024, 2, 29, 12, 0, 0, 500000}), "2024-02-29 12:00:00.500000");
  EXPECT_EQ(toString(DateTime{2007, 3, 4, 5, 6, 7, 1000}), "2007-03-04 05:06:07.001000");
  EXPECT_EQ(toIsoString(DateTime{2024, 2, 29, 12, 0, 0, 500000}), "2024-02-29T12:00:00.500000");
  EXPECT_EQ(toIsoString(DateTime{2024, 2, 29, 12, 0, 0, 0}), "2024-02-29T12:00:00");
}

TEST(BuildDate, CompilerDateTextAndTheEarliestBelievableDate) {
  EXPECT_EQ(parseCompilerDate("Feb 29 2024"), (DateTime{2024, 2, 29, 0, 0, 0, 0}));
  EXPECT_EQ(parseCompilerDate("Dec  7 2026"), (DateTime{2026, 12, 7, 0, 0, 0, 0}));
  for (const char* bad : {"", "Feb 30 2024", "Foo  1 2024", "Feb 29 24", "Feb 2x 2024"}) {
    EXPECT_FALSE(parseCompilerDate(bad).has_value()) << bad;
  }
  const DateTime built = buildDate();
  EXPECT_EQ(parseCompilerDate(__DATE__), built) << "this test and the module built together";
  // A day of grace for a build host and a board in different time zones.
  const auto daysAfter = [&](int days) {
    const std::chrono::year_month_day d{std::chrono::sys_days{
        std::chrono::days{daysFromCivil(built.year, built.month, built.day) + days}}};
    return DateTime{int(d.year()), int(unsigned(d.month())), int(unsigned(d.day())), 23, 59, 0, 0};
  };
  EXPECT_TRUE(isPlausibleDate(built));
  EXPECT_TRUE(isPlausibleDate(daysAfter(-1)));
  EXPECT_FALSE(isPlausibleDate(daysAfter(-2)));
  EXPECT_FALSE(isPlausibleDate(DateTime{2000, 1, 1, 0, 0, 0, 0}));
}

TEST_F(TimeZoneTest, UnixMillisAreTheSameInEveryZone) {
  for (const char* tz :
       {"UTC", "America/New_York", "Asia/Kolkata", "Pacific/Chatham", "Europe/Berlin"}) {
    useZone(tz);
    EXPECT_EQ(toUnixMillis(DateTime{2024, 2, 29, 12, 0, 0, 500000}), 1709208000500) << tz;
    EXPECT_EQ(toUnixMillis(DateTime{1970, 1, 1, 0, 0, 0, 0}), 0) << tz;
    EXPECT_EQ(toUnixMillis(DateTime{2099, 12, 31, 23, 59, 59, 999000}), 4102444799999) << tz;
    EXPECT_EQ(toUnixMillis(DateTime{2024, 2, 29, 12, 0, 0, 1000}), 1709208000001) << tz;
  }
}

TEST_F(TimeZoneTest, LocalTimeFollowsTheZone) {
  // 2026-12-06 14:30:45.900 UTC.
  const auto t = utcMillis(toUnixMillis(DateTime{2026, 12, 6, 14, 30, 45, 900000}));
  useZone("UTC");
  EXPECT_EQ(localTime(t), (DateTime{2026, 12, 6, 14, 30, 45, 900000}));
  useZone("Europe/Berlin");
  EXPECT_EQ(localTime(t), (DateTime{2026, 12, 6, 15, 30, 45, 900000}));
  useZone("Asia/Kolkata");
  EXPECT_EQ(localTime(t), (DateTime{2026, 12, 6, 20, 0, 45, 900000}));
  useZone("America/New_York");
  EXPECT_EQ(localTime(t), (DateTime{2026, 12, 6, 9, 30, 45, 900000}));
  // Before the epoch the fraction still counts forward from the whole second.
  useZone("UTC");
  EXPECT_EQ(localTime(utcMillis(-1)), (DateTime{1969, 12, 31, 23, 59, 59, 999000}));
}

std::chrono::system_clock::time_point sundayAfternoonUtc() {
  return utcMillis(toUnixMillis(DateTime{2026, 12, 6, 14, 30, 45, 900000}));
}
std::chrono::system_clock::time_point mondayMorningUtc() {
  return utcMillis(toUnixMillis(DateTime{2026, 12, 7, 3, 0, 0, 0}));
}

TEST_F(TimeZoneTest, SetTimeCommandFromTheReplacedWallClock) {
  useZone("Europe/Berlin");
  setWallClock(&sundayAfternoonUtc);
  EXPECT_EQ(buildSetTimeCommand(localNow()), (Bytes{'S', 'T', 7, 6, 12, 26, 15, 30, 45}));
  setWallClock(&mondayMorningUtc);
  EXPECT_EQ(buildSetTimeCommand(localNow()).at(2), 1);
  // West of UTC the local date is still Sunday.
  useZone("America/New_York");
  EXPECT_EQ(buildSetTimeCommand(localNow()), (Bytes{'S', 'T', 7, 6, 12, 26, 22, 0, 0}));

  setWallClock(nullptr);
  EXPECT_GE(localNow().year, 2024);
}

}  // namespace
}  // namespace vantro
