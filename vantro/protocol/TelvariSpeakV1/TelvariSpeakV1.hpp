#pragma once
// Version 1 of the radio protocol: the one place where the host talks to the
// Duzediv Eri. It frames the control commands, owns the transmit queue that
// serialises every other transmission onto the transmit worker, keeps the
// table of node ids learnt from received messages, reads and publishes what
// the board sends, sets up encryption, and wakes the board once encryption is
// set up (MQTT need not be up: publications wait in the client).
//
// Threads: everything runs on the event-loop thread except txQueuedMsgs() and
// the jobs it runs (the transmit worker). The serial link's write lock keeps
// each command whole when both threads write.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "vantro/ChachaSerialRFM69/ChachaSerialRFM69.hpp"
#include "vantro/link/SerialLink.hpp"
#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/operations/GatewayCounters.hpp"
#include "vantro/parser/SensorMsgParser.hpp"
#include "vantro/protocol/TelvariSpeakV1/Args.hpp"
#include "vantro/protocol/TelvariSpeakV1/NodeIdTable.hpp"
#include "vantro/protocol/TelvariSpeakV1/TxQueue.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro {

class TelvariSpeakV1 {
 public:
  static constexpr std::size_t kTxQueueCapacity = 10;
  /// Weakest signal the peer links accept, in dBm.
  static constexpr int kPeerRssiThreshold = -80;

  /// `nodeIds` is the gateway's node-id table, which this object fills from
  /// received messages; a table of its own when none is given.
  TelvariSpeakV1(std::shared_ptr<SerialLink> serialDev, std::shared_ptr<MqttClient> client,
                 std::shared_ptr<SensorMsgParser> msgParser, std::string statusDir,
                 std::shared_ptr<NodeIdTable> nodeIds = nullptr);
  virtual ~TelvariSpeakV1();
  TelvariSpeakV1(const TelvariSpeakV1&) = delete;
  TelvariSpeakV1& operator=(const TelvariSpeakV1&) = delete;

  /// Records whether MQTT is up. Writes nothing: the board is woken by the
  /// encryption set-up, not by the broker.
  void setMqttConnected(bool connected);
  /// Transmit worker: takes the next job (waiting while there is none) and runs it.
  void txQueuedMsgs();
  /// Queues a job. Off the event-loop thread it waits while kTxQueueCapacity
  /// jobs are waiting; on the event-loop thread it never waits (see TxQueue).
  void scheduleTx(TxQueue::Job func);

  void publishMsg(std::int64_t tsMillis, ByteView payload, int msgsender, std::uint32_t senderUID,
                  int rssi, bool isDuplicate = false);
  virtual Awaitable<void> handleValidRx(bool isDuplicate);
  virtual Awaitable<void> handleInvalidRx();
  virtual Awaitable<void> handleStoreState();
  virtual Awaitable<void> handleStatistics();
  virtual Awaitable<void> handleLog();
  /// Reads and handles the record that follows `msgStart`; false (nothing read)
  /// when the marker is not one of this protocol's.
  virtual Awaitable<bool> processMsg(std::string msgStart);
  /// Answers the board's start-up prompt ("Press ...") with "r" when `logText`
  /// is one; true when it did.
  static bool answerStartupPrompt(SerialLink& ser, const std::string& logText);
  /// Reads lines until a log line ("LG") whose trimmed text is `awaitedMsg`, or
  /// returns the first log text (empty after an empty read) when none is awaited.
  static Awaitable<std::string> waitForRxMsg(SerialLink& ser,
                                             std::optional<std::string> awaitedMsg);

  virtual void shutdown();
  virtual void wakeupRadio();
  virtual Awaitable<void> setupEncryption(const Args& args);
  /// The end of an encryption set-up: wakes the board ("TC"), once per set-up.
  virtual void postEncryption();

  /// A restarted run hands the object its new serial link, MQTT client and
  /// parser; a board set up by an earlier run is resumed (resumeAfterRebind).
  /// Never throws: what fails is printed.
  void rebind(std::shared_ptr<SerialLink> serialDev, std::shared_ptr<MqttClient> client,
              std::shared_ptr<SensorMsgParser> msgParser);

  std::shared_ptr<SerialLink> ser;
  std::shared_ptr<MqttClient> mqttClient;
  std::shared_ptr<SensorMsgParser> msgParser;
  std::string statusDir;
  TxQueue txQueue{kTxQueueCapacity};
  std::shared_ptr<NodeIdTable> uid2id;
  std::map<std::uint32_t, std::unique_ptr<ChachaSerialRFM69>> uid2Radio;
  bool mqttConnected = false;
  bool encryptionSetup = false;
  /// The gateway's counters; the session's once it took this object.
  std::shared_ptr<GatewayCounters> counters = std::make_shared<GatewayCounters>();
  /// Told of each node reading right before it is published; may be empty.
  std::function<void(const ParsedMsg&)> beforePublish;

 protected:
  /// Wakes the board again on the new link; a failure is printed.
  virtual void resumeAfterRebind();
  /// Writes one whole command and flushes it.
  void writeCommand(ByteView command);
};

}  // namespace vantro
