#include "vantro/time/Pendulor/Pendulor.hpp"

#include <algorithm>
#include <chrono>

#include "vantro/runtime/Print.hpp"
#include "vantro/time/Pendulor/ExternalCommand.hpp"

namespace vantro {
namespace {

const auto kCommandTimeoutDuration =
    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(Pendulor::kCommandTimeout));

}  // namespace

Pendulor::Pendulor(TimeSyncProtocol& tlvSpeak, TimerClock& clock)
    : protocol(tlvSpeak), clock_(clock) {}

Pendulor::~Pendulor() {
  shutdown();
}

std::unique_ptr<Timer> Pendulor::arm(double seconds) {
  return std::make_unique<Timer>(
      seconds, [this] { sync(); }, clock_);
}

void Pendulor::sync(bool runAsync) {
  // The timer being replaced is the one whose callback is running now (or none
  // on the first call); it is not cancelled, and its task holds the callback.
  syncTimer = arm(kSyncPeriod);
  readSyncTimeStatus();
  // The queued jobs run later on the transmit worker thread; they hold only the
  // protocol object, which outlives its syncer and its transmit queue.
  TimeSyncProtocol* p = &protocol;
  if (synchronized) {
    ++numTxSyncs;
    if (runAsync) {
      protocol.scheduleTx([p] { p->txDate(); });
    } else {
      protocol.txDate();
    }
  } else {
    ++numRxSyncs;
    if (runAsync) {
      protocol.scheduleTx([p] { p->rxDate(); });
    } else {
      protocol.rxDate();
    }
  }
  if (numTxSyncs == 0) {
    syncTimer->cancel();
    syncTimer = arm(syncInterval);
    syncInterval = std::min(syncInterval * kBackoffFactor, kBackoffCeiling);
  }
}

void Pendulor::readSyncTimeStatus() {
  const CommandResult r = runCommand({"ntpstat"}, kCommandTimeoutDuration);
  synchronized = r.status == 0;
  print("NTP synchronized: {}", synchronized ? "True" : "False");
}

void Pendulor::setSystemTime(const DateTime& dt) {
  // GNU date refuses the text with quote characters around it, so the ISO text
  // goes as it is (it is one argument; no shell is involved).
  const CommandResult r = runCommand({"date", "-s", toIsoString(dt)}, kCommandTimeoutDuration);
  if (r.status == 0) {
    printLine("System time has been set successfully.");
  } else {
    printLine("Could not set system time.");
  }
}

void Pendulor::shutdown() {
  if (syncTimer) {
    syncTimer->cancel();
    syncTimer.reset();
  }
}

void Pendulor::restart(bool runAsync) {
  shutdown();
  sync(runAsync);
}

}  // namespace vantro
