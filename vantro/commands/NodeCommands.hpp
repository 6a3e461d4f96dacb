#pragma once
// The node commands of the main module: operations of the embedding program
// that send a command for a sensor node to the Duzediv Eri.
//
// Each one writes its frame to `ser` as one locked command, after the whole
// frame has been built and checked: a command that fails (missing key, value
// that is no integer or does not fit its field) writes nothing, and the error
// reaches the caller. They block on the serial line (and setPeerMode on the
// board's reply), so they run on the transmit worker (queue them with the
// protocol object's scheduleTx); called on the event-loop thread they throw
// std::logic_error.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

/// How long setPeerMode waits for the board's answer to "PM".
inline constexpr std::chrono::milliseconds kPeerModeReplyTimeout{1000};

/// Throws std::logic_error when called on an event-loop thread.
void requireTransmitWorker(std::string_view operation);

/// Sends the control message of `valueMap` ("msgtype", its value key, "toid")
/// on the channel named by `redisKeyName` ("TX"). An empty map or a message
/// type without a node message sends and prints nothing.
void txMessage(std::string_view redisKeyName, const nlohmann::json& valueMap);

/// Sends the sensor configuration `config` on the channel named by
/// `redisKeyName` ("PP"). An empty record sends and prints nothing.
void txSensorConfig(std::string_view redisKeyName, const nlohmann::json& config);

/// Switches the keep-peer-in-rx mode of node `nodeUID` ("PM") and reports
/// whether the board accepted it. A refusal or no answer within
/// kPeerModeReplyTimeout is printed, not thrown.
void setPeerMode(const nlohmann::json& nodeUID, const nlohmann::json& keepPeerInRx);

/// Firmware transfer. txBigMessage starts one ("startAddr", "filePath",
/// "msgtype", "toNodeUID", "authToken"; the transfer id is the number of the
/// command key) and sends the first chunk; txBigMessageStep sends the chunk
/// from `startAddr`, or the closing message once past the image; both keep
/// `flashUpdateStatus` up to date.
void txBigMessage(std::string_view redisKeyName, const nlohmann::json& valueMap);
void txBigMessageStep(const nlohmann::json& startAddr, const std::string& filePath,
                      const nlohmann::json& msgId, const nlohmann::json& msgtype,
                      const nlohmann::json& toNodeUID, ByteView authTokenBytes);
void txBigMessageChunk(std::int64_t toNodeId, std::int64_t msgId, ByteView dataChunk,
                       std::int64_t ackTimeout);

}  // namespace vantro
