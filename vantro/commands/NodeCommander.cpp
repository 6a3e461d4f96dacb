#include "vantro/commands/NodeCommander.hpp"

#include <stdexcept>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "vantro/commands/NodeFrames.hpp"
#include "vantro/runtime/EventLoop.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {

void requireTransmitWorker(std::string_view operation) {
  if (EventLoop::running() != nullptr) {
    throw std::logic_error(fmt::format(
        "{} blocks on the serial line and must run on the transmit worker, not on the event "
        "loop",
        operation));
  }
}

NodeCommander::NodeCommander(std::function<std::shared_ptr<SerialLink>()> link,
                             std::shared_ptr<NodeIdTable> nodeIds,
                             std::shared_ptr<GatewayCounters> counters)
    : link_(std::move(link)),
      nodeIds_(std::move(nodeIds)),
      counters_(counters ? std::move(counters) : std::make_shared<GatewayCounters>()) {}

std::shared_ptr<SerialLink> NodeCommander::openLink(std::string_view operation) const {
  std::shared_ptr<SerialLink> link = link_ ? link_() : nullptr;
  if (!link) throw std::runtime_error(fmt::format("{}: the serial port is not open", operation));
  return link;
}

void NodeCommander::runReporting(const NodeCommand& command) {
  try {
    run(command);
    ++counters_->commandsExecuted;
  } catch (const std::exception& e) {
    printRejectedCommand(command.topic, e.what());
    ++counters_->commandsRefused;
  } catch (...) {
    printRejectedCommand(command.topic, "unknown error");
    ++counters_->commandsRefused;
  }
}

void NodeCommander::run(const NodeCommand& command) {
  std::visit(
      [this](const auto& action) {
        using T = std::decay_t<decltype(action)>;
        if constexpr (std::is_same_v<T, FrameCommand>) {
          send(action);
        } else if constexpr (std::is_same_v<T, PeerModeCommand>) {
          setPeerMode(action);
        } else if constexpr (std::is_same_v<T, FlashStartCommand>) {
          startFirmware(action);
        } else {
          nextFirmwareStep(action);
        }
      },
      command.action);
}

void NodeCommander::send(const FrameCommand& command) {
  requireTransmitWorker("send");
  openLink("send")->writeCommand(command.frame);
  printLine(command.sentLine);
}

void NodeCommander::setPeerMode(const PeerModeCommand& command) {
  requireTransmitWorker("setPeerMode");
  const auto link = openLink("setPeerMode");
  // The receive loop reads every byte from the board; announcing the wait
  // before writing makes it hand the reply over here.
  peerModeReply.expect();
  try {
    link->writeCommand(buildPeerModeFrame(command.nodeId, command.mode));
  } catch (...) {
    peerModeReply.wait(std::chrono::milliseconds::zero());  // ends the expectation
    throw;
  }
  const Bytes byteList = peerModeReply.wait(kPeerModeReplyTimeout);
  if (byteList == toBytes("PMS")) {
    print("Set keep-peer-in-rx mode for node ID {} to {}", command.nodeId, command.mode);
  } else {
    print(
        "Failed to set keep-peer-in-rx mode for node ID {} to {} - node not registered. Error "
        "code: {}",
        command.nodeId, command.mode, bytesLiteral(byteList));
  }
}

}  // namespace vantro
