// The gateway's availability on MQTT and the subscription of its commands,
// both named after the board's unique ID.
#include <utility>

#include "vantro/bridge/Bridge.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

std::string ownCommandFilter(const std::string& uid) {
  return "gw/" + uid + "/tx/#";
}

}  // namespace

std::string statusTopic(const std::string& uid) {
  return "gw/" + uid + "/status";
}

void setStatusWill(const Session& session, MqttClient& client) {
  if (session.gatewayUid.empty()) return;
  client.setWill(statusTopic(session.gatewayUid), kStatusOffline, 1, true);
}

void publishStatus(const Session& session, MqttClient& client, std::string_view status) {
  if (session.gatewayUid.empty() || !client.isConnected()) return;
  // Ahead of a backlog of readings: the status is about now.
  client.publishAtOnce(statusTopic(session.gatewayUid), status, 1, true);
}

void subscribeCommands(const Session& session, MqttClient& client) {
  const std::string filter = session.commandFilter();
  if (filter.empty()) return;
  print("Subscribing to {}", filter);
  client.subscribe({{filter, 1}});
  if (session.settings.commandScope == CommandScope::Own) {
    client.unsubscribe({"tx/#"});
  } else if (!session.gatewayUid.empty()) {
    client.unsubscribe({ownCommandFilter(session.gatewayUid)});
  }
}

void takeGatewayUid(Session& session, MqttClient& client, const std::string& uid) {
  const std::string old = std::exchange(session.gatewayUid, uid);
  setStatusWill(session, client);
  if (old.empty() || old == uid || !client.isConnected()) return;
  print("The gateway's unique ID changed from {} to {}", old, uid);
  client.publishAtOnce(statusTopic(old), kStatusOffline, 1, true);
  publishStatus(session, client, kStatusOnline);
  if (session.settings.commandScope == CommandScope::Own) {
    client.unsubscribe({ownCommandFilter(old)});
    subscribeCommands(session, client);
  }
}

}  // namespace vantro
