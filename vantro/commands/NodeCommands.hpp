#pragma once
// The node operations for an embedding program, over the process's gateway
// session (processSession()): each parses and checks its values into a typed
// command, exactly as a command arriving over MQTT is, and runs it on the
// calling thread, which must be the transmit worker (queue them with the
// protocol object's scheduleTx); called on the event-loop thread they throw
// std::logic_error. A command that fails its checks writes nothing, and the
// error reaches the caller.
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

class Session;

/// The network id of the node with unique ID `uid` (an integer or decimal
/// text), or 255 when the gateway does not know it.
int getNodeIdFromUID(const nlohmann::json& uid);

/// Sends the control message of `valueMap` ("msgtype", its value key, "toid")
/// on the channel named by `redisKeyName` ("TX"). An empty map or a message
/// type without a node message sends and prints nothing.
void txMessage(std::string_view redisKeyName, const nlohmann::json& valueMap);

/// Sends the sensor configuration `config` on the channel named by
/// `redisKeyName` ("PP"). An empty record sends and prints nothing.
void txSensorConfig(std::string_view redisKeyName, const nlohmann::json& config);

/// Switches the keep-peer-in-rx mode of node `nodeUID` ("PM") and reports
/// whether the board accepted it.
void setPeerMode(const nlohmann::json& nodeUID, const nlohmann::json& keepPeerInRx);

/// Firmware transfer. txBigMessage starts one ("startAddr", "filePath",
/// "msgtype", "toNodeUID", "authToken"; the transfer id is the number of the
/// command key) and sends the first chunk; txBigMessageStep sends the chunk
/// from `startAddr`, or the closing message once past the image.
void txBigMessage(std::string_view redisKeyName, const nlohmann::json& valueMap);
void txBigMessageStep(const nlohmann::json& startAddr, const std::string& filePath,
                      const nlohmann::json& msgId, const nlohmann::json& msgtype,
                      const nlohmann::json& toNodeUID, ByteView authTokenBytes);
void txBigMessageChunk(std::int64_t toNodeId, std::int64_t msgId, ByteView dataChunk,
                       std::int64_t ackTimeout);

/// The same operations on a given session.
int getNodeIdFromUID(Session& session, const nlohmann::json& uid);
void txMessage(Session& session, std::string_view redisKeyName, const nlohmann::json& valueMap);
void txSensorConfig(Session& session, std::string_view redisKeyName, const nlohmann::json& config);
void setPeerMode(Session& session, const nlohmann::json& nodeUID,
                 const nlohmann::json& keepPeerInRx);
void txBigMessage(Session& session, std::string_view redisKeyName, const nlohmann::json& valueMap);
void txBigMessageStep(Session& session, const nlohmann::json& startAddr,
                      const std::string& filePath, const nlohmann::json& msgId,
                      const nlohmann::json& msgtype, const nlohmann::json& toNodeUID,
                      ByteView authTokenBytes);
void txBigMessageChunk(Session& session, std::int64_t toNodeId, std::int64_t msgId,
                       ByteView dataChunk, std::int64_t ackTimeout);

}  // namespace vantro
