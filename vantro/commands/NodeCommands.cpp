#include "vantro/commands/NodeCommands.hpp"

#include "vantro/bridge/Session.hpp"
#include "vantro/commands/NodeCommand.hpp"
#include "vantro/commands/ValueConversion.hpp"

namespace vantro {

using nlohmann::json;

int getNodeIdFromUID(Session& session, const json& uid) {
  return nodeIdOfUID(uid, *session.uid2id);
}

void txMessage(Session& session, std::string_view redisKeyName, const json& valueMap) {
  requireTransmitWorker("txMessage");
  if (const auto command = messageCommand(redisKeyName, valueMap)) {
    session.commander.send(*command);
  }
}

void txSensorConfig(Session& session, std::string_view redisKeyName, const json& config) {
  requireTransmitWorker("txSensorConfig");
  if (const auto command = sensorConfigCommand(redisKeyName, config)) {
    session.commander.send(*command);
  }
}

void setPeerMode(Session& session, const json& nodeUID, const json& keepPeerInRx) {
  requireTransmitWorker("setPeerMode");
  session.commander.setPeerMode(peerModeCommand(nodeUID, keepPeerInRx, *session.uid2id));
}

void txBigMessage(Session& session, std::string_view redisKeyName, const json& valueMap) {
  requireTransmitWorker("txBigMessage");
  if (valueMap.is_null() || (valueMap.is_object() && valueMap.empty())) return;
  session.commander.startFirmware(flashStartCommand(channelFromKey(redisKeyName), valueMap));
}

void txBigMessageStep(Session& session, const json& startAddr, const std::string& filePath,
                      const json& msgId, const json& msgtype, const json& toNodeUID,
                      ByteView authTokenBytes) {
  requireTransmitWorker("txBigMessageStep");
  checkRange(toInteger(msgtype, "value \"msgtype\""), 0, 0xFF, "value \"msgtype\"");
  session.commander.txBigMessageStep(
      toInteger(startAddr, "start address"), filePath,
      toByte(toInteger(msgId, "transfer identifier"), "transfer identifier"),
      toByte(nodeIdOfUID(toNodeUID, *session.uid2id), "network ID of the node"), authTokenBytes);
}

void txBigMessageChunk(Session& session, std::int64_t toNodeId, std::int64_t msgId,
                       ByteView dataChunk, std::int64_t ackTimeout) {
  session.commander.txBigMessageChunk(toByte(toNodeId, "network ID of the node"),
                                      toByte(msgId, "transfer identifier"), dataChunk, ackTimeout);
}

// The same operations over the process's session.
int getNodeIdFromUID(const json& uid) {
  return getNodeIdFromUID(processSession(), uid);
}
void txMessage(std::string_view redisKeyName, const json& valueMap) {
  txMessage(processSession(), redisKeyName, valueMap);
}
void txSensorConfig(std::string_view redisKeyName, const json& config) {
  txSensorConfig(processSession(), redisKeyName, config);
}
void setPeerMode(const json& nodeUID, const json& keepPeerInRx) {
  setPeerMode(processSession(), nodeUID, keepPeerInRx);
}
void txBigMessage(std::string_view redisKeyName, const json& valueMap) {
  txBigMessage(processSession(), redisKeyName, valueMap);
}
void txBigMessageStep(const json& startAddr, const std::string& filePath, const json& msgId,
                      const json& msgtype, const json& toNodeUID, ByteView authTokenBytes) {
  txBigMessageStep(processSession(), startAddr, filePath, msgId, msgtype, toNodeUID,
                   authTokenBytes);
}
void txBigMessageChunk(std::int64_t toNodeId, std::int64_t msgId, ByteView dataChunk,
                       std::int64_t ackTimeout) {
  txBigMessageChunk(processSession(), toNodeId, msgId, dataChunk, ackTimeout);
}

}  // namespace vantro
