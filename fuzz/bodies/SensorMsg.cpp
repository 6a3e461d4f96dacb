// The body of a node message through the sensor message parser: the parser
// chosen by the type byte, the parsed fields, the printed line and the JSON
// publication.
//
// Input: four bytes of sender UID, one signal magnitude byte, then the body.
#include <algorithm>
#include <cmath>
#include <memory>

#include <nlohmann/json.hpp>

#include "fuzz/Support.hpp"
#include "fuzz/Targets.hpp"
#include "vantro/parser/JsonMsgPublisher.hpp"
#include "vantro/parser/SensorMsgParser.hpp"

namespace vantro::fuzz {

int fuzzSensorMsg(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  static const SensorMsgParser parser;
  const std::uint32_t uid = (std::uint32_t{data[0]} << 24) | (std::uint32_t{data[1]} << 16) |
                            (std::uint32_t{data[2]} << 8) | std::uint32_t{data[3]};
  const int rssi = -static_cast<int>(data[4]);
  const ByteView body(data + 5, size - 5);
  const SpecificMsgParser* p = parser.getParser(body);
  if (!p) return 0;
  const ParsedMsg msg = p->parse(uid, body);
  check(msg.senderUID == uid, "parsed message names another sender");
  check(!msg.kind.empty(), "parsed message has no kind");
  for (const ParsedMsg::Field& f : msg.fields) {
    check(std::isfinite(f.value), "field " + f.name + " is not finite");
    check(f.decimals >= 0 && f.decimals <= 6, "field " + f.name + " has odd decimals");
  }
  const std::string line = parser.toString(msg);
  check(line.starts_with(msg.kind), "printed line does not start with the kind: " + line);
  RecordingClient client;
  p->getPublisher(client)->publish(uid, 1700000000123, msg, rssi);
  check(client.publications.size() == 1, "not one publication per message");
  const auto& pub = client.publications[0];
  check(pub.topic == parser::sensorTopic(uid, msg.kind), "topic differs from sensorTopic");
  checkSensorPublication(pub);
  // The published numbers are the parsed values, written exactly.
  const auto json = nlohmann::ordered_json::parse(pub.payload);
  check(json.size() == msg.fields.size() + 2, "JSON members differ from the parsed fields");
  for (const ParsedMsg::Field& f : msg.fields) {
    check(json.contains(f.name), "JSON lacks field " + f.name);
    const double v = json[f.name].get<double>();
    check(std::fabs(v - f.value) <= 1e-9 * std::max(1.0, std::fabs(f.value)),
          "JSON value of " + f.name + " differs from the parsed one: " + pub.payload);
  }
  check(json["ts"].get<std::int64_t>() == 1700000000123, "JSON ts is not the reception time");
  check(json["rssi"].get<int>() == rssi, "JSON rssi is not the signal");
  return 0;
}

}  // namespace vantro::fuzz
