// Over-the-air firmware transfer: an Intel HEX image cut into "TB" frames.
//
// The node acknowledges each frame; whoever watches those acknowledgements
// sends a "next" step with the next address (the previous address plus the
// bytes sent), which sets "txstatus" back to "SENDING". Each step sends one
// chunk; a step past the end of the image sends the closing message with the
// authentication token.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "vantro/commands/NodeCommander.hpp"
#include "vantro/commands/NodeFrames.hpp"
#include "vantro/commands/ValueConversion.hpp"
#include "vantro/ihex/IntelHex.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

using nlohmann::json;

/// Chunks sent per step.
constexpr int kBurstCount = 1;
/// The first chunk is shorter, and the node gets longer to acknowledge it
/// (it prepares its flash then).
constexpr std::int64_t kFirstChunkSize = 42;
constexpr std::int64_t kChunkSize = 50;
constexpr std::int64_t kFirstAckTimeout = 500;
constexpr std::int64_t kAckTimeout = 40;

// The node-id table as the gateway prints it, e.g. {17: 3, 258: 5}.
std::string uid2idText(const NodeIdTable& table) {
  std::string out = "{";
  for (const auto& [uid, nodeId] : table.snapshot()) {
    if (out.size() > 1) out += ", ";
    out += fmt::format("{}: {}", uid, nodeId);
  }
  return out + "}";
}

double wallClockSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

bool NodeCommander::transferSending() const {
  if (!flashUpdateStatus.is_object()) return false;
  const auto it = flashUpdateStatus.find("txstatus");
  return it != flashUpdateStatus.end() && it->is_string() && *it == "SENDING";
}

void NodeCommander::startFirmware(const FlashStartCommand& c) {
  requireTransmitWorker("txBigMessage");
  const Byte toNodeId = toByte(nodeIds_->get(c.toNodeUID), "network ID of the node");
  // End the previous transfer: drop its image, switch its target's peer mode off.
  if (flashUpdateStatus.is_object()) {
    const auto path = flashUpdateStatus.find("filePath");
    if (path != flashUpdateStatus.end() && path->is_string()) {
      ihexCache.erase(path->get<std::string>());
    }
    const auto previous = flashUpdateStatus.find("toNodeUID");
    if (previous != flashUpdateStatus.end()) {
      setPeerMode(peerModeCommand(*previous, json(0), *nodeIds_));
    }
  }

  json status = json::object();
  status["startTime"] = wallClockSeconds();
  status["startAddr"] = c.startAddr;
  status["filePath"] = c.filePath;
  status["msgtype"] = c.msgtype;
  status["toNodeUID"] = c.toNodeUID;
  status["toNodeId"] = toNodeId;
  status["authToken"] = json::binary(c.authToken);
  status["msgId"] = c.msgId;
  status["txstatus"] = "SENDING";
  status["numSent"] = 0;
  status["noAckError"] = 0;
  status["crcError"] = 0;
  status["tryOnMsgReceive"] = 0;
  status["abortOnNoAck"] = 0;
  flashUpdateStatus = std::move(status);

  print("Starting flash procedure to UID {} with network ID {} ...", c.toNodeUID, toNodeId);
  printLine(uid2idText(*nodeIds_));
  txBigMessageStep(c.startAddr, c.filePath, c.msgId, toNodeId, c.authToken);
}

std::string NodeCommander::nextStepRefusal(std::int64_t msgId) const {
  const json& status = flashUpdateStatus;
  const bool inProgress = status.is_object() && status.contains("msgId") &&
                          status.contains("filePath") && status["filePath"].is_string() &&
                          status.contains("authToken") && status["authToken"].is_binary() &&
                          status.contains("toNodeId") && status["toNodeId"].is_number_integer();
  if (!inProgress) return "no firmware transfer in progress";
  const json& current = status["msgId"];
  if (!current.is_number_integer() || current.get<std::int64_t>() != msgId) {
    return fmt::format("transfer {} is not the one in progress ({})", msgId, current.dump());
  }
  return {};
}

void NodeCommander::nextFirmwareStep(const FlashNextCommand& c) {
  const std::string refusal = nextStepRefusal(c.msgId);
  if (!refusal.empty()) throw CommandRejected(refusal);
  // The node acknowledged the previous frame, so the transfer is sending again.
  flashUpdateStatus["txstatus"] = "SENDING";
  const json status = flashUpdateStatus;
  const auto& token = status["authToken"].get_binary();
  const Bytes authToken(token.begin(), token.end());
  txBigMessageStep(c.startAddr, status["filePath"].get<std::string>(), c.msgId,
                   toByte(status["toNodeId"].get<std::int64_t>(), "network ID of the node"),
                   authToken);
}

void NodeCommander::txBigMessageStep(std::int64_t startAddr, const std::string& filePath,
                                     Byte msgId, Byte toNodeId, ByteView authTokenBytes) {
  requireTransmitWorker("txBigMessageStep");
  // Checked before any arithmetic: the address may come from outside.
  std::int64_t addr = checkRange(startAddr, 0, kMaxFirmwareStartAddr, "start address");
  std::shared_ptr<IntelHex> ih;
  if (const auto cached = ihexCache.find(filePath); cached != ihexCache.end()) {
    ih = cached->second;
  } else {
    std::error_code ec;
    // No file (yet): nothing to send in this step.
    if (filePath.empty() || !std::filesystem::is_regular_file(filePath, ec)) return;
    auto loaded = std::make_shared<IntelHex>(filePath);
    const std::uint32_t highest = loaded->maxaddr();  // an image without data is an error
    ihexCache[filePath] = loaded;
    flashUpdateStatus["maxAddr"] = highest;
    ih = std::move(loaded);
  }
  const std::int64_t maxaddr = ih->maxaddr();

  int numSent = 0;
  while (addr <= maxaddr && numSent < kBurstCount) {
    const std::int64_t ackTimeout = addr == 0 ? kFirstAckTimeout : kAckTimeout;
    const std::int64_t chunksize =
        std::min(addr > 0 ? kChunkSize : kFirstChunkSize, maxaddr - addr + 1);
    // A chunk's address travels as 16 bits: an image reaching above 65535
    // fails here, before its frame is written.
    const std::uint16_t chunkAddr = toU16(addr, "firmware chunk address");
    const Bytes dataChunk =
        ih->tobinarray(static_cast<std::uint32_t>(addr), static_cast<std::size_t>(chunksize));
    txBigMessageChunk(toNodeId, msgId, dataChunkPayload(chunkAddr, dataChunk), ackTimeout);
    addr += static_cast<std::int64_t>(dataChunk.size());
    ++numSent;
  }
  if (addr > maxaddr && transferSending()) {
    txBigMessageChunk(toNodeId, msgId, finalChunkPayload(authTokenBytes), kAckTimeout);
    printLine("Sent last data chunk.");
  }
}

void NodeCommander::txBigMessageChunk(Byte toNodeId, Byte msgId, ByteView dataChunk,
                                      std::int64_t ackTimeout) {
  requireTransmitWorker("txBigMessageChunk");
  const Bytes frame = buildBigMessageFrame(toNodeId, msgId, dataChunk, ackTimeout);
  openLink("txBigMessageChunk")->writeCommand(frame);
  flashUpdateStatus["txstatus"] = "ACK_WAIT";
  json& numSent = flashUpdateStatus["numSent"];
  numSent = (numSent.is_number_integer() ? numSent.get<std::int64_t>() : 0) + 1;
}

}  // namespace vantro
