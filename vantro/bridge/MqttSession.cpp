// The MQTT callbacks of the bridge and the intake of commands under "tx/".
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/runtime/Print.hpp"
#include "vantro/bridge/Bridge.hpp"
#include "vantro/bridge/State.hpp"

namespace vantro {
namespace {
CommandHandler gCommandHandler;
}

void setCommandHandler(CommandHandler handler) {
  gCommandHandler = std::move(handler);
}

void on_connect(MqttClient& client, int flags, int rc, const std::string& properties) {
  if (myProtocol) myProtocol->setMqttConnected(true);
  print("Connected to MQTT broker. flags {}. rc {}. props {}.", flags, rc, properties);
  print("Subscribing to tx/#");
  client.subscribe({{"tx/#", 1}});
}

void on_disconnect(MqttClient&, int, std::exception_ptr) {
  print("Disconnected from MQTT broker");
}

void on_message(MqttClient&, const std::string& topic, const Bytes& payload, int,
                const MessageProperties& properties) {
  print("RECV MSG on topic {}", topic);
  txMsgQueue[topic] = payload;
  if (gCommandHandler) gCommandHandler(topic, payload, properties);
}

}  // namespace vantro
