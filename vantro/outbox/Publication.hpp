#pragma once
// One MQTT publication as the gateway keeps it until the broker has it.
#include <cstdint>
#include <string>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

struct Publication {
  std::string topic;
  Bytes payload;
  int qos = 1;
  bool retain = false;
  /// When it was made, in milliseconds since the Unix epoch.
  std::int64_t createdMs = 0;
};

}  // namespace vantro
