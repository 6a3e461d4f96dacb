#pragma once
// Runs node commands on the transmit worker: writes their frames to the serial
// link of the current run, waits for the board's answer to a peer-mode
// command, and keeps the state of the firmware transfer in progress.
//
// Everything here blocks on the serial line (and the peer-mode command on the
// board's reply), so it runs on the transmit worker; called on the event-loop
// thread it throws std::logic_error. Errors reach the caller.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vantro/commands/NodeCommand.hpp"
#include "vantro/commands/PeerModeReply.hpp"
#include "vantro/link/SerialLink.hpp"
#include "vantro/operations/GatewayCounters.hpp"
#include "vantro/protocol/TelvariSpeakV1/NodeIdTable.hpp"

namespace vantro {

class IntelHex;

/// How long a peer-mode command waits for the board's answer to "PM".
inline constexpr std::chrono::milliseconds kPeerModeReplyTimeout{1000};

/// Throws std::logic_error when called on an event-loop thread.
void requireTransmitWorker(std::string_view operation);

class NodeCommander {
 public:
  /// `link` answers the serial link of the current run (none between runs).
  /// `counters`, when given, counts the commands run and refused.
  NodeCommander(std::function<std::shared_ptr<SerialLink>()> link,
                std::shared_ptr<NodeIdTable> nodeIds,
                std::shared_ptr<GatewayCounters> counters = nullptr);

  /// Runs `command`; an error of it becomes the printed line
  /// "Rejected command on {topic}: {reason}" and nothing more. Counts it as
  /// executed or refused.
  void runReporting(const NodeCommand& command);
  void run(const NodeCommand& command);

  void send(const FrameCommand& command);
  /// A refusal by the board or no answer within kPeerModeReplyTimeout is
  /// printed, not thrown.
  void setPeerMode(const PeerModeCommand& command);
  /// Ends the transfer in progress (its image dropped, its node's peer mode
  /// switched off), starts this one and sends its first chunk.
  void startFirmware(const FlashStartCommand& command);
  /// Continues the transfer in progress from the command's address; refused
  /// when no transfer or another one is in progress.
  void nextFirmwareStep(const FlashNextCommand& command);

  /// One step of a transfer: the chunk from `startAddr`, or the closing
  /// message once past the image. An image that is not there yet sends nothing.
  void txBigMessageStep(std::int64_t startAddr, const std::string& filePath, Byte msgId,
                        Byte toNodeId, ByteView authToken);
  void txBigMessageChunk(Byte toNodeId, Byte msgId, ByteView payload, std::int64_t ackTimeout);

  /// Why a "next" step for transfer `msgId` cannot go on now; empty when it can.
  std::string nextStepRefusal(std::int64_t msgId) const;

  PeerModeReply peerModeReply;
  /// State of the firmware transfer in progress (transmit worker only).
  nlohmann::json flashUpdateStatus = nlohmann::json::object();
  /// Firmware images by file path (transmit worker only).
  std::map<std::string, std::shared_ptr<IntelHex>> ihexCache;

 private:
  std::shared_ptr<SerialLink> openLink(std::string_view operation) const;
  bool transferSending() const;

  std::function<std::shared_ptr<SerialLink>()> link_;
  std::shared_ptr<NodeIdTable> nodeIds_;
  std::shared_ptr<GatewayCounters> counters_;
};

}  // namespace vantro
