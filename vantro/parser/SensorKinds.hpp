#pragma once
// The message kinds that sensor nodes send. A node message body is one type
// byte followed by 16-bit big-endian fields; each row of sensorKinds() names
// the kind and its fields, and the body length follows from the field count.
// A new kind of message is one more row in SensorKinds.cpp.
#include <cstddef>
#include <span>
#include <string_view>

#include "vantro/runtime/Bytes.hpp"

namespace vantro::parser {

struct FieldSpec {
  std::string_view name;  // JSON key and toString() name
  bool isSigned;          // int16 instead of uint16
  int decimals;           // value = raw / 10^decimals
};

struct SensorKind {
  Byte type;
  std::string_view kind;  // also the last level of the MQTT topic
  std::span<const FieldSpec> fields;

  std::size_t bodySize() const { return 1 + 2 * fields.size(); }
};

std::span<const SensorKind> sensorKinds();

}  // namespace vantro::parser
