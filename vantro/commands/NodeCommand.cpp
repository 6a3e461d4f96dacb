#include "vantro/commands/NodeCommand.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "vantro/commands/NodeFrames.hpp"
#include "vantro/commands/ValueConversion.hpp"
#include "vantro/runtime/Escape.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view kTopics =
    "tx/msg/{channel}, tx/config/{channel}, tx/peermode/{uid}, tx/flash/{msgId}, "
    "tx/flash/{msgId}/next";

std::string show(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool absentOrEmpty(const json& map) {
  return map.is_null() || (map.is_object() && map.empty());
}

std::vector<std::string_view> splitTopic(std::string_view topic) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = topic.find('/', start);
    parts.push_back(topic.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (slash == std::string_view::npos) return parts;
    start = slash + 1;
  }
}

// The number in a topic level: decimal digits only.
std::int64_t topicNumber(std::string_view text, std::string_view what, std::int64_t max) {
  const bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                                   [](char ch) { return ch >= '0' && ch <= '9'; });
  if (!digits) throw CommandRejected(fmt::format("{} \"{}\" is not a number", what, text));
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() ||
      v > static_cast<std::uint64_t>(max)) {
    throw CommandRejected(fmt::format("{}: {} is outside 0 to {}", what, text, max));
  }
  return static_cast<std::int64_t>(v);
}

// nlohmann's messages start with "[json.exception.parse_error.101] ".
std::string parseErrorText(const std::string& what) {
  const std::size_t close = what.rfind("] ", what.find(' '));
  return close == std::string::npos ? what : what.substr(close + 2);
}

json parsePayload(ByteView payload) {
  if (payload.size() > kMaxCommandPayload) {
    throw CommandRejected(fmt::format("the payload of {} bytes is larger than {} bytes",
                                      payload.size(), kMaxCommandPayload));
  }
  // Deeply nested input is refused while it is parsed (printing it would recurse).
  const json::parser_callback_t limitDepth = [](int depth, json::parse_event_t, json&) {
    if (depth > kMaxCommandDepth) {
      throw CommandRejected(
          fmt::format("the payload is nested deeper than {} levels", kMaxCommandDepth));
    }
    return true;
  };
  const char* begin = reinterpret_cast<const char*>(payload.data());
  json value;
  try {
    value = json::parse(begin, begin + payload.size(), limitDepth);
  } catch (const json::parse_error& e) {
    throw CommandRejected("the payload is not JSON: " + parseErrorText(e.what()));
  }
  if (!value.is_object()) throw CommandRejected("the payload is not a JSON object");
  return value;
}

const std::string& textField(const json& map, const char* key) {
  const json& v = requireKey(map, key);
  if (!v.is_string()) {
    throw std::invalid_argument(fmt::format("value \"{}\": {} is not text", key, show(v)));
  }
  return v.get_ref<const std::string&>();
}

std::int64_t rangedField(const json& map, const char* key, std::int64_t max) {
  return checkRange(integerField(map, key), 0, max, fmt::format("value \"{}\"", key));
}

NodeAction parseAction(std::string_view kind, std::string_view key, std::int64_t number,
                       const json& p, const fs::path& firmwareDir, const NodeIdTable& nodeIds) {
  if (kind == "msg") {
    if (p.empty()) throw CommandRejected("the value map is empty");
    auto c = messageCommand(key, p);
    if (!c) {
      throw CommandRejected(fmt::format("message type {} has no node message",
                                        displayValue(requireKey(p, "msgtype"))));
    }
    return std::move(*c);
  }
  if (kind == "config") {
    if (p.empty()) throw CommandRejected("the configuration record is empty");
    return std::move(*sensorConfigCommand(key, p));
  }
  if (kind == "peermode") {
    return peerModeCommand(json(number), rangedField(p, "mode", 0xFF), nodeIds);
  }
  if (kind == "flash") {
    FlashStartCommand c = flashStartCommand(number, p);
    c.filePath = resolveFirmwarePath(firmwareDir, c.filePath).string();
    return c;
  }
  FlashNextCommand c;
  c.msgId = static_cast<Byte>(number);
  c.startAddr = rangedField(p, "startAddr", kMaxFirmwareStartAddr);
  return c;
}

}  // namespace

void printRejectedCommand(std::string_view topic, std::string_view reason) {
  print("Rejected command on {}: {}", escapeControls(topic), escapeControls(reason));
}

std::string commandKey(std::string_view topic) {
  std::string key(topic);
  std::replace(key.begin(), key.end(), '/', ':');
  return key;
}

int nodeIdOfUID(const json& uid, const NodeIdTable& nodeIds) {
  const std::int64_t v = toInteger(uid, "node UID");
  if (v < 0 || v > std::numeric_limits<std::uint32_t>::max()) return NodeIdTable::kUnknownNode;
  return nodeIds.get(static_cast<std::uint32_t>(v));
}

std::optional<FrameCommand> messageCommand(std::string_view redisKeyName, const json& valueMap) {
  if (absentOrEmpty(valueMap)) return std::nullopt;
  const Bytes msgBytes = txMsg2Bytes(valueMap);
  if (msgBytes.empty()) return std::nullopt;
  const std::uint16_t ch =
      toU16(channelFromKey(redisKeyName), fmt::format("channel of \"{}\"", redisKeyName));
  const std::uint32_t toid = toU32(integerField(valueMap, "toid"), "value \"toid\"");
  FrameCommand c;
  c.frame = buildTxFrame(ch, toid, msgBytes);
  // The length byte minus one, as the board's tools count it.
  c.sentLine = fmt::format("Sent message to node with ID {} of length {}", toid, c.frame[2] - 1);
  return c;
}

