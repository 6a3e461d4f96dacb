#include "daemon/CommandDispatch.hpp"

#include <algorithm>
#include <charconv>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/runtime/Print.hpp"
#include "vantro/bridge/State.hpp"
#include "vantro/commands/NodeCommands.hpp"
#include "vantro/commands/NodeFrames.hpp"
#include "vantro/commands/ValueConversion.hpp"

namespace vantro::daemon {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view kTopics =
    "tx/msg/{channel}, tx/config/{channel}, tx/peermode/{uid}, tx/flash/{msgId}, "
    "tx/flash/{msgId}/next";

// Topics and reasons come from MQTT: keep the printed line one line.
std::string oneLine(std::string_view text) {
  std::string out(text);
  std::replace_if(
      out.begin(), out.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x20; }, '?');
  return out;
}

void printRejection(std::string_view topic, std::string_view reason) {
  print("Rejected command on {}: {}", oneLine(topic), oneLine(reason));
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
    throw CommandRejected(fmt::format("value \"{}\": {} is not text", key,
                                      v.dump(-1, ' ', false, json::error_handler_t::replace)));
  }
  return v.get_ref<const std::string&>();
}

std::int64_t rangedField(const json& map, const char* key, std::int64_t max) {
  return checkRange(integerField(map, key), 0, max, fmt::format("value \"{}\"", key));
}

// The checks of each command kind; the node operations check again (the frame
// builders are the same), so these only move the refusal before the queue.
void checkPayload(NodeCommand& c, const fs::path& firmwareDir) {
  const json& p = c.payload;
  switch (c.kind) {
    case CommandKind::Message:
      if (p.empty()) throw CommandRejected("the value map is empty");
      if (!buildTxFrame(c.key, p)) {
        throw CommandRejected(fmt::format("message type {} has no node message",
                                          displayValue(requireKey(p, "msgtype"))));
      }
      break;
    case CommandKind::SensorConfig:
      if (p.empty()) throw CommandRejected("the configuration record is empty");
      buildSensorConfigFrame(c.key, p);
      break;
    case CommandKind::PeerMode:
      c.value = rangedField(p, "mode", 0xFF);
      break;
    case CommandKind::FlashStart: {
      rangedField(p, "startAddr", kMaxFirmwareStartAddr);
      const fs::path file = resolveFirmwarePath(firmwareDir, textField(p, "filePath"));
      rangedField(p, "msgtype", 0xFF);
      rangedField(p, "toNodeUID", 0xFFFFFFFF);
      hexToBytes(textField(p, "authToken"), "value \"authToken\"");
      c.payload["filePath"] = file.string();
      break;
    }
    case CommandKind::FlashNext:
      c.value = rangedField(p, "startAddr", kMaxFirmwareStartAddr);
      break;
  }
}

// "next": continue the transfer in progress from the given address. The node
// acknowledged the previous frame, so the transfer is sending again.
void runNextStep(const NodeCommand& c) {
  const std::string refusal = nextStepRefusal(flashUpdateStatus, c.number);
  if (!refusal.empty()) throw CommandRejected(refusal);
  const json status = flashUpdateStatus;
  flashUpdateStatus["txstatus"] = "SENDING";
  const auto& token = status["authToken"].get_binary();
  const Bytes authToken(token.begin(), token.end());
  txBigMessageStep(c.value, status["filePath"].get<std::string>(), status["msgId"],
                   status["msgtype"], status["toNodeUID"], authToken);
}

void scheduleOnProtocol(CommandDispatcher::Job job) {
  const std::shared_ptr<TelvariSpeakV1> protocol = myProtocol;
  if (!protocol) throw CommandRejected("the Duzediv Eri has not announced itself yet");
  protocol->scheduleTx(std::move(job));
}

}  // namespace

