#include "vantro/time/date/DateTime.hpp"

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

namespace vantro {
namespace {

void checkRange(const char* field, int value, int low, int high) {
  if (value < low || value > high) {
    throw std::out_of_range(
        fmt::format("date-time: {} {} is out of range {}..{}", field, value, low, high));
  }
}

std::atomic<WallClock> gWallClock{nullptr};

}  // namespace

bool isLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  checkRange("month", month, 1, 12);
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

void validate(const DateTime& dt) {
  checkRange("year", dt.year, 1, 9999);
  checkRange("month", dt.month, 1, 12);
  checkRange("day", dt.day, 1, daysInMonth(dt.year, dt.month));
  checkRange("hour", dt.hour, 0, 23);
  checkRange("minute", dt.minute, 0, 59);
  checkRange("second", dt.second, 0, 59);
  checkRange("microsecond", dt.microsecond, 0, 999999);
}

// Howard Hinnant's days_from_civil: exact integer arithmetic, no time zone.
std::int64_t daysFromCivil(int year, int month, int day) {
  const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t mp = (month + 9) % 12;
  const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int isoWeekday(const DateTime& dt) {
  // 1970-01-01 was a Thursday (4).
  const std::int64_t days = daysFromCivil(dt.year, dt.month, dt.day);
  const std::int64_t fromMonday = ((days + 3) % 7 + 7) % 7;
  return static_cast<int>(fromMonday) + 1;
}

std::int64_t toUnixMillis(const DateTime& dt) {
  const std::int64_t seconds = daysFromCivil(dt.year, dt.month, dt.day) * 86400 + dt.hour * 3600 +
                               dt.minute * 60 + dt.second;
  const std::int64_t micros = seconds * 1000000 + dt.microsecond;
  return static_cast<std::int64_t>(std::trunc(static_cast<double>(micros) / 1e6 * 1000.0));
}

namespace {
std::string format(const DateTime& dt, char separator) {
  std::string text = fmt::format("{:04}-{:02}-{:02}{}{:02}:{:02}:{:02}", dt.year, dt.month, dt.day,
                                 separator, dt.hour, dt.minute, dt.second);
  if (dt.microsecond != 0) text += fmt::format(".{:06}", dt.microsecond);
  return text;
}
}  // namespace

std::string toString(const DateTime& dt) {
  return format(dt, ' ');
}
std::string toIsoString(const DateTime& dt) {
  return format(dt, 'T');
}

DateTime localTime(std::chrono::system_clock::time_point t) {
  const auto whole = std::chrono::floor<std::chrono::seconds>(t);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(t - whole).count();
  const time_t secs = static_cast<time_t>(whole.time_since_epoch().count());
  struct tm tm {};
  // localtime_r is not required to call tzset, so a changed TZ is picked up here.
  tzset();
  if (localtime_r(&secs, &tm) == nullptr) {
    throw std::system_error(errno, std::generic_category(),
                            fmt::format("localtime_r of {} seconds", static_cast<long long>(secs)));
  }
  // A leap second (tm_sec 60) is shown as 59, so that the result is always a
  // valid date-time.
  return DateTime{tm.tm_year + 1900,
                  tm.tm_mon + 1,
                  tm.tm_mday,
                  tm.tm_hour,
                  tm.tm_min,
                  tm.tm_sec > 59 ? 59 : tm.tm_sec,
                  static_cast<int>(micros)};
}

void setWallClock(WallClock clock) {
  gWallClock.store(clock);
}

DateTime localNow() {
  const WallClock clock = gWallClock.load();
  return localTime(clock ? clock() : std::chrono::system_clock::now());
}

}  // namespace vantro
