#pragma once
// The parser of one row of the sensor kind table.
#include <memory>

#include "vantro/parser/SensorKinds.hpp"
#include "vantro/parser/SensorMsgParser.hpp"

namespace vantro::parser {

class TableMsgParser : public SpecificMsgParser {
 public:
  explicit TableMsgParser(const SensorKind& kind) : kind_(kind) {}

  /// True when `payload` is a body of this kind: its type byte and length.
  bool accepts(ByteView payload) const;
  ParsedMsg parse(std::uint32_t senderUID, ByteView payload) const override;
  std::unique_ptr<MsgPublisher> getPublisher(MqttClient& mqttClient) const override;

 private:
  const SensorKind& kind_;
};

}  // namespace vantro::parser
