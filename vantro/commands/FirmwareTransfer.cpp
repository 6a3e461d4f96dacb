// Over-the-air firmware transfer: an Intel HEX image cut into "TB" frames.
//
// The node acknowledges each frame; whoever watches those acknowledgements
// sets "txstatus" back to "SENDING" and calls txBigMessageStep with the next
// address (the previous address plus the bytes sent). Each step sends one
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

#include "vantro/ihex/IntelHex.hpp"
#include "vantro/runtime/Print.hpp"
#include "vantro/bridge/State.hpp"
#include "vantro/commands/LinkAccess.hpp"
#include "vantro/commands/NodeCommands.hpp"
#include "vantro/commands/NodeFrames.hpp"
#include "vantro/commands/ValueConversion.hpp"

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

bool transferSending() {
  if (!flashUpdateStatus.is_object()) return false;
  const auto it = flashUpdateStatus.find("txstatus");
  return it != flashUpdateStatus.end() && it->is_string() && *it == "SENDING";
}

// The uid2id map as the gateway prints it, e.g. {17: 3, 258: 5}.
std::string uid2idText() {
  std::string out = "{";
  for (const auto& [uid, nodeId] : uid2id.snapshot()) {
    if (out.size() > 1) out += ", ";
    out += fmt::format("{}: {}", uid, nodeId);
  }
  return out + "}";
}

double wallClockSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

void txBigMessage(std::string_view redisKeyName, const json& valueMap) {
  requireTransmitWorker("txBigMessage");
  if (valueMap.is_null() || (valueMap.is_object() && valueMap.empty())) return;
  // The whole command is checked before it ends the transfer in progress: a
  // rejected start leaves that transfer's state, image and peer mode alone.
  const std::int64_t msgId = channelFromKey(redisKeyName);
  const json startAddrValue = requireKey(valueMap, "startAddr");
  const std::int64_t startAddr = toInteger(startAddrValue, "value \"startAddr\"");
  const json& filePathValue = requireKey(valueMap, "filePath");
  if (!filePathValue.is_string()) {
    throw std::invalid_argument(
        fmt::format("value \"filePath\": {} is not a path",
                    filePathValue.dump(-1, ' ', false, json::error_handler_t::replace)));
  }
  const std::string filePath = filePathValue.get<std::string>();
  const json msgtype = requireKey(valueMap, "msgtype");
  const json toNodeUID = requireKey(valueMap, "toNodeUID");
  getNodeIdFromUID(toNodeUID);  // a UID that is no integer fails here
  const json& authTokenValue = requireKey(valueMap, "authToken");
  if (!authTokenValue.is_string()) {
    throw std::invalid_argument(
        fmt::format("value \"authToken\": {} is not hexadecimal text",
                    authTokenValue.dump(-1, ' ', false, json::error_handler_t::replace)));
  }
  const Bytes authToken =
      hexToBytes(authTokenValue.get_ref<const std::string&>(), "value \"authToken\"");

  // End the previous transfer: drop its image, switch its target's peer mode off.
  if (flashUpdateStatus.is_object()) {
    const auto path = flashUpdateStatus.find("filePath");
    if (path != flashUpdateStatus.end() && path->is_string()) {
      ihexCache.erase(path->get<std::string>());
    }
    const auto previous = flashUpdateStatus.find("toNodeUID");
    if (previous != flashUpdateStatus.end()) {
      const json previousUID = *previous;
      setPeerMode(previousUID, 0);
    }
  }

  json status = json::object();
  status["startTime"] = wallClockSeconds();
  status["startAddr"] = startAddr;
  status["filePath"] = filePath;
  status["msgtype"] = msgtype;
  status["toNodeUID"] = toNodeUID;
  status["authToken"] = json::binary(authToken);
  status["msgId"] = msgId;
  status["txstatus"] = "SENDING";
  status["numSent"] = 0;
  status["noAckError"] = 0;
  status["crcError"] = 0;
  status["tryOnMsgReceive"] = 0;
  status["abortOnNoAck"] = 0;
  flashUpdateStatus = std::move(status);

  print("Starting flash procedure to UID {} with network ID {} ...", displayValue(toNodeUID),
        getNodeIdFromUID(toNodeUID));
  printLine(uid2idText());
  txBigMessageStep(startAddrValue, filePath, msgId, msgtype, toNodeUID, authToken);
}

void txBigMessageStep(const json& startAddr, const std::string& filePath, const json& msgId,
                      const json& msgtype, const json& toNodeUID, ByteView authTokenBytes) {
  requireTransmitWorker("txBigMessageStep");
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

  std::int64_t addr = toInteger(startAddr, "start address");
  const std::int64_t id = toInteger(msgId, "transfer identifier");
  checkRange(toInteger(msgtype, "value \"msgtype\""), 0, 0xFF, "value \"msgtype\"");
  const int toNodeId = getNodeIdFromUID(toNodeUID);

  int numSent = 0;
  while (addr <= maxaddr && numSent < kBurstCount) {
    const std::int64_t ackTimeout = addr == 0 ? kFirstAckTimeout : kAckTimeout;
    const std::int64_t chunksize =
        std::min(addr > 0 ? kChunkSize : kFirstChunkSize, maxaddr - addr + 1);
    // A chunk's address travels as 16 bits: an image reaching above 65535 (or
    // a negative start) fails here, before its frame is written.
    checkRange(addr, 0, 0xFFFF, "firmware chunk address");
    const Bytes dataChunk =
        ih->tobinarray(static_cast<std::uint32_t>(addr), static_cast<std::size_t>(chunksize));
    txBigMessageChunk(toNodeId, id, dataChunkPayload(addr, dataChunk), ackTimeout);
    addr += static_cast<std::int64_t>(dataChunk.size());
    ++numSent;
  }
  if (addr > maxaddr && transferSending()) {
    txBigMessageChunk(toNodeId, id, finalChunkPayload(authTokenBytes), kAckTimeout);
    printLine("Sent last data chunk.");
  }
}

void txBigMessageChunk(std::int64_t toNodeId, std::int64_t msgId, ByteView dataChunk,
                       std::int64_t ackTimeout) {
  requireTransmitWorker("txBigMessageChunk");
  const Bytes frame = buildBigMessageFrame(toNodeId, msgId, dataChunk, ackTimeout);
  openLink("txBigMessageChunk")->writeCommand(frame);
  flashUpdateStatus["txstatus"] = "ACK_WAIT";
  json& numSent = flashUpdateStatus["numSent"];
  numSent = (numSent.is_number_integer() ? numSent.get<std::int64_t>() : 0) + 1;
}

}  // namespace vantro
