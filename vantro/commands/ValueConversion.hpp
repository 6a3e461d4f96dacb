#pragma once
// Conversion of the values in node-command value maps and command keys.
//
// Integer fields arrive as JSON numbers or as decimal text: text may have
// blanks around the digits and a leading sign; a fractional number is cut to
// its integer part (towards zero); true and false count as 1 and 0. Anything
// else is an error. Errors are std::invalid_argument (not a number, missing
// key) or std::out_of_range (outside the field), naming the value and field.
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

/// The integer of `value`; `what` names it in errors, e.g. `value "toid"`.
std::int64_t toInteger(const nlohmann::json& value, std::string_view what);
/// The integer of decimal text.
std::int64_t parseInteger(std::string_view text, std::string_view what);
/// The floating-point number of `value` (a number, true/false or decimal text).
double toFloat(const nlohmann::json& value, std::string_view what);

/// The integer of `map[key]`; a missing key is an error.
std::int64_t integerField(const nlohmann::json& map, const char* key);
/// `map[key]`, which must be present.
const nlohmann::json& requireKey(const nlohmann::json& map, const char* key);

/// Throws std::out_of_range unless lo <= v <= hi.
std::int64_t checkRange(std::int64_t v, std::int64_t lo, std::int64_t hi, std::string_view what);
inline Byte toByte(std::int64_t v, std::string_view what) {
  return static_cast<Byte>(checkRange(v, 0, 0xFF, what));
}
inline std::uint16_t toU16(std::int64_t v, std::string_view what) {
  return static_cast<std::uint16_t>(checkRange(v, 0, 0xFFFF, what));
}
inline std::uint32_t toU32(std::int64_t v, std::string_view what) {
  return static_cast<std::uint32_t>(checkRange(v, 0, 0xFFFFFFFF, what));
}

/// The number that a command key names: the text after its last ":" (the
/// whole key when it has none), e.g. 12 for "tx:msg:12".
std::int64_t channelFromKey(std::string_view key);

/// Bytes of hexadecimal text, two digits per byte, blanks allowed between bytes.
Bytes hexToBytes(std::string_view text, std::string_view what);

/// A value as the embedding program gave it, for printed lines: text as it
/// is, numbers in decimal.
std::string displayValue(const nlohmann::json& value);

}  // namespace vantro
