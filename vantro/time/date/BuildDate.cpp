#include "vantro/time/date/BuildDate.hpp"

#include <array>
#include <charconv>
#include <stdexcept>

namespace vantro {
namespace {

constexpr std::int64_t kDayMillis = 86'400'000;

std::optional<int> number(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<DateTime> parseCompilerDate(std::string_view text) {
  static constexpr std::array<std::string_view, 12> kMonths{
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (text.size() != 11 || text[3] != ' ' || text[6] != ' ') return std::nullopt;
  DateTime dt;
  dt.month = 0;
  for (std::size_t i = 0; i < kMonths.size(); ++i) {
    if (text.substr(0, 3) == kMonths[i]) dt.month = static_cast<int>(i) + 1;
  }
  const auto day = number(text.substr(4, 2));
  const auto year = number(text.substr(7, 4));
  if (dt.month == 0 || !day || !year) return std::nullopt;
  dt.day = *day;
  dt.year = *year;
  try {
    validate(dt);
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
  return dt;
}

DateTime buildDate() {
  static const DateTime date = parseCompilerDate(__DATE__).value_or(DateTime{});
  return date;
}

bool isPlausibleDate(const DateTime& dt) {
  return toUnixMillis(dt) >= toUnixMillis(buildDate()) - kDayMillis;
}

}  // namespace vantro
