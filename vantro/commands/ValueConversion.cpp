#include "vantro/commands/ValueConversion.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>
#include "vantro/runtime/HexDigit.hpp"

namespace vantro {
namespace {

using nlohmann::json;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A value in an error message; text that is not UTF-8 must not make it fail.
std::string show(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

[[noreturn]] void notInteger(std::string_view what, const json& value) {
  throw std::invalid_argument(fmt::format("{}: {} is not an integer", what, show(value)));
}

}  // namespace

std::int64_t parseInteger(std::string_view text, std::string_view what) {
  std::string_view s = trim(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) notInteger(what, json(text));
  // Accumulate the magnitude as a negative number: it reaches INT64_MIN.
  std::int64_t v = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (char c : s) {
    if (c < '0' || c > '9') notInteger(what, json(text));
    const int d = c - '0';
    if (v < (kMin + d) / 10) {
      throw std::out_of_range(fmt::format("{}: {} is too large", what, show(json(text))));
    }
    v = v * 10 - d;
  }
  if (negative) return v;
  if (v == kMin) {
    throw std::out_of_range(fmt::format("{}: {} is too large", what, show(json(text))));
  }
  return -v;
}

std::int64_t toInteger(const json& value, std::string_view what) {
  switch (value.type()) {
    case json::value_t::boolean:
      return value.get<bool>() ? 1 : 0;
    case json::value_t::number_integer:
      return value.get<std::int64_t>();
    case json::value_t::number_unsigned: {
      const auto u = value.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        throw std::out_of_range(fmt::format("{}: {} is too large", what, show(value)));
      }
      return static_cast<std::int64_t>(u);
    }
    case json::value_t::number_float: {
      const double d = std::trunc(value.get<double>());
      // 2^63 as a double; the cut value must lie strictly inside.
      constexpr double kLimit = 9223372036854775808.0;
      if (!std::isfinite(d)) notInteger(what, value);
      if (d >= kLimit || d < -kLimit) {
        throw std::out_of_range(fmt::format("{}: {} is too large", what, show(value)));
      }
      return static_cast<std::int64_t>(d);
    }
    case json::value_t::string:
      return parseInteger(value.get_ref<const std::string&>(), what);
    default:
      notInteger(what, value);
  }
}

double toFloat(const json& value, std::string_view what) {
  switch (value.type()) {
    case json::value_t::boolean:
      return value.get<bool>() ? 1.0 : 0.0;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return value.get<double>();
    case json::value_t::string: {
      const std::string s(trim(value.get_ref<const std::string&>()));
      // strtod would also take hexadecimal numbers; decimal text only.
      if (!s.empty() && s.find_first_of("xX") == std::string::npos) {
        char* end = nullptr;
        errno = 0;
        const double d = std::strtod(s.c_str(), &end);
        if (end == s.c_str() + s.size() && errno != ERANGE) return d;
      }
      break;
    }
    default:
      break;
  }
  throw std::invalid_argument(fmt::format("{}: {} is not a number", what, show(value)));
}

const json& requireKey(const json& map, const char* key) {
  if (!map.is_object()) {
    throw std::invalid_argument(fmt::format("value map is not a map: {}", show(map)));
  }
  const auto it = map.find(key);
  if (it == map.end()) {
    throw std::invalid_argument(fmt::format("value map has no key \"{}\"", key));
  }
  return *it;
}

std::int64_t integerField(const json& map, const char* key) {
  return toInteger(requireKey(map, key), fmt::format("value \"{}\"", key));
}

std::int64_t checkRange(std::int64_t v, std::int64_t lo, std::int64_t hi, std::string_view what) {
  if (v < lo || v > hi) {
    throw std::out_of_range(fmt::format("{}: {} is outside {} to {}", what, v, lo, hi));
  }
  return v;
}

std::int64_t channelFromKey(std::string_view key) {
  const std::size_t colon = key.rfind(':');
  const std::string_view suffix = colon == std::string_view::npos ? key : key.substr(colon + 1);
  return parseInteger(suffix, fmt::format("number of command key \"{}\"", key));
}

Bytes hexToBytes(std::string_view text, std::string_view what) {
  Bytes out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (isBlank(text[i])) {
      ++i;
      continue;
    }
    const int hi = hexDigitValue(text[i]);
    const int lo = i + 1 < text.size() ? hexDigitValue(text[i + 1]) : -1;
    if (hi < 0 || lo < 0) {
      throw std::invalid_argument(
          fmt::format("{}: {} is not hexadecimal text (two digits per byte) at position {}", what,
                      show(json(text)), hi < 0 ? i : i + 1));
    }
    out.push_back(static_cast<Byte>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

std::string displayValue(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "True" : "False";
  return show(value);
}

}  // namespace vantro
