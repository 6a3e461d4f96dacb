#pragma once
// Publishes a parsed message as one JSON object to "sensor/{uid}/{kind}",
// QoS 1, retained, e.g. on "sensor/258/climate":
//   {"ts":1700000000123,"rssi":-70,"temperature":21.5,"humidity":45.2,"battery_mv":3010}
#include <string>

#include "vantro/parser/SensorMsgParser.hpp"

namespace vantro::parser {

inline constexpr int kSensorQos = 1;
inline constexpr bool kSensorRetain = true;

std::string sensorTopic(std::uint32_t senderUID, const std::string& kind);
/// The JSON text published for `msg`.
std::string sensorJson(std::int64_t tsMillis, const ParsedMsg& msg, int rssi);

class JsonMsgPublisher : public MsgPublisher {
 public:
  /// `client` must outlive the publisher.
  explicit JsonMsgPublisher(MqttClient& client) : client_(client) {}
  void publish(std::uint32_t senderUID, std::int64_t tsMillis, const ParsedMsg& parsedMsg,
               int rssi) override;

 private:
  MqttClient& client_;
};

}  // namespace vantro::parser
