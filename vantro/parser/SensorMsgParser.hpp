#pragma once
// Sensor message parser: recognises the body of a node message by its type
// byte, decodes it, and publishes it to MQTT as one JSON object on
// "sensor/{uid}/{kind}" (QoS 1, retained).
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/runtime/Bytes.hpp"

namespace vantro {

/// One decoded node message.
struct ParsedMsg {
  struct Field {
    std::string name;
    double value = 0;
    int decimals = 0;  // 2 for temperatures and humidity, 0 for integer fields
  };
  std::string kind;  // "climate", "distance", "water", "battery"
  std::uint32_t senderUID = 0;
  std::vector<Field> fields;
};

/// Publishes parsed messages through one MQTT client.
class MsgPublisher {
 public:
  virtual ~MsgPublisher() = default;
  virtual void publish(std::uint32_t senderUID, std::int64_t tsMillis, const ParsedMsg& parsedMsg,
                       int rssi) = 0;
};

/// Parser for one message kind.
class SpecificMsgParser {
 public:
  virtual ~SpecificMsgParser() = default;
  /// Decodes a body that getParser() accepted. Throws std::invalid_argument otherwise.
  virtual ParsedMsg parse(std::uint32_t senderUID, ByteView payload) const = 0;
  virtual std::unique_ptr<MsgPublisher> getPublisher(MqttClient& mqttClient) const = 0;
};

class SensorMsgParser {
 public:
  SensorMsgParser();
  /// The parser for `payload`, or nullptr for an unknown type or a body of the wrong length.
  const SpecificMsgParser* getParser(ByteView payload) const;
  /// One readable line, e.g. "climate temperature=21.50 humidity=45.20 battery_mv=3010".
  std::string toString(const ParsedMsg& parsedMsg) const;
};

}  // namespace vantro
