#include "vantro/commands/NodeCommands.hpp"

#include <stdexcept>

#include <fmt/format.h>

#include "vantro/runtime/EventLoop.hpp"
#include "vantro/runtime/Print.hpp"
#include "vantro/bridge/State.hpp"
#include "vantro/commands/LinkAccess.hpp"
#include "vantro/commands/NodeFrames.hpp"
#include "vantro/commands/ValueConversion.hpp"

namespace vantro {

void requireTransmitWorker(std::string_view operation) {
  if (EventLoop::running() != nullptr) {
    throw std::logic_error(fmt::format(
        "{} blocks on the serial line and must run on the transmit worker, not on the event "
        "loop",
        operation));
  }
}

std::shared_ptr<SerialLink> openLink(std::string_view operation) {
  std::shared_ptr<SerialLink> link = ser;
  if (!link) throw std::runtime_error(fmt::format("{}: the serial port is not open", operation));
  return link;
}

void txMessage(std::string_view redisKeyName, const nlohmann::json& valueMap) {
  requireTransmitWorker("txMessage");
  const auto frame = buildTxFrame(redisKeyName, valueMap);
  if (!frame) return;
  openLink("txMessage")->writeCommand(frame->bytes);
  print("Sent message to node with ID {} of length {}", frame->toid, frame->bytes[2] - 1);
}

void txSensorConfig(std::string_view redisKeyName, const nlohmann::json& config) {
  requireTransmitWorker("txSensorConfig");
  const auto frame = buildSensorConfigFrame(redisKeyName, config);
  if (!frame) return;
  openLink("txSensorConfig")->writeCommand(*frame);
  print("Sent sensor config from channel {} to Duzediv Eri", redisKeyName);
}

void setPeerMode(const nlohmann::json& nodeUID, const nlohmann::json& keepPeerInRx) {
  requireTransmitWorker("setPeerMode");
  const int nodeId = getNodeIdFromUID(nodeUID);
  const std::int64_t mode = toInteger(keepPeerInRx, "keep-peer-in-rx mode");
  const Bytes frame = buildPeerModeFrame(nodeId, mode);
  const auto link = openLink("setPeerMode");
  // The receive loop reads every byte from the board; announcing the wait
  // before writing makes it hand the reply over here.
  peerModeReply.expect();
  try {
    link->writeCommand(frame);
  } catch (...) {
    peerModeReply.wait(std::chrono::milliseconds::zero());  // ends the expectation
    throw;
  }
  const Bytes byteList = peerModeReply.wait(kPeerModeReplyTimeout);
  if (byteList == toBytes("PMS")) {
    print("Set keep-peer-in-rx mode for node ID {} to {}", nodeId, mode);
  } else {
    print(
        "Failed to set keep-peer-in-rx mode for node ID {} to {} - node not registered. Error "
        "code: {}",
        nodeId, mode, bytesLiteral(byteList));
  }
}

}  // namespace vantro
