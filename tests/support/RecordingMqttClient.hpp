#pragma once
// An MQTT client that records what is published instead of sending it.
#include <string>
#include <vector>

#include "vantro/mqtt/MqttClient.hpp"

namespace vantro::test {

class RecordingMqttClient : public MqttClient {
 public:
  struct Publication {
    std::string topic;
    std::string payload;
    int qos;
    bool retain;
  };

  RecordingMqttClient() : MqttClient(NoLibrary{}) {}

  using MqttClient::publish;
  void publish(const std::string& topic, ByteView payload, int qos, bool retain) override {
    publications.push_back({topic, std::string(payload.begin(), payload.end()), qos, retain});
  }

  std::vector<Publication> publications;
};

}  // namespace vantro::test