std::string commandKey(std::string_view topic) {
  std::string key(topic);
  std::replace(key.begin(), key.end(), '/', ':');
  return key;
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

NodeCommand parseCommand(std::string_view topic, ByteView payload, const fs::path& firmwareDir) {
  NodeCommand c;
  c.topic = std::string(topic);
  c.key = commandKey(topic);
  const std::vector<std::string_view> parts = splitTopic(topic);
  const auto is = [&parts](std::initializer_list<std::string_view> levels) {
    if (parts.size() != levels.size() + 1) return false;
    return std::equal(levels.begin(), levels.end(), parts.begin());
  };
  if (is({"tx", "msg"})) {
    c.kind = CommandKind::Message;
    c.number = topicNumber(parts[2], "channel", 0xFFFF);
  } else if (is({"tx", "config"})) {
    c.kind = CommandKind::SensorConfig;
    c.number = topicNumber(parts[2], "channel", 0xFFFFFFFF);
  } else if (is({"tx", "peermode"})) {
    c.kind = CommandKind::PeerMode;
    c.number = topicNumber(parts[2], "node UID", 0xFFFFFFFF);
  } else if (is({"tx", "flash"})) {
    c.kind = CommandKind::FlashStart;
    c.number = topicNumber(parts[2], "transfer id", 0xFF);
  } else if (parts.size() == 4 && parts[0] == "tx" && parts[1] == "flash" && parts[3] == "next") {
    c.kind = CommandKind::FlashNext;
    c.number = topicNumber(parts[2], "transfer id", 0xFF);
  } else {
    throw CommandRejected(fmt::format("not a command topic (topics: {})", kTopics));
  }
  c.payload = parsePayload(payload);
  try {
    checkPayload(c, firmwareDir);
  } catch (const CommandRejected&) {
    throw;
  } catch (const std::exception& e) {
    throw CommandRejected(e.what());
  }
  return c;
}

std::string nextStepRefusal(const json& status, std::int64_t msgId) {
  const bool inProgress = status.is_object() && status.contains("msgId") &&
                          status.contains("filePath") && status["filePath"].is_string() &&
                          status.contains("authToken") && status["authToken"].is_binary();
  if (!inProgress) return "no firmware transfer in progress";
  const json& current = status["msgId"];
  if (!current.is_number_integer() || current.get<std::int64_t>() != msgId) {
    return fmt::format("transfer {} is not the one in progress ({})", msgId, current.dump());
  }
  return {};
}

void runCommand(const NodeCommand& c) {
  try {
    switch (c.kind) {
      case CommandKind::Message:
        txMessage(c.key, c.payload);
        break;
      case CommandKind::SensorConfig:
        txSensorConfig(c.key, c.payload);
        break;
      case CommandKind::PeerMode:
        setPeerMode(json(c.number), json(c.value));
        break;
      case CommandKind::FlashStart:
        txBigMessage(c.key, c.payload);
        break;
      case CommandKind::FlashNext:
        runNextStep(c);
        break;
    }
  } catch (const std::exception& e) {
    printRejection(c.topic, e.what());
  } catch (...) {
    printRejection(c.topic, "unknown error");
  }
}

CommandDispatcher::CommandDispatcher(fs::path firmwareDir, Schedule schedule)
    : firmwareDir_(std::move(firmwareDir)), schedule_(std::move(schedule)) {}

void CommandDispatcher::operator()(const std::string& topic, const Bytes& payload,
                                   const MessageProperties& properties) const {
  // A retained command comes again at every (re)subscription: it must not
  // restart a firmware transfer, or send anything else, each time.
  if (properties.retain) {
    print("Ignoring retained command on {}", oneLine(topic));
    return;
  }
  try {
    NodeCommand command = parseCommand(topic, payload, firmwareDir_);
    Job job = [command = std::move(command)] { runCommand(command); };
    if (schedule_) {
      schedule_(std::move(job));
    } else {
      scheduleOnProtocol(std::move(job));
    }
  } catch (const std::exception& e) {
    printRejection(topic, e.what());
  }
}

}  // namespace vantro::daemon
