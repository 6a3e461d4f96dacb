#pragma once
// Version 2 of the radio protocol: version 1 plus time. Node messages and
// decrypt reports carry the board's reception date, the board can report its
// date ("RT", which may set the host clock, see Pendulor::setSystemTime), and a
// time syncer keeps the board's clock set from the host's NTP clock.
#include <memory>

#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/time/Pendulor/Pendulor.hpp"
#include "vantro/time/date/DateTime.hpp"

namespace vantro {

class TelvariSpeakV2 : public TelvariSpeakV1, public TimeSyncProtocol {
 public:
  TelvariSpeakV2(std::shared_ptr<SerialLink> serialDev, std::shared_ptr<MqttClient> client,
                 std::shared_ptr<SensorMsgParser> msgParser, std::string statusDir,
                 std::shared_ptr<NodeIdTable> nodeIds = nullptr);
  ~TelvariSpeakV2() override;

  /// Writes the set-time command with the host's local date and time.
  void txDate() override;
  /// The date-request entry: only prints a line.
  void rxDate() override;
  void scheduleTx(std::function<void()> job) override {
    TelvariSpeakV1::scheduleTx(std::move(job));
  }

  Awaitable<bool> processMsg(std::string msgStart) override;
  /// "RT": the board's date; handed to the time syncer once it exists, which
  /// sets the host clock from it or prints why not.
  Awaitable<void> handleTime();
  static DateTime parseDate(ByteView payload);
  Awaitable<void> handleValidRx(bool isDuplicate) override;
  Awaitable<void> handleInvalidRx() override;
  /// The first set-up starts the time syncer and wakes the board after its
  /// first cycle (see Pendulor::sync); a later one wakes the board at once.
  void postEncryption() override;
  void shutdown() override;

  std::unique_ptr<Pendulor> timeSyncer;

 protected:
  /// A restarted run: the time syncer's timer was cancelled with the earlier
  /// run's tasks, so its cycle starts afresh, and the wake-up follows it.
  void resumeAfterRebind() override;

 private:
  void wakeAfterCycle();
};

}  // namespace vantro
