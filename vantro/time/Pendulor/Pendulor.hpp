#pragma once
// The time syncer: keeps the board's clock and the host's clock in step. While
// the host clock is NTP-synchronised it pushes the host's date to the board;
// otherwise it calls the protocol's date-request entry. It retries with a
// growing delay (5, 10, 20 ... 300 seconds) until a date was first pushed, and
// every 900 seconds from then on. It also sets the host clock from a date the
// board reports.
#include <cstdint>
#include <functional>
#include <memory>

#include "vantro/time/Timer/Timer.hpp"
#include "vantro/time/date/DateTime.hpp"

namespace vantro {

/// What the syncer needs of the protocol object that owns it (the version 2
/// protocol). The protocol object outlives its syncer and its transmit queue.
class TimeSyncProtocol {
 public:
  virtual ~TimeSyncProtocol() = default;
  /// Queues `job` for the transmit worker thread, in order with other transmissions.
  virtual void scheduleTx(std::function<void()> job) = 0;
  /// Writes the set-time command with the host's current date and time.
  virtual void txDate() = 0;
  /// The date-request entry.
  virtual void rxDate() = 0;
};

class Pendulor {
 public:
  static constexpr double kSyncPeriod = 900;  // seconds between cycles once a date was pushed
  static constexpr double kBackoffStart = 5;  // first retry delay before that
  static constexpr double kBackoffFactor = 2;
  static constexpr double kBackoffCeiling = 300;
  static constexpr double kCommandTimeout =
      1.0;  // ntpstat and date block the loop at most this long

  /// Stores `protocol` and starts nothing; the owner runs the first cycle.
  explicit Pendulor(TimeSyncProtocol& protocol, TimerClock& clock = systemTimerClock());
  /// Cancels the pending timer, whose callback refers to this object.
  ~Pendulor();
  Pendulor(const Pendulor&) = delete;
  Pendulor& operator=(const Pendulor&) = delete;

  /// One cycle, on the event-loop thread: arms the next regular cycle
  /// (kSyncPeriod), reads the NTP status, then pushes the date (synchronised)
  /// or calls the date-request entry (not), through the transmit queue when
  /// `runAsync`, directly otherwise. While no date has ever been pushed, the
  /// regular cycle is replaced by a back-off cycle after syncInterval, and
  /// syncInterval doubles up to kBackoffCeiling.
  /// An error of ntpstat (not found, TimeoutError) ends the cycle after the
  /// regular cycle is armed, so the schedule goes on.
  void sync(bool runAsync = true);

  /// Runs `ntpstat` and sets `synchronized` to whether it exited with status 0;
  /// prints "NTP synchronized: True" or "NTP synchronized: False". Throws
  /// TimeoutError after kCommandTimeout, std::system_error if it cannot start.
  void readSyncTimeStatus();

  /// Sets the host clock to the local wall-clock time `dt` with `date -s`, and
  /// prints whether that worked. Throws as readSyncTimeStatus().
  void setSystemTime(const DateTime& dt);

  /// Cancels the pending timer, if any. No cycle runs afterwards unless sync()
  /// is called again. Harmless when repeated.
  void shutdown();

  /// Starts the cycle afresh after its timer was cancelled from outside (the
  /// daemon's shutdown cancels every task): cancels any pending timer and runs
  /// sync(runAsync). Counters and syncInterval keep their values, so a syncer
  /// that has pushed a date goes on with the regular period.
  void restart(bool runAsync = false);

  /// True while a cycle is pending on a timer that has neither fired nor been
  /// cancelled.
  bool pending() const { return syncTimer && !syncTimer->done(); }

  bool synchronized = false;
  std::uint64_t numRxSyncs = 0;
  std::uint64_t numTxSyncs = 0;
  double syncInterval = kBackoffStart;
  TimeSyncProtocol& protocol;
  std::unique_ptr<Timer> syncTimer;

 private:
  std::unique_ptr<Timer> arm(double seconds);

  TimerClock& clock_;
};

}  // namespace vantro
