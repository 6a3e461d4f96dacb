#pragma once
// Node commands as typed values. A command is parsed and checked once, where it
// enters the gateway (an MQTT message under "tx/", or a call of a node
// operation), into one of the kinds below; its frame is built then, from typed
// values, with the node id already looked up. What is left for the transmit
// worker is the write itself and what depends on the firmware transfer in
// progress.
//
//   tx/msg/{channel}          value map              "TX" frame
//   tx/config/{channel}       configuration record   "PP" frame
//   tx/peermode/{uid}         {"mode": N}            "PM" frame, then the board's reply
//   tx/flash/{msgId}          transfer start         first "TB" frame
//   tx/flash/{msgId}/next     {"startAddr": N}       next "TB" frame of the transfer
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "vantro/protocol/TelvariSpeakV1/NodeIdTable.hpp"
#include "vantro/runtime/Bytes.hpp"

namespace vantro {

/// A command refused before anything was written; what() is the reason.
class CommandRejected : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A finished frame ("TX" or "PP") and the line printed once it is written.
struct FrameCommand {
  Bytes frame;
  std::string sentLine;
};

/// Keep-peer-in-rx mode of one node; the board answers "PMS" when it accepts.
struct PeerModeCommand {
  Byte nodeId = 0;
  Byte mode = 0;
};

/// Start of a firmware transfer, every field checked.
struct FlashStartCommand {
  Byte msgId = 0;
  std::int64_t startAddr = 0;  // 0 to kMaxFirmwareStartAddr
  std::string filePath;
  Byte msgtype = 0;
  std::uint32_t toNodeUID = 0;
  Bytes authToken;
};

/// The next step of the transfer `msgId`, from `startAddr`.
struct FlashNextCommand {
  Byte msgId = 0;
  std::int64_t startAddr = 0;
};

using NodeAction = std::variant<FrameCommand, PeerModeCommand, FlashStartCommand, FlashNextCommand>;

struct NodeCommand {
  /// Where it came from: the MQTT topic, or the operation's name.
  std::string topic;
  NodeAction action;
};

/// Highest start address a firmware command may name: one past the last
/// address a chunk can carry, where only the closing message is left to send.
inline constexpr std::int64_t kMaxFirmwareStartAddr = 0x10000;
/// Payloads beyond this size or nesting depth are refused unparsed / unfinished.
inline constexpr std::size_t kMaxCommandPayload = 64 * 1024;
inline constexpr int kMaxCommandDepth = 8;

/// The "TX" command of a value map ("msgtype", its value key, "toid") on the
/// channel that the command key `redisKeyName` names (the number after its
/// last ":"); nothing for an empty map or a message type without a node message.
std::optional<FrameCommand> messageCommand(std::string_view redisKeyName,
                                           const nlohmann::json& valueMap);
/// The "PP" command of a configuration record on the channel of
/// `redisKeyName`; nothing for an empty record. A sensor type without a layout
/// is an error.
std::optional<FrameCommand> sensorConfigCommand(std::string_view redisKeyName,
                                                const nlohmann::json& config);
/// The peer-mode command for the node `nodeUID` (looked up in `nodeIds`).
PeerModeCommand peerModeCommand(const nlohmann::json& nodeUID, const nlohmann::json& mode,
                                const NodeIdTable& nodeIds);
/// A firmware transfer start; `filePath` is taken as it is.
FlashStartCommand flashStartCommand(std::int64_t msgId, const nlohmann::json& valueMap);

/// The network id of the node with unique ID `uid` (an integer or decimal
/// text), or 255 when `nodeIds` does not know it.
int nodeIdOfUID(const nlohmann::json& uid, const NodeIdTable& nodeIds);

/// The file `filePath` (relative text) inside `firmwareDir`, as a canonical
/// absolute path. Throws CommandRejected for an empty or absolute path, a ".."
/// component, a path (or link) leading outside the directory, a missing
/// directory, or a path that names no regular file.
std::filesystem::path resolveFirmwarePath(const std::filesystem::path& firmwareDir,
                                          std::string_view filePath);

/// Parses and checks a message on `topic` with `payload` into a command;
/// throws CommandRejected with the reason when it is not a valid command.
NodeCommand parseCommand(std::string_view topic, ByteView payload,
                         const std::filesystem::path& firmwareDir, const NodeIdTable& nodeIds);

/// Prints "Rejected command on {topic}: {reason}", both escaped (they come
/// from outside).
void printRejectedCommand(std::string_view topic, std::string_view reason);

/// The command key of an MQTT topic: every "/" replaced by ":" (tx:msg:12).
std::string commandKey(std::string_view topic);

}  // namespace vantro
