#pragma once
// The time syncer: keeps the board's clock and the host's clock in step. While
// the host clock is NTP-synchronised it pushes the host's date to the board;
// otherwise it calls the protocol's date-request entry. It retries with a
// growing delay (5, 10, 20 ... 300 seconds) until a date was first pushed, and
// every 900 seconds from then on. It also sets the host clock from a date the
// board reports, but only while the host has no NTP time of its own and only
// to a believable date.
//
// The external commands (ntpstat, date) run on the syncer's own worker
// thread, so the event loop never waits for them; their failures are printed,
// one line each, and never end the schedule.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vantro/runtime/WorkerPool.hpp"
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
  static constexpr double kCommandTimeout = 1.0;  // ntpstat and date get this long to end

  /// What the last NTP check found.
  enum class NtpStatus {
    Unknown,         // no check yet, or ntpstat failed (missing, hanging, status other than 0/1)
    Synchronised,    // ntpstat exited 0
    Unsynchronised,  // ntpstat exited 1
  };

  /// Stores `protocol` and starts nothing; the owner runs the first cycle.
  /// Needs a running event loop (for its worker's hand-back).
  explicit Pendulor(TimeSyncProtocol& protocol, TimerClock& clock = systemTimerClock());
  /// Cancels the pending timer and cycle, whose tasks refer to this object;
  /// waits for a command still running on the worker (at most kCommandTimeout).
  ~Pendulor();
  Pendulor(const Pendulor&) = delete;
  Pendulor& operator=(const Pendulor&) = delete;

  /// Starts one cycle and returns at once; the event-loop thread only. Arms
  /// the next regular cycle (kSyncPeriod) first, then, as a task (cycle()):
  /// reads the NTP status, then pushes the date (synchronised) or calls the
  /// date-request entry (otherwise), through the transmit queue when
  /// `runAsync`, directly otherwise. While no date has ever been pushed, the
  /// regular cycle is replaced by a back-off cycle after syncInterval, and
  /// syncInterval doubles up to kBackoffCeiling. A failure (ntpstat missing,
  /// hanging or answering neither 0 nor 1, the direct write failing) prints one
  /// line; the cycle then goes on as an unsynchronised one, so the schedule
  /// never stops. `then`, when given, runs on the loop thread at the end of
  /// the cycle whatever its outcome (not when the cycle is cancelled); what it
  /// throws is printed. A cycle still running is cancelled first.
  void sync(bool runAsync = true, std::function<void()> then = {});

  /// The task of the cycle started last, or null before the first.
  const TaskPtr& cycle() const { return cycle_; }

  /// Runs `ntpstat` and records its answer in `ntpStatus` and `synchronized`;
  /// prints "NTP synchronized: True" or "NTP synchronized: False". Throws
  /// TimeoutError after kCommandTimeout, std::system_error if it cannot start,
  /// std::runtime_error for an exit status other than 0 or 1 (the status is
  /// then Unknown).
  Awaitable<void> readSyncTimeStatus();

  /// Sets the host clock to the local wall-clock time `dt` (a date the board
  /// reported) with `date -s`, and prints whether that worked. Refused, with
  /// one printed line saying why, unless the last NTP check found the host
  /// unsynchronised and `dt` is plausible (not before this program's build
  /// date). A failing `date` (missing, hanging, non-zero exit) is printed, one
  /// line. Throws only Cancelled.
  Awaitable<void> setSystemTime(DateTime dt);

  /// Cancels the pending timer and cycle, if any. No cycle runs afterwards
  /// unless sync() is called again. Harmless when repeated.
  void shutdown();

  /// Starts the cycle afresh after its timer was cancelled from outside (the
  /// daemon's shutdown cancels every task): cancels whatever is pending and
  /// runs sync(runAsync, then). Counters and syncInterval keep their values,
  /// so a syncer that has pushed a date goes on with the regular period.
  void restart(bool runAsync = false, std::function<void()> then = {});

  /// True while a cycle is pending on a timer that has neither fired nor been
  /// cancelled.
  bool pending() const { return syncTimer && !syncTimer->done(); }

  bool synchronized = false;
  NtpStatus ntpStatus = NtpStatus::Unknown;
  std::uint64_t numRxSyncs = 0;
  std::uint64_t numTxSyncs = 0;
  double syncInterval = kBackoffStart;
  TimeSyncProtocol& protocol;
  std::unique_ptr<Timer> syncTimer;

 private:
  std::unique_ptr<Timer> arm(double seconds);
  static Awaitable<void> runCycle(Pendulor* self, std::weak_ptr<bool> alive, bool runAsync,
                                  std::shared_ptr<std::function<void()>> then);
  void finishCycle(bool runAsync);

  TimerClock& clock_;
  WorkerPool commands_;  // ntpstat and date run here, one at a time
  TaskPtr cycle_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vantro
