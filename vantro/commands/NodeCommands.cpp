#include "vantro/commands/NodeCommands.hpp"

#include "vantro/bridge/Session.hpp"
#include "vantro/commands/NodeCommand.hpp"
#include "vantro/commands/ValueConversion.hpp"

namespace vantro {

using nlohmann::json;

int getNodeIdFromUID(const json& uid) {
  return nodeIdOfUID(uid, *processSession().uid2id);
}

void txMessage(std::string_view redisKeyName, const json& valueMap) {
  requireTransmitWorker("txMessage");
  Session& session = processSession();
  if (const auto command = messageCommand(redisKeyName, valueMap)) {
    session.commander.send(*command);
  }
}

void txSensorConfig(std::string_view redisKeyName, const json& config) {
  requireTransmitWorker("txSensorConfig");
  Session& session = processSession();
  if (const auto command = sensorConfigCommand(redisKeyName, config)) {
    session.commander.send(*command);
  }
}

void setPeerMode(const json& nodeUID, const json& keepPeerInRx) {
  requireTransmitWorker("setPeerMode");
  Session& session = processSession();
  session.commander.setPeerMode(peerModeCommand(nodeUID, keepPeerInRx, *session.uid2id));
}

void txBigMessage(std::string_view redisKeyName, const json& valueMap) {
  requireTransmitWorker("txBigMessage");
  if (valueMap.is_null() || (valueMap.is_object() && valueMap.empty())) return;
  processSession().commander.startFirmware(
      flashStartCommand(channelFromKey(redisKeyName), valueMap));
}

void txBigMessageStep(const json& startAddr, const std::string& filePath, const json& msgId,
                      const json& msgtype, const json& toNodeUID, ByteView authTokenBytes) {
  requireTransmitWorker("txBigMessageStep");
  Session& session = processSession();
  checkRange(toInteger(msgtype, "value \"msgtype\""), 0, 0xFF, "value \"msgtype\"");
  session.commander.txBigMessageStep(
      toInteger(startAddr, "start address"), filePath,
      toByte(toInteger(msgId, "transfer identifier"), "transfer identifier"),
      toByte(nodeIdOfUID(toNodeUID, *session.uid2id), "network ID of the node"), authTokenBytes);
}

void txBigMessageChunk(std::int64_t toNodeId, std::int64_t msgId, ByteView dataChunk,
                       std::int64_t ackTimeout) {
  processSession().commander.txBigMessageChunk(toByte(toNodeId, "network ID of the node"),
                                               toByte(msgId, "transfer identifier"), dataChunk,
                                               ackTimeout);
}

}  // namespace vantro
