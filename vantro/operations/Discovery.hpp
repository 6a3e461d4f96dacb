#pragma once
// Home Assistant MQTT discovery: the retained configuration messages that make
// the nodes and the gateway appear in Home Assistant (docs/home-assistant.md).
//
// Each node is a device ("vantro_{uid}", reached through the gateway's device)
// with one sensor per field of the kinds it has sent, plus its signal strength
// as a diagnostic sensor, under "{prefix}/sensor/vantro_{uid}_{field}/config".
// A field that several kinds carry (battery_mv) is one entity, fed by the
// first kind seen that carries it; so is the signal strength, which every
// kind carries. The gateway is a device ("vantro_gw_{uid}") with a
// connectivity binary sensor fed by "gw/{uid}/status".
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantro {

struct DiscoveryMessage {
  std::string topic;
  std::string payload;
};

struct DiscoveryContext {
  std::string prefix = "homeassistant";
  std::string gatewayUid;
  /// Whether nodes publish their availability on "sensor/{uid}/availability"
  /// (a node timeout is set): the entities then also follow it.
  bool nodeAvailability = true;
};

/// The configuration messages of node `uid` that has sent `kinds` (in the
/// order first seen). Kinds this build does not know are skipped.
std::vector<DiscoveryMessage> nodeDiscovery(const DiscoveryContext& context, std::uint32_t uid,
                                            const std::vector<std::string>& kinds);
/// The configuration message of the gateway's connectivity sensor.
DiscoveryMessage gatewayDiscovery(const DiscoveryContext& context,
                                  std::optional<std::uint32_t> firmwareRevision);
/// The topic on which Home Assistant announces itself ("online", "offline").
std::string homeAssistantStatusTopic(const std::string& prefix);
/// The availability topic of node `uid`.
std::string nodeAvailabilityTopic(std::uint32_t uid);

}  // namespace vantro
