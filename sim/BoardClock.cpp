#include "sim/BoardClock.hpp"

#include <ctime>
#include <stdexcept>

#include "sim/Fd.hpp"

namespace sim {

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;

std::int64_t realtimeNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return std::int64_t{ts.tv_sec} * kNsPerSecond + ts.tv_nsec;
}

}  // namespace

BoardClock::BoardClock(std::int64_t offsetSeconds) {
  const std::time_t t = std::time(nullptr);
  std::tm local{};
  if (!::localtime_r(&t, &local)) throwErrno("cannot read the local time");
  offsetNs_ = (std::int64_t{local.tm_gmtoff} + offsetSeconds) * kNsPerSecond;
}

DateTime BoardClock::now() const {
  const std::int64_t ns = realtimeNs() + offsetNs_;
  const std::time_t secs = static_cast<std::time_t>(ns / kNsPerSecond);
  std::tm f{};
  if (!::gmtime_r(&secs, &f)) throwErrno("cannot convert the board time");
  DateTime d{f.tm_year + 1900,
             f.tm_mon + 1,
             f.tm_mday,
             f.tm_hour,
             f.tm_min,
             f.tm_sec,
             static_cast<int>(ns % kNsPerSecond / 1'000'000)};
  if (d.year < 2000 || d.year > 2099)
    throw std::out_of_range("board clock outside 2000-2099, which its records cannot carry");
  return d;
}

void BoardClock::set(const SetTime& t) {
  std::tm f{};
  f.tm_year = t.year - 1900;
  f.tm_mon = t.month - 1;
  f.tm_mday = t.day;
  f.tm_hour = t.hour;
  f.tm_min = t.minute;
  f.tm_sec = t.second;
  offsetNs_ = std::int64_t{::timegm(&f)} * kNsPerSecond - realtimeNs();
}

int weekdayOf(int year, int month, int day) {
  std::tm f{};
  f.tm_year = year - 1900;
  f.tm_mon = month - 1;
  f.tm_mday = day;
  f.tm_hour = 12;
  ::timegm(&f);  // fills tm_wday, 0 = Sunday
  return f.tm_wday == 0 ? 7 : f.tm_wday;
}

}  // namespace sim
