#pragma once
// Broker-side tools of the end-to-end tests, through the Mosquitto clients:
// what a new subscriber gets as retained messages, a single publication, and
// the JSON payloads of a subscriber's "topic payload" lines.
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vantro::test {

/// The retained messages under `filter` (topic to payload), as a subscriber
/// that connects now receives them.
std::map<std::string, std::string> retainedMessages(int port, const std::string& filter);
/// Publishes one message (QoS 1); an empty retained payload deletes a retained message.
void publishMessage(int port, const std::string& topic, const std::string& payload,
                    bool retain = false);
/// The payloads, parsed, of the "topic payload" lines on exactly `topic`.
std::vector<nlohmann::json> jsonOn(const std::vector<std::string>& lines, const std::string& topic);

}  // namespace vantro::test
