#pragma once
#include <memory>
#include <string>

#include "vantro/mqtt/MqttClient.hpp"

namespace vantro {

/// Connects `client` and waits for the connection. If the broker cannot be
/// reached, the error is printed and a background task keeps trying with
/// back-off (1 s doubling to 60 s) until the client is connected or the run
/// ends, so that a broker that starts after the gateway still gets the readings.
Awaitable<void> connectMqtt(std::shared_ptr<MqttClient> client, std::string host, int port);

}  // namespace vantro
