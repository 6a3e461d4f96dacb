#include "vantro/time/Pendulor/Pendulor.hpp"

#include <unistd.h>

#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/PrintCapture.hpp"
#include "tests/time/ManualClock.hpp"
#include "tests/time/StandIns.hpp"
#include "vantro/runtime/Errors.hpp"
#include "vantro/time/date/BuildDate.hpp"

namespace vantro {
namespace {

using test::ManualClock;
using test::PrintCapture;
using test::StandIns;

// Records what the syncer asks of the protocol, with the clock's time.
class FakeProtocol : public TimeSyncProtocol {
 public:
  explicit FakeProtocol(const ManualClock& clock) : clock_(clock) {}

  void scheduleTx(std::function<void()> job) override {
    queuedAt.push_back(clock_.now());
    queue.push_back(std::move(job));
  }
  void txDate() override { direct.push_back("tx"); }
  void rxDate() override { direct.push_back("rx"); }

  /// Runs the queued jobs on another thread, as the transmit worker does.
  void runQueue() {
    std::thread worker([this] {
      for (auto& job : queue) job();
    });
    worker.join();
    queue.clear();
  }

  std::vector<double> queuedAt;
  std::vector<std::function<void()>> queue;
  std::vector<std::string> direct;  // "tx"/"rx" in call order, direct or from the queue

 private:
  const ManualClock& clock_;
};

class PendulorTest : public ::testing::Test {
 protected:
  void SetUp() override { standIns.installRecorder("ntpstat", 1); }

  void setSynchronized(bool yes) { standIns.setStatus("ntpstat", yes ? 0 : 1); }

  // Runs `body` with a syncer on the event loop; the syncer goes before the loop.
  // Every cycle that the clock's timers start is awaited before the clock
  // moves on, since its NTP check runs on the syncer's worker thread.
  template <typename Body>
  void run(Body body) {
    EventLoop loop;
    auto main = [&]() -> Awaitable<void> {
      Pendulor p(protocol, clock);
      clock.afterWake = [&p] { return finished(p); };
      co_await body(p);
      clock.afterWake = nullptr;
    };
    loop.runUntilComplete(main());
  }

  static Awaitable<void> finished(Pendulor& p) {
    if (p.cycle()) co_await p.cycle()->wait();
  }

  // One cycle started by hand (the first cycle of the protocol), to its end.
  static Awaitable<void> syncNow(Pendulor& p) {
    p.sync(false);
    co_await finished(p);
  }

