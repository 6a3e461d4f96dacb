#include "vantro/operations/HealthReport.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

#ifndef VANTRO_VERSION
#define VANTRO_VERSION "0.0.0"
#endif

namespace vantro {

std::string healthTopic(const std::string& gatewayUid) {
  return "gw/" + gatewayUid + "/health";
}

std::string healthJson(const HealthFigures& f, const GatewayCounters& c) {
  nlohmann::ordered_json j;
  j["ts"] = f.nowMs;
  j["version"] = VANTRO_VERSION;
  j["uptime_s"] = f.uptimeSeconds;
  j["firmware_revision"] = f.firmwareRevision ? nlohmann::ordered_json(*f.firmwareRevision)
                                              : nlohmann::ordered_json(nullptr);
  j["protocol_version"] = f.protocolVersion ? nlohmann::ordered_json(*f.protocolVersion)
                                            : nlohmann::ordered_json(nullptr);
  j["records_read"] = c.recordsRead.load();
  j["readings_published"] = c.readingsPublished.load();
  j["readings_unparsed"] = c.readingsUnparsed.load();
  j["garbage_bytes"] = c.garbageBytes.load();
  j["decrypt_failures"] = c.decryptFailures.load();
  j["serial_reopens"] = c.serialReopens.load();
  j["broker_reconnects"] = c.brokerReconnects.load();
  j["commands_executed"] = c.commandsExecuted.load();
  j["commands_refused"] = c.commandsRefused.load();
  j["outbox_depth"] = f.outboxDepth;
  // A clock set back while publications wait must not make the age negative.
  j["outbox_oldest_age_s"] =
      f.outboxOldestMs == 0 ? 0 : std::max<std::int64_t>(0, (f.nowMs - f.outboxOldestMs) / 1000);
  const std::int64_t last = c.lastRecordMs.load();
  j["last_record_ms"] = last == 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(last);
  return j.dump();
}

}  // namespace vantro
