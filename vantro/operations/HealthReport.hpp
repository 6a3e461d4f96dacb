#pragma once
// The gateway's health report: one JSON object, retained, on "gw/{uid}/health"
// (fields in docs/health.md), e.g.
//   {"ts":1700000000123,"version":"0.1.0","uptime_s":3600,"firmware_revision":7,
//    "protocol_version":2,"records_read":1200,"readings_published":1100,...}
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "vantro/operations/GatewayCounters.hpp"

namespace vantro {

/// What the report says besides the counters.
struct HealthFigures {
  std::int64_t nowMs = 0;
  std::int64_t uptimeSeconds = 0;
  std::optional<std::uint32_t> firmwareRevision;
  std::optional<int> protocolVersion;
  std::size_t outboxDepth = 0;
  /// When the oldest publication waiting was made (ms since the epoch), 0 if none.
  std::int64_t outboxOldestMs = 0;
};

std::string healthTopic(const std::string& gatewayUid);
/// The report's JSON text; "version" is this build's version.
std::string healthJson(const HealthFigures& figures, const GatewayCounters& counters);

}  // namespace vantro