  StandIns standIns;
  ManualClock clock;
  FakeProtocol protocol{clock};
  PrintCapture printed;
};

const std::string kUnknownLine = "); the host clock is taken as not synchronised";

TEST_F(PendulorTest, NeverSynchronisedBacksOffUpTo300Seconds) {
  run([&](Pendulor& p) -> Awaitable<void> {
    EXPECT_EQ(p.syncInterval, 5);
    EXPECT_FALSE(p.syncTimer);
    co_await syncNow(p);
    EXPECT_EQ(protocol.direct, std::vector<std::string>{"rx"});
    EXPECT_TRUE(protocol.queue.empty());
    co_await clock.advance(1000);
    // Cycles after 5, 10, 20, 40, 80, 160, 300, 300 seconds.
    EXPECT_EQ(protocol.queuedAt, (std::vector<double>{5, 15, 35, 75, 155, 315, 615, 915}));
    EXPECT_EQ(p.numRxSyncs, 9u);
    EXPECT_EQ(p.numTxSyncs, 0u);
    EXPECT_EQ(p.syncInterval, 300);
    EXPECT_EQ(p.ntpStatus, Pendulor::NtpStatus::Unsynchronised);
    // Only the back-off timer is pending; each cycle's 900-second timer was dropped.
    EXPECT_EQ(clock.sleeping(), 1u);
    protocol.runQueue();
    EXPECT_EQ(protocol.direct, std::vector<std::string>(9, "rx"));
    EXPECT_EQ(printed.lines(), std::vector<std::string>(9, "NTP synchronized: False"));
  });
  // ntpstat is run without arguments.
  std::string noArguments;
  for (int i = 0; i < 9; ++i) noArguments += "0\n";
  EXPECT_EQ(standIns.read("ntpstat.args"), noArguments);
}

TEST_F(PendulorTest, SynchronisedAtTheFirstCyclePushesAndWaits900Seconds) {
  setSynchronized(true);
  run([&](Pendulor& p) -> Awaitable<void> {
    co_await syncNow(p);
    EXPECT_EQ(protocol.direct, std::vector<std::string>{"tx"});
    EXPECT_TRUE(p.synchronized);
    EXPECT_EQ(p.ntpStatus, Pendulor::NtpStatus::Synchronised);
    EXPECT_EQ(printed.lines(), std::vector<std::string>{"NTP synchronized: True"});
    co_await clock.advance(899);
    EXPECT_TRUE(protocol.queuedAt.empty());
    co_await clock.advance(1);
    EXPECT_EQ(protocol.queuedAt, std::vector<double>{900});
    co_await clock.advance(900);
    EXPECT_EQ(protocol.queuedAt, (std::vector<double>{900, 1800}));
    EXPECT_EQ(p.numTxSyncs, 3u);
    EXPECT_EQ(p.numRxSyncs, 0u);
    EXPECT_EQ(p.syncInterval, 5);
    protocol.runQueue();
    EXPECT_EQ(protocol.direct, (std::vector<std::string>{"tx", "tx", "tx"}));
  });
}

TEST_F(PendulorTest, SynchronisedAtTheFourthCycleLeavesTheBackOffForGood) {
  run([&](Pendulor& p) -> Awaitable<void> {
    co_await syncNow(p);
    co_await clock.advance(15);  // cycles at 5 and 15
    setSynchronized(true);
    co_await clock.advance(20);  // the push at 35
    EXPECT_EQ(protocol.queuedAt, (std::vector<double>{5, 15, 35}));
    EXPECT_EQ(p.syncInterval, 40);
    protocol.runQueue();
    EXPECT_EQ(protocol.direct, (std::vector<std::string>{"rx", "rx", "rx", "tx"}));

    // Unsynchronised again: date requests, but every 900 seconds.
    setSynchronized(false);
    co_await clock.advance(1800);
    EXPECT_EQ(protocol.queuedAt, (std::vector<double>{5, 15, 35, 935, 1835}));
    protocol.runQueue();
    EXPECT_EQ(protocol.direct, (std::vector<std::string>{"rx", "rx", "rx", "tx", "rx", "rx"}));
    EXPECT_EQ(p.numTxSyncs, 1u);
    EXPECT_EQ(p.numRxSyncs, 5u);
    EXPECT_EQ(p.syncInterval, 40);
  });
}

TEST_F(PendulorTest, QueuedJobsOutliveTheSyncer) {
  setSynchronized(true);
  {
    EventLoop loop;
    auto main = [&]() -> Awaitable<void> {
      auto p = std::make_unique<Pendulor>(protocol, clock);
      p->sync(true);
      co_await finished(*p);
      p.reset();
      co_await clock.advance(2000);
    };
    loop.runUntilComplete(main());
  }
  ASSERT_EQ(protocol.queue.size(), 1u);
  EXPECT_TRUE(protocol.direct.empty());
  protocol.runQueue();
  EXPECT_EQ(protocol.direct, std::vector<std::string>{"tx"});
}

TEST_F(PendulorTest, ShutdownStopsTheCycleAlsoDuringItsCheck) {
  run([&](Pendulor& p) -> Awaitable<void> {
    p.shutdown();  // nothing pending yet
    co_await syncNow(p);
    EXPECT_TRUE(p.pending());
    p.shutdown();
    EXPECT_FALSE(p.syncTimer);
    EXPECT_FALSE(p.pending());
    p.shutdown();
    // Stopped while ntpstat runs: the cycle neither asks nor re-arms.
    p.sync(false);
    p.shutdown();
    co_await finished(p);
    EXPECT_TRUE(p.cycle()->cancelled());
    co_await clock.advance(5000);
    EXPECT_TRUE(protocol.queuedAt.empty());
    EXPECT_EQ(clock.sleeping(), 0u);
    EXPECT_EQ(p.numRxSyncs, 1u);
    EXPECT_EQ(protocol.direct, std::vector<std::string>{"rx"});
  });
}

TEST_F(PendulorTest, RestartAfterTheTimerWasCancelledFromOutside) {
  run([&](Pendulor& p) -> Awaitable<void> {
    co_await syncNow(p);
    co_await clock.advance(5);
    // A shutdown sweep cancels every task, the syncer's timer among them.
    p.syncTimer->task()->cancel();
    co_await clock.advance(100);
    EXPECT_FALSE(p.pending());
    EXPECT_EQ(protocol.queuedAt, std::vector<double>{5});

    bool followed = false;
    p.restart(false, [&] { followed = true; });
    co_await finished(p);
    EXPECT_TRUE(followed);
    EXPECT_EQ(protocol.direct, (std::vector<std::string>{"rx", "rx"}));
    EXPECT_TRUE(p.pending());
    co_await ManualClock::settle();
    EXPECT_EQ(clock.sleeping(), 1u);
    co_await clock.advance(20);  // the back-off goes on where it was
    EXPECT_EQ(protocol.queuedAt, (std::vector<double>{5, 125}));
  });
}

TEST_F(PendulorTest, FailingNtpstatIsOneLinePerCycleAndTheScheduleGoesOn) {
  std::filesystem::remove(standIns.bin() / "ntpstat");
  run([&](Pendulor& p) -> Awaitable<void> {
    bool followed = false;
    p.sync(false, [&] { followed = true; });
    co_await finished(p);
    EXPECT_TRUE(followed) << "the step after the first cycle runs whatever its outcome";
    EXPECT_EQ(p.ntpStatus, Pendulor::NtpStatus::Unknown);
    EXPECT_FALSE(p.synchronized);
    EXPECT_EQ(protocol.direct, std::vector<std::string>{"rx"});
    EXPECT_EQ(p.syncTimer->timeout(), 5) << "taken as unsynchronised: the back-off goes on";
    EXPECT_EQ(printed.lines(),
              std::vector<std::string>{"NTP status unknown (could not start command 'ntpstat': "
                                       "No such file or directory" +
                                       kUnknownLine});

    // "Cannot tell" (no NTP daemon to ask) is no answer either.
    printed.clear();
    standIns.installRecorder("ntpstat", 2);
    co_await clock.advance(5);
    EXPECT_EQ(printed.lines(), std::vector<std::string>{"NTP status unknown (ntpstat exited with "
                                                        "status 2" +
                                                        kUnknownLine});
    EXPECT_EQ(protocol.queuedAt, std::vector<double>{5});

    printed.clear();
    setSynchronized(true);
    co_await clock.advance(10);
    EXPECT_EQ(printed.lines(), std::vector<std::string>{"NTP synchronized: True"});
    EXPECT_EQ(protocol.queuedAt, (std::vector<double>{5, 15}));
    EXPECT_EQ(p.syncTimer->timeout(), 900);
    protocol.runQueue();
    EXPECT_EQ(protocol.direct, (std::vector<std::string>{"rx", "rx", "tx"}));
  });
}

TEST_F(PendulorTest, HangingNtpstatIsKilledWithoutHoldingTheLoop) {
  standIns.installHanging("ntpstat");
  run([&](Pendulor& p) -> Awaitable<void> {
    p.sync(false);
    // The loop turns while ntpstat hangs: the check runs on the worker.
    co_await ManualClock::settle();
    EXPECT_FALSE(p.cycle()->done());
    EXPECT_TRUE(protocol.direct.empty());
    co_await finished(p);
    EXPECT_EQ(printed.lines(),
              std::vector<std::string>{"NTP status unknown (command 'ntpstat' did not end within 1 "
                                       "seconds and was killed" +
                                       kUnknownLine});
    EXPECT_TRUE(p.pending());
    EXPECT_FALSE(p.synchronized);
    EXPECT_EQ(protocol.direct, std::vector<std::string>{"rx"});
  });
}

TEST_F(PendulorTest, BoardDateSetsTheHostClockOnlyWhileUnsynchronisedAndWhenBelievable) {
  standIns.installRecorder("date", 0);
  // Only the stand-in may ever run here: PATH holds nothing else.
  ASSERT_EQ(std::string(std::getenv("PATH")), standIns.bin().string());
  ASSERT_EQ(::access((standIns.bin() / "date").c_str(), X_OK), 0);
  const int year = buildDate().year + 1;
  const std::string iso = std::to_string(year) + "-02-28T12:00:00";
  run([&](Pendulor& p) -> Awaitable<void> {
    // No NTP check yet: the status is unknown.
    co_await p.setSystemTime(DateTime{year, 2, 28, 12, 0, 0, 500000});
    setSynchronized(true);
    co_await syncNow(p);
    co_await p.setSystemTime(DateTime{year, 2, 28, 12, 0, 0, 500000});
    EXPECT_EQ(standIns.read("date.args"), "");
    EXPECT_EQ(printed.lines(),
              (std::vector<std::string>{"Host clock not set from the board's date " + iso +
                                            ".500000: the host's NTP status is unknown",
                                        "NTP synchronized: True",
                                        "Host clock not set from the board's date " + iso +
                                            ".500000: the host clock is NTP-synchronised"}));

    printed.clear();
    setSynchronized(false);
    co_await clock.advance(900);
    // A board clock never set, or noise that reads as a date.
    co_await p.setSystemTime(DateTime{2000, 1, 1, 0, 0, 12, 0});
    EXPECT_EQ(standIns.read("date.args"), "");
    co_await p.setSystemTime(DateTime{year, 2, 28, 12, 0, 0, 500000});
    EXPECT_EQ(standIns.read("date.args"), "2\n-s\n" + iso + ".500000\n");
    EXPECT_EQ(printed.lines(),
              (std::vector<std::string>{
                  "NTP synchronized: False",
                  "Host clock not set from the board's date 2000-01-01T00:00:12: it is before "
                  "this program's build date " +
                      toString(buildDate()).substr(0, 10),
                  "System time has been set successfully."}));
  });
}

TEST_F(PendulorTest, FailingDateIsOneLineAndNeverAnError) {
  const DateTime later{buildDate().year + 1, 2, 28, 12, 0, 0, 0};
  run([&](Pendulor& p) -> Awaitable<void> {
    co_await syncNow(p);
    printed.clear();
    co_await p.setSystemTime(later);  // no date on PATH
    standIns.installRecorder("date", 1);
    co_await p.setSystemTime(later);
    standIns.install("date", "echo 'date: cannot set date: Operation not permitted' >&2\nexit 1");
    co_await p.setSystemTime(later);
    standIns.installHanging("date");
    co_await p.setSystemTime(later);
    co_return;
  });
  EXPECT_EQ(printed.lines(),
            (std::vector<std::string>{
                "Could not set system time: could not start command 'date': No such file or "
                "directory",
                "Could not set system time: date exited with status 1",
                "Could not set system time: date exited with status 1 (date: cannot set date: "
                "Operation not permitted)",
                "Could not set system time: command 'date' did not end within 1 seconds and was "
                "killed"}));
}

}  // namespace
}  // namespace vantro
