#include "vantro/time/Pendulor/Pendulor.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "vantro/runtime/Escape.hpp"
#include "vantro/runtime/Print.hpp"
#include "vantro/time/Pendulor/ExternalCommand.hpp"
#include "vantro/time/date/BuildDate.hpp"

namespace vantro {
namespace {

const auto kCommandTimeoutDuration =
    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(Pendulor::kCommandTimeout));

asio::any_io_executor runningLoop() {
  EventLoop* loop = EventLoop::running();
  if (loop == nullptr) throw std::logic_error("Pendulor needs a running event loop");
  return loop->executor();
}

std::string reasonOf(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "unknown error";
  }
}

// "exited with status 1 (date: cannot set date: Operation not permitted)".
std::string describeEnd(const std::string& name, const CommandResult& r) {
  std::string text = r.status >= 0 ? fmt::format("{} exited with status {}", name, r.status)
                                   : fmt::format("{} was ended by signal {}", name, -r.status);
  const std::string& said = r.err.empty() ? r.out : r.err;
  const std::string first = said.substr(0, said.find('\n'));
  if (!first.empty()) text += fmt::format(" ({})", escapeControls(first));
  return text;
}

}  // namespace

Pendulor::Pendulor(TimeSyncProtocol& tlvSpeak, TimerClock& clock)
    : protocol(tlvSpeak), clock_(clock), commands_(runningLoop()) {}

Pendulor::~Pendulor() {
  alive_.reset();
  shutdown();
}

std::unique_ptr<Timer> Pendulor::arm(double seconds) {
  return std::make_unique<Timer>(
      seconds, [this] { sync(); }, clock_);
}

void Pendulor::sync(bool runAsync, std::function<void()> then) {
  // The timer being replaced is the one whose callback is running now (or none
  // on the first call); it is not cancelled, and its task holds the callback.
  syncTimer = arm(kSyncPeriod);
  if (cycle_ && !cycle_->done()) cycle_->cancel();
  cycle_ = EventLoop::running()->spawn(
      runCycle(this, alive_, runAsync, std::make_shared<std::function<void()>>(std::move(then))),
      "time-sync");
}

// Static, with the object passed in: a cancelled cycle must not touch a
// syncer that is gone, which `alive` and the cancellation checks make sure of.
Awaitable<void> Pendulor::runCycle(Pendulor* self, std::weak_ptr<bool> alive, bool runAsync,
                                   std::shared_ptr<std::function<void()>> then) {
  std::exception_ptr failure;
  try {
    co_await self->readSyncTimeStatus();
  } catch (const Cancelled&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  co_await throwIfCancelled();
  if (alive.expired()) co_return;
  if (failure) {
    print("NTP status unknown ({}); the host clock is taken as not synchronised",
          reasonOf(failure));
  }
  self->finishCycle(runAsync);
  if (!*then) co_return;
  try {
    (*then)();
  } catch (const std::exception& e) {
    print("Time sync: the step after the cycle failed: {}", e.what());
  }
}

void Pendulor::finishCycle(bool runAsync) {
  // The queued step runs later on the transmit worker thread; it holds only
  // the protocol object, which outlives its syncer and its transmit queue. A
  // failed write (the set-time command) is one printed line wherever it runs.
  TimeSyncProtocol* p = &protocol;
  const bool push = synchronized;
  auto step = [p, push]() -> bool {
    try {
      if (push) {
        p->txDate();
      } else {
        p->rxDate();
      }
      return true;
    } catch (const std::exception& e) {
      print("Time sync: could not {}: {}",
            push ? "send the date to the Duzediv Eri" : "ask the Duzediv Eri for its date",
            e.what());
      return false;
    }
  };
  if (runAsync) {
    protocol.scheduleTx([step] { step(); });
    ++(push ? numTxSyncs : numRxSyncs);
  } else if (step()) {
    ++(push ? numTxSyncs : numRxSyncs);
  }
  if (numTxSyncs == 0) {
    syncTimer->cancel();
    syncTimer = arm(syncInterval);
    syncInterval = std::min(syncInterval * kBackoffFactor, kBackoffCeiling);
  }
}

Awaitable<void> Pendulor::readSyncTimeStatus() {
  auto job = [] { return runCommand({"ntpstat"}, kCommandTimeoutDuration); };
  const CommandResult r = co_await commands_.run(job);
  // A syncer destroyed meanwhile has cancelled this task: stop before touching it.
  co_await throwIfCancelled();
  if (r.status != 0 && r.status != 1) {
    // 2 is ntpstat's "cannot tell" (no NTP daemon to ask), a signal is worse.
    ntpStatus = NtpStatus::Unknown;
    synchronized = false;
    throw std::runtime_error(describeEnd("ntpstat", r));
  }
  synchronized = r.status == 0;
  ntpStatus = synchronized ? NtpStatus::Synchronised : NtpStatus::Unsynchronised;
  print("NTP synchronized: {}", synchronized ? "True" : "False");
}

Awaitable<void> Pendulor::setSystemTime(DateTime dt) {
  const std::string text = toIsoString(dt);
  // The board's clock is only a fallback for a host without NTP time; a date
  // before the build is an unset board clock or noise on the line.
  if (ntpStatus != NtpStatus::Unsynchronised) {
    print("Host clock not set from the board's date {}: {}", text,
          ntpStatus == NtpStatus::Synchronised ? "the host clock is NTP-synchronised"
                                               : "the host's NTP status is unknown");
    co_return;
  }
  if (!isPlausibleDate(dt)) {
    print("Host clock not set from the board's date {}: it is before this program's build date {}",
          text, toString(buildDate()).substr(0, 10));
    co_return;
  }
  // GNU date refuses the text with quote characters around it, so the ISO text
  // goes as it is (it is one argument; no shell is involved). The outcome is
  // printed on the worker: once date has run, its line is not lost to a stop
  // that cancels the wait for it.
  auto job = [text] {
    try {
      const CommandResult r = runCommand({"date", "-s", text}, kCommandTimeoutDuration);
      if (r.status == 0) {
        printLine("System time has been set successfully.");
      } else {
        print("Could not set system time: {}", describeEnd("date", r));
      }
    } catch (const std::exception& e) {
      print("Could not set system time: {}", e.what());
    }
  };
  co_await commands_.run(job);
}

void Pendulor::shutdown() {
  if (syncTimer) {
    syncTimer->cancel();
    syncTimer.reset();
  }
  if (cycle_ && !cycle_->done()) cycle_->cancel();
}

void Pendulor::restart(bool runAsync, std::function<void()> then) {
  shutdown();
  sync(runAsync, std::move(then));
}

}  // namespace vantro
