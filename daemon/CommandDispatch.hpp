#pragma once
// Node commands over MQTT: the daemon turns messages on "tx/..." into calls of
// the node operations, run as transmit jobs on the transmit worker.
//
//   tx/msg/{channel}          value map              txMessage
//   tx/config/{channel}       configuration record   txSensorConfig
//   tx/peermode/{uid}         {"mode": N}            setPeerMode
//   tx/flash/{msgId}          transfer start         txBigMessage
//   tx/flash/{msgId}/next     {"startAddr": N}       txBigMessageStep
//
// Everything that can be checked without the transfer state is checked on the
// loop thread by parseCommand, so a bad command is refused before it is queued
// and writes nothing. A refused command prints one line
// "Rejected command on {topic}: {reason}" and the daemon goes on.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/runtime/Bytes.hpp"

namespace vantro::daemon {

/// A command refused before anything was written; what() is the reason.
class CommandRejected : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class CommandKind { Message, SensorConfig, PeerMode, FlashStart, FlashNext };

/// A checked command, ready to become a transmit job.
struct NodeCommand {
  CommandKind kind = CommandKind::Message;
  std::string topic;
  /// The topic with every "/" replaced by ":", e.g. tx:msg:12.
  std::string key;
  /// From the topic: the channel, the node UID or the transfer id.
  std::int64_t number = 0;
  /// The payload object; for FlashStart with "filePath" resolved to an
  /// absolute path inside the firmware directory.
  nlohmann::json payload;
  /// PeerMode: the mode. FlashNext: the start address.
  std::int64_t value = 0;
};

/// Highest start address a firmware command may name: one past the last
/// address a chunk can carry, where only the closing message is left to send.
inline constexpr std::int64_t kMaxFirmwareStartAddr = 0x10000;
/// Payloads beyond this size or nesting depth are refused unparsed / unfinished.
inline constexpr std::size_t kMaxCommandPayload = 64 * 1024;
inline constexpr int kMaxCommandDepth = 8;

/// The topic with every "/" replaced by ":".
std::string commandKey(std::string_view topic);

/// The file `filePath` (relative text) inside `firmwareDir`, as a canonical
/// absolute path. Throws CommandRejected for an empty or absolute path, a ".."
/// component, a path (or link) leading outside the directory, a missing
/// directory, or a path that names no regular file.
std::filesystem::path resolveFirmwarePath(const std::filesystem::path& firmwareDir,
                                          std::string_view filePath);

/// Checks a message on `topic` with `payload`; throws CommandRejected with the
/// reason when it is not a valid command.
NodeCommand parseCommand(std::string_view topic, ByteView payload,
                         const std::filesystem::path& firmwareDir);

/// Why a "next" step for transfer `msgId` cannot go on with `status` (the
/// transfer state, flashUpdateStatus); empty when it can.
std::string nextStepRefusal(const nlohmann::json& status, std::int64_t msgId);

/// Runs `command` on the calling thread (the transmit worker). An error of the
/// operation becomes the line "Rejected command on {topic}: {reason}".
void runCommand(const NodeCommand& command);

/// The MQTT command handler of the daemon (see setCommandHandler). Loop thread.
class CommandDispatcher {
 public:
  using Job = std::function<void()>;
  /// Hands a job to the transmit worker; throws CommandRejected when it cannot.
  using Schedule = std::function<void(Job)>;

  /// `schedule` defaults to the protocol object's transmit queue (scheduleTx).
  explicit CommandDispatcher(std::filesystem::path firmwareDir, Schedule schedule = {});

  void operator()(const std::string& topic, const Bytes& payload,
                  const MessageProperties& properties) const;

 private:
  std::filesystem::path firmwareDir_;
  Schedule schedule_;
};

}  // namespace vantro::daemon
