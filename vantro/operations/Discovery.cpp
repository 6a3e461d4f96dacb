#include "vantro/operations/Discovery.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "vantro/parser/JsonMsgPublisher.hpp"
#include "vantro/parser/SensorKinds.hpp"

#ifndef VANTRO_VERSION
#define VANTRO_VERSION "0.0.0"
#endif

namespace vantro {
namespace {

using Json = nlohmann::ordered_json;

// How Home Assistant shows a field: its name, device class and unit.
struct FieldLook {
  std::string_view field;
  std::string_view name;
  std::string_view deviceClass;
  std::string_view unit;
};

constexpr std::string_view kRssi = "rssi";

constexpr FieldLook kLooks[] = {
    {"temperature", "Temperature", "temperature", "°C"},
    {"humidity", "Humidity", "humidity", "%"},
    {"water_temperature", "Water temperature", "temperature", "°C"},
    {"distance_mm", "Distance", "distance", "mm"},
    {"battery_mv", "Battery voltage", "voltage", "mV"},
    {kRssi, "Signal strength", "signal_strength", "dBm"},
};

// A field without a look of its own is shown by its name, without a class.
FieldLook lookOf(std::string_view field) {
  for (const FieldLook& l : kLooks) {
    if (l.field == field) return l;
  }
  return {field, {}, {}, {}};
}

std::string displayName(std::string_view field) {
  std::string name(field);
  std::replace(name.begin(), name.end(), '_', ' ');
  if (!name.empty()) name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  return name;
}

const parser::SensorKind* kindNamed(std::string_view kind) {
  for (const parser::SensorKind& k : parser::sensorKinds()) {
    if (k.kind == kind) return &k;
  }
  return nullptr;
}

// The gateway's status, "online"/"offline" (published by the bridge,
// vantro/bridge/GatewayStatus.cpp).
std::string gatewayStatusTopic(const std::string& gatewayUid) {
  return "gw/" + gatewayUid + "/status";
}

std::string gatewayId(const std::string& gatewayUid) {
  return "vantro_gw_" + gatewayUid;
}

Json origin() {
  Json o;
  o["name"] = "vantro";
  o["sw_version"] = VANTRO_VERSION;
  return o;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
  return out;
}

}  // namespace

std::string homeAssistantStatusTopic(const std::string& prefix) {
  return prefix + "/status";
}

std::string nodeAvailabilityTopic(std::uint32_t uid) {
  return fmt::format("sensor/{}/availability", uid);
}

std::vector<DiscoveryMessage> nodeDiscovery(const DiscoveryContext& context, std::uint32_t uid,
                                            const std::vector<std::string>& kinds) {
  // Each field once, with the topic of the first known kind that carries it;
  // the signal strength, which every kind carries, last.
  std::vector<std::pair<std::string, std::string>> fieldTopics;
  std::vector<std::string> known;
  for (const std::string& kind : kinds) {
    const parser::SensorKind* k = kindNamed(kind);
    if (!k) continue;
    known.push_back(kind);
    const std::string topic = parser::sensorTopic(uid, kind);
    for (const parser::FieldSpec& f : k->fields) {
      const bool present = std::any_of(fieldTopics.begin(), fieldTopics.end(),
                                       [&](const auto& ft) { return ft.first == f.name; });
      if (!present) fieldTopics.emplace_back(f.name, topic);
    }
  }
  if (known.empty()) return {};
  fieldTopics.emplace_back(kRssi, parser::sensorTopic(uid, known.front()));

  Json device;
  device["identifiers"] = Json::array({fmt::format("vantro_{}", uid)});
  device["name"] = fmt::format("Node {}", uid);
  device["model"] = joined(known);
  device["via_device"] = gatewayId(context.gatewayUid);
  Json availability = Json::array();
  availability.push_back(Json{{"topic", gatewayStatusTopic(context.gatewayUid)}});
  if (context.nodeAvailability) availability.push_back(Json{{"topic", nodeAvailabilityTopic(uid)}});

  std::vector<DiscoveryMessage> messages;
  for (const auto& [field, topic] : fieldTopics) {
    const FieldLook look = lookOf(field);
    const std::string objectId = fmt::format("vantro_{}_{}", uid, field);
    Json j;
    j["name"] = look.name.empty() ? displayName(field) : std::string(look.name);
    j["unique_id"] = objectId;
    j["state_topic"] = topic;
    j["value_template"] = fmt::format("{{{{ value_json.{} }}}}", field);
    if (!look.unit.empty()) j["unit_of_measurement"] = look.unit;
    if (!look.deviceClass.empty()) j["device_class"] = look.deviceClass;
    j["state_class"] = "measurement";
    if (field == kRssi) j["entity_category"] = "diagnostic";
    j["availability"] = availability;
    j["availability_mode"] = "all";
    j["device"] = device;
    j["origin"] = origin();
    messages.push_back({fmt::format("{}/sensor/{}/config", context.prefix, objectId), j.dump()});
  }
  return messages;
}

DiscoveryMessage gatewayDiscovery(const DiscoveryContext& context,
                                  std::optional<std::uint32_t> firmwareRevision) {
  const std::string id = gatewayId(context.gatewayUid);
  Json device;
  device["identifiers"] = Json::array({id});
  device["name"] = "Vantro gateway " + context.gatewayUid;
  device["model"] = "Duzediv Eri";
  if (firmwareRevision) device["sw_version"] = std::to_string(*firmwareRevision);
  Json j;
  j["name"] = "Connectivity";
  j["unique_id"] = id;
  j["state_topic"] = gatewayStatusTopic(context.gatewayUid);
  j["payload_on"] = "online";
  j["payload_off"] = "offline";
  j["device_class"] = "connectivity";
  j["entity_category"] = "diagnostic";
  j["device"] = device;
  j["origin"] = origin();
  return {fmt::format("{}/binary_sensor/{}/config", context.prefix, id), j.dump()};
}

}  // namespace vantro