std::optional<FrameCommand> sensorConfigCommand(std::string_view redisKeyName, const json& config) {
  if (absentOrEmpty(config)) return std::nullopt;
  const Bytes sensorConfigBytes = getSensorConfig(config);
  if (sensorConfigBytes.empty()) {
    throw std::invalid_argument(
        fmt::format("unknown sensor type {}", integerField(config, "sensorType")));
  }
  const std::uint32_t ch =
      toU32(channelFromKey(redisKeyName), fmt::format("channel of \"{}\"", redisKeyName));
  FrameCommand c;
  c.frame = buildSensorConfigFrame(ch, sensorConfigBytes);
  c.sentLine = fmt::format("Sent sensor config from channel {} to Duzediv Eri", redisKeyName);
  return c;
}

PeerModeCommand peerModeCommand(const json& nodeUID, const json& mode, const NodeIdTable& nodeIds) {
  PeerModeCommand c;
  c.nodeId = toByte(nodeIdOfUID(nodeUID, nodeIds), "network ID of the node");
  c.mode = toByte(toInteger(mode, "keep-peer-in-rx mode"), "keep-peer-in-rx mode");
  return c;
}

FlashStartCommand flashStartCommand(std::int64_t msgId, const json& valueMap) {
  if (!valueMap.is_object()) {
    throw std::invalid_argument(fmt::format("value map is not a map: {}", show(valueMap)));
  }
  FlashStartCommand c;
  c.msgId = toByte(msgId, "transfer identifier");
  c.startAddr = rangedField(valueMap, "startAddr", kMaxFirmwareStartAddr);
  c.filePath = textField(valueMap, "filePath");
  c.msgtype = static_cast<Byte>(rangedField(valueMap, "msgtype", 0xFF));
  c.toNodeUID = static_cast<std::uint32_t>(rangedField(valueMap, "toNodeUID", 0xFFFFFFFF));
  c.authToken = hexToBytes(textField(valueMap, "authToken"), "value \"authToken\"");
  return c;
}

fs::path resolveFirmwarePath(const fs::path& firmwareDir, std::string_view filePath) {
  if (firmwareDir.empty()) throw CommandRejected("no firmware directory is configured");
  if (filePath.empty()) throw CommandRejected("value \"filePath\" is empty");
  if (filePath.find('\0') != std::string_view::npos) {
    throw CommandRejected("value \"filePath\" contains a NUL character");
  }
  const fs::path relative(filePath);
  if (relative.has_root_path()) {
    throw CommandRejected(fmt::format(
        "value \"filePath\": {} is an absolute path, not a file in the firmware directory",
        filePath));
  }
  for (const auto& part : relative) {
    if (part == "..") {
      throw CommandRejected(
          fmt::format("value \"filePath\": {} leads out of the firmware directory", filePath));
    }
  }
  std::error_code ec;
  const fs::path dir = fs::canonical(firmwareDir, ec);
  if (ec) {
    throw CommandRejected(
        fmt::format("firmware directory {}: {}", firmwareDir.string(), ec.message()));
  }
  const fs::path resolved = fs::weakly_canonical(dir / relative, ec);
  if (ec) throw CommandRejected(fmt::format("value \"filePath\": {}: {}", filePath, ec.message()));
  // Links are resolved by now: the file must still lie below the directory.
  auto r = resolved.begin();
  for (auto d = dir.begin(); d != dir.end(); ++d, ++r) {
    if (r == resolved.end() || *r != *d) {
      throw CommandRejected(
          fmt::format("value \"filePath\": {} leads out of the firmware directory", filePath));
    }
  }
  if (r == resolved.end() || !fs::is_regular_file(resolved, ec)) {
    throw CommandRejected(
        fmt::format("value \"filePath\": {} is no file in the firmware directory", filePath));
  }
  return resolved;
}

NodeCommand parseCommand(std::string_view topic, ByteView payload, const fs::path& firmwareDir,
                         const NodeIdTable& nodeIds) {
  const std::vector<std::string_view> parts = splitTopic(topic);
  const auto is = [&parts](std::initializer_list<std::string_view> levels) {
    if (parts.size() != levels.size() + 1) return false;
    return std::equal(levels.begin(), levels.end(), parts.begin());
  };
  std::string_view kind;
  std::int64_t number = 0;
  if (is({"tx", "msg"})) {
    kind = "msg";
    number = topicNumber(parts[2], "channel", 0xFFFF);
  } else if (is({"tx", "config"})) {
    kind = "config";
    number = topicNumber(parts[2], "channel", 0xFFFFFFFF);
  } else if (is({"tx", "peermode"})) {
    kind = "peermode";
    number = topicNumber(parts[2], "node UID", 0xFFFFFFFF);
  } else if (is({"tx", "flash"})) {
    kind = "flash";
    number = topicNumber(parts[2], "transfer id", 0xFF);
  } else if (parts.size() == 4 && parts[0] == "tx" && parts[1] == "flash" && parts[3] == "next") {
    kind = "next";
    number = topicNumber(parts[2], "transfer id", 0xFF);
  } else {
    throw CommandRejected(fmt::format("not a command topic (topics: {})", kTopics));
  }
  const json payloadValue = parsePayload(payload);
  NodeCommand c;
  c.topic = std::string(topic);
  try {
    c.action = parseAction(kind, commandKey(topic), number, payloadValue, firmwareDir, nodeIds);
  } catch (const CommandRejected&) {
    throw;
  } catch (const std::exception& e) {
    throw CommandRejected(e.what());
  }
  return c;
}

}  // namespace vantro
