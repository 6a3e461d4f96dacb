#pragma once
// A calendar date and time of day without a time zone, as the board reports it
// and as the host's wall clock shows it, with its text forms and its conversion
// to milliseconds since the Unix epoch.
#include <chrono>
#include <cstdint>
#include <string>

namespace vantro {

struct DateTime {
  int year = 1970;
  int month = 1;  // 1-12
  int day = 1;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int microsecond = 0;  // 0-999999

  friend bool operator==(const DateTime&, const DateTime&) = default;
};

/// True for a Gregorian leap year.
bool isLeapYear(int year);
/// Number of days in `month` (1-12) of `year`.
int daysInMonth(int year, int month);

/// Throws std::out_of_range naming the field when `dt` is not a valid calendar
/// date and time (month 1-12, day within the month, hour 0-23, minute and
/// second 0-59, microsecond 0-999999, year 1-9999).
void validate(const DateTime& dt);

/// Days from 1970-01-01 to the given civil date (negative before it).
std::int64_t daysFromCivil(int year, int month, int day);
/// Day of the week of the date of `dt`: 1 = Monday ... 7 = Sunday.
int isoWeekday(const DateTime& dt);

/// `dt` taken as UTC, whatever the host's time zone, in milliseconds since
/// 1970-01-01T00:00:00 UTC. The offset in microseconds is divided by one million
/// and multiplied by 1000 in double precision and truncated, as the receive time
/// stamps of the sensor messages have always been computed.
std::int64_t toUnixMillis(const DateTime& dt);

/// "2024-02-29 12:00:00", with ".500000" appended only when the microseconds are
/// not zero.
std::string toString(const DateTime& dt);
/// ISO-8601 without a zone, for `date -s`: "2024-02-29T12:00:00" or
/// "2024-02-29T12:00:00.500000".
std::string toIsoString(const DateTime& dt);

/// `t` in the host's local time zone (TZ or the system setting).
DateTime localTime(std::chrono::system_clock::time_point t);

/// Where localNow() reads the time. Tests install a fixed clock.
using WallClock = std::chrono::system_clock::time_point (*)();
/// Replaces the wall clock of localNow(); nullptr restores the system clock.
/// Thread-safe.
void setWallClock(WallClock clock);
/// The host's current wall-clock date and time in its local time zone.
DateTime localNow();

}  // namespace vantro
