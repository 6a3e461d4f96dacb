#include "vantro/bridge/MqttConnect.hpp"

#include "vantro/bridge/Bridge.hpp"

namespace vantro {

Awaitable<void> connectMqtt(std::shared_ptr<MqttClient> client, std::string host, int port) {
  client->connectInBackground(host, port, kMqttKeepAlive);
  co_return;
}

}  // namespace vantro
