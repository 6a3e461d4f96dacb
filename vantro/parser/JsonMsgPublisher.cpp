#include "vantro/parser/JsonMsgPublisher.hpp"

#include <cmath>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace vantro::parser {

std::string sensorTopic(std::uint32_t senderUID, const std::string& kind) {
  return fmt::format("sensor/{}/{}", senderUID, kind);
}

std::string sensorJson(std::int64_t tsMillis, const ParsedMsg& msg, int rssi) {
  // ordered_json keeps "ts" and "rssi" first and the fields in wire order.
  nlohmann::ordered_json j;
  j["ts"] = tsMillis;
  j["rssi"] = rssi;
  for (const ParsedMsg::Field& f : msg.fields) {
    if (f.decimals == 0) {
      j[f.name] = static_cast<std::int64_t>(std::llround(f.value));
    } else {
      j[f.name] = f.value;
    }
  }
  return j.dump();
}

void JsonMsgPublisher::publish(std::uint32_t senderUID, std::int64_t tsMillis,
                               const ParsedMsg& parsedMsg, int rssi) {
  const std::string payload = sensorJson(tsMillis, parsedMsg, rssi);
  const auto* data = reinterpret_cast<const Byte*>(payload.data());
  client_.publish(sensorTopic(senderUID, parsedMsg.kind), ByteView(data, payload.size()),
                  kSensorQos, kSensorRetain);
}

}  // namespace vantro::parser
