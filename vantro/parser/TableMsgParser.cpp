#include "vantro/parser/TableMsgParser.hpp"

#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "vantro/parser/JsonMsgPublisher.hpp"

namespace vantro::parser {
namespace {

double scale(int decimals) {
  double s = 1;
  for (int i = 0; i < decimals; ++i) s *= 10;
  return s;
}

}  // namespace

bool TableMsgParser::accepts(ByteView payload) const {
  return payload.size() == kind_.bodySize() && payload[0] == kind_.type;
}

ParsedMsg TableMsgParser::parse(std::uint32_t senderUID, ByteView payload) const {
  if (!accepts(payload)) {
    throw std::invalid_argument(fmt::format(
        "not a {} message: expected type 0x{:02x} and {} bytes, got {} bytes{}", kind_.kind,
        kind_.type, kind_.bodySize(), payload.size(),
        payload.empty() ? std::string() : fmt::format(" of type 0x{:02x}", payload[0])));
  }
  ParsedMsg msg;
  msg.kind = std::string(kind_.kind);
  msg.senderUID = senderUID;
  std::size_t offset = 1;
  for (const FieldSpec& f : kind_.fields) {
    const std::uint16_t raw = readU16BE(payload, offset);
    offset += 2;
    const double value =
        f.isSigned ? static_cast<double>(static_cast<std::int16_t>(raw)) : static_cast<double>(raw);
    msg.fields.push_back({std::string(f.name), value / scale(f.decimals), f.decimals});
  }
  return msg;
}

std::unique_ptr<MsgPublisher> TableMsgParser::getPublisher(MqttClient& mqttClient) const {
  return std::make_unique<JsonMsgPublisher>(mqttClient);
}

}  // namespace vantro::parser
