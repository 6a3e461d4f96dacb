// The MQTT callbacks of the bridge and the intake of its commands.
#include "vantro/bridge/Bridge.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/runtime/Escape.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {

void on_connect(Session& session, MqttClient& client, int flags, int rc,
                const std::string& properties) {
  session.operations.connected();
  if (session.myProtocol) session.myProtocol->setMqttConnected(true);
  print("Connected to MQTT broker. flags {}. rc {}. props {}.", flags, rc, properties);
  subscribeCommands(session, client);
}

void on_connect(MqttClient& client, int flags, int rc, const std::string& properties) {
  on_connect(processSession(), client, flags, rc, properties);
}

void on_disconnect(MqttClient&, int, std::exception_ptr) {
  print("Disconnected from MQTT broker");
}

void on_message(Session& session, MqttClient&, const std::string& topic, const Bytes& payload, int,
                const MessageProperties& properties) {
  print("RECV MSG on topic {}", escapeControls(topic));
  if (session.operations.takeMessage(topic, payload, properties)) return;
  session.takeMessage(topic, payload, properties);
}

void on_message(MqttClient& client, const std::string& topic, const Bytes& payload, int qos,
                const MessageProperties& properties) {
  on_message(processSession(), client, topic, payload, qos, properties);
}

}  // namespace vantro
