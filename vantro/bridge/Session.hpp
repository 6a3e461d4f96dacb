#pragma once
// One gateway: everything its runs share and everything one run holds.
//
// A process has one session (processSession()); the daemon runs it, and the
// free functions of the bridge and of the node operations work on it. Tests
// build sessions of their own. What outlives a run (the node-id table, the
// command store, the status directory, the protocol object, the firmware
// transfer and the queued commands) lives here for the whole process; the
// serial link and the MQTT client are replaced at every run.
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "vantro/bridge/CommandIntake.hpp"
#include "vantro/bridge/TxMsgStore.hpp"
#include "vantro/commands/NodeCommander.hpp"
#include "vantro/link/SerialLink.hpp"
#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/mqtt/TlsCredentials.hpp"
#include "vantro/operations/Operations.hpp"
#include "vantro/outbox/PublicationQueue.hpp"
#include "vantro/protocol/TelvariSpeakV1/NodeIdTable.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"

namespace vantro {

/// Which command topics a gateway takes: those of every gateway on the broker
/// ("tx/#"), or only its own ("gw/{uid}/tx/#", {uid} the board's unique ID).
enum class CommandScope { All, Own };

struct SessionSettings {
  std::string statusDir = "/var/telvari-gateway";
  /// Where firmware files named by MQTT commands must lie; none: refused.
  std::filesystem::path firmwareDir;
  std::size_t commandQueue = CommandIntake::kDefaultCapacity;
  /// Whether messages under "tx/" become node commands (the daemon) or are
  /// only kept in txMsgQueue for an embedding program.
  bool dispatchCommands = true;
  TxMsgLimits txMsgLimits;
  /// Where QoS 1 publications wait for the broker; none: in memory only.
  std::optional<OutboxSettings> outbox;
  CommandScope commandScope = CommandScope::All;
  /// MQTT client id; empty: "vantro-" and the host name.
  std::string mqttClientId;
  /// TLS to the broker, loaded before the privilege drop; none: plain TCP.
  std::shared_ptr<const TlsCredentials> mqttTls;
  /// Health report, node availability, Home Assistant discovery.
  OperationsSettings operations;
};

class Session {
 public:
  using Settings = SessionSettings;

  explicit Session(Settings settings = {});
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  /// Handles a message on the command subscription (loop thread): keeps it in
  /// txMsgQueue under its command topic and, when dispatching, turns it into a
  /// queued node command or prints why not. Printed lines name the topic as
  /// received.
  void takeMessage(const std::string& topic, const Bytes& payload,
                   const MessageProperties& properties);
  /// The topic filter of the commands this gateway takes: "tx/#", or
  /// "gw/{uid}/tx/#" for CommandScope::Own (empty while the UID is unknown).
  std::string commandFilter() const;
  /// The command topic ("tx/...") that a message on `topic` stands for: the
  /// topic itself under "tx/", or the part from "tx/" on of
  /// "gw/{uid}/tx/..." for CommandScope::Own. None when `topic` is outside
  /// this gateway's scope.
  std::optional<std::string> commandTopic(const std::string& topic) const;
  /// Makes `protocol` the protocol object (a board that announced another
  /// protocol version): the transmit jobs still queued for the old one move
  /// to it, and the old one's transmit worker is let go.
  void replaceProtocol(std::shared_ptr<TelvariSpeakV1> protocol);
  /// At a stop: drops the node commands that have not started, with one line.
  void dropQueuedCommands();
  /// Opens the outbox of the settings, once: after the privilege drop, so
  /// that its files belong to the service account.
  void openOutbox();
  /// Releases the protocol object and the serial link: they hold timers and
  /// descriptors of the event loop, so the loop's owner calls this before the
  /// loop goes. The outbox is closed then too.
  void releaseLoopBound();

  const std::string statusDir;
  const Settings settings;
  /// The radio protocol object, or empty before the board announced itself.
  std::shared_ptr<TelvariSpeakV1> myProtocol;
  /// The serial link of the current run, and the device and speed it was
  /// opened with (a device that goes away is reopened with them).
  std::shared_ptr<SerialLink> ser;
  std::string serialDevice;
  unsigned serialSpeed = 0;
  /// The board's unique ID as it last announced itself (decimal), which names
  /// the gateway's MQTT topics; empty before the first announcement.
  std::string gatewayUid;
  /// Command topic ("tx/...", whatever the scope) to the last payload received
  /// on it.
  TxMsgStore txMsgQueue;
  /// Node UID to network id; the protocol object fills it.
  const std::shared_ptr<NodeIdTable> uid2id = std::make_shared<NodeIdTable>();
  /// What the gateway counted since it started (its health report).
  const std::shared_ptr<GatewayCounters> counters = std::make_shared<GatewayCounters>();
  /// Runs node commands; holds the peer-mode reply hand-over, the firmware
  /// transfer state (flashUpdateStatus) and its image cache (ihexCache).
  NodeCommander commander;
  CommandIntake intake;
  /// The QoS 1 publications waiting for the broker, shared by the MQTT
  /// clients of all runs.
  std::shared_ptr<PublicationQueue> publications;
  /// Health report, node availability and Home Assistant discovery; the
  /// protocol object tells it of every reading.
  Operations operations{settings.operations, statusDir, counters};
};

/// The process's session (with default settings unless configured first).
Session& processSession();
/// Creates the process's session with `settings`; before any use of it.
Session& configureProcessSession(Session::Settings settings);

}  // namespace vantro
