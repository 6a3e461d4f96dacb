#pragma once
#include <memory>
#include <string>

#include "vantro/mqtt/MqttClient.hpp"

namespace vantro {

/// Starts connecting `client` in the background and returns at once: the
/// client keeps trying (back-off 1 s doubling to 60 s, one printed line per
/// failed attempt) until the broker takes the session or the run ends, so the
/// board is served while the broker is away and a broker that starts after
/// the gateway still gets every reading.
Awaitable<void> connectMqtt(std::shared_ptr<MqttClient> client, std::string host, int port);

}  // namespace vantro
