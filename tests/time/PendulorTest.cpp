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
  template <typename Body>
  void run(Body body) {
    EventLoop loop;
    auto main = [&]() -> Awaitable<void> {
      Pendulor p(protocol, clock);
      co_await body(p);
    };
    loop.runUntilComplete(main());
  }

  StandIns standIns;
  ManualClock clock;
  FakeProtocol protocol{clock};
  PrintCapture printed;
};

TEST_F(PendulorTest, NeverSynchronisedBacksOffUpTo300Seconds) {
  run([&](Pendulor& p) -> Awaitable<void> {
    EXPECT_EQ(p.syncInterval, 5);
    EXPECT_FALSE(p.syncTimer);
    p.sync(false);
    EXPECT_EQ(protocol.direct, std::vector<std::string>{"rx"});
    EXPECT_TRUE(protocol.queue.empty());
    co_await clock.advance(1000);
    // Cycles after 5, 10, 20, 40, 80, 160, 300, 300 seconds.
    EXPECT_EQ(protocol.queuedAt, (std::vector<double>{5, 15, 35, 75, 155, 315, 615, 915}));
    EXPECT_EQ(p.numRxSyncs, 9u);
    EXPECT_EQ(p.numTxSyncs, 0u);
    EXPECT_EQ(p.syncInterval, 300);
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
    p.sync(false);
    EXPECT_EQ(protocol.direct, std::vector<std::string>{"tx"});
    EXPECT_TRUE(p.synchronized);
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
    p.sync(false);
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

TEST_F(PendulorTest, ShutdownStopsTheCycle) {
  run([&](Pendulor& p) -> Awaitable<void> {
    p.shutdown();  // nothing pending yet
    p.sync(false);
    EXPECT_TRUE(p.pending());
    p.shutdown();
    EXPECT_FALSE(p.syncTimer);
    EXPECT_FALSE(p.pending());
    p.shutdown();
    co_await clock.advance(5000);
    EXPECT_TRUE(protocol.queuedAt.empty());
    EXPECT_EQ(clock.sleeping(), 0u);
    EXPECT_EQ(p.numRxSyncs, 1u);
  });
}

TEST_F(PendulorTest, RestartAfterTheTimerWasCancelledFromOutside) {
  run([&](Pendulor& p) -> Awaitable<void> {
    p.sync(false);
    co_await clock.advance(5);
    // A shutdown sweep cancels every task, the syncer's timer among them.
    p.syncTimer->task()->cancel();
    co_await clock.advance(100);
    EXPECT_FALSE(p.pending());
    EXPECT_EQ(protocol.queuedAt, std::vector<double>{5});

    p.restart();
    EXPECT_EQ(protocol.direct, (std::vector<std::string>{"rx", "rx"}));
    EXPECT_TRUE(p.pending());
    co_await ManualClock::settle();
    EXPECT_EQ(clock.sleeping(), 1u);
    co_await clock.advance(20);  // the back-off goes on where it was
    EXPECT_EQ(protocol.queuedAt, (std::vector<double>{5, 125}));
  });
}

TEST_F(PendulorTest, MissingNtpstatEndsTheCycleAfterArmingTheRegularPeriod) {
  std::filesystem::remove(standIns.bin() / "ntpstat");
  run([&](Pendulor& p) -> Awaitable<void> {
    EXPECT_THROW(p.sync(false), std::system_error);
    EXPECT_TRUE(p.pending());
    EXPECT_EQ(p.syncTimer->timeout(), 900);
    EXPECT_TRUE(protocol.direct.empty());
    EXPECT_EQ(p.numRxSyncs, 0u);
    EXPECT_TRUE(printed.lines().empty());
    co_await clock.advance(899);
    EXPECT_EQ(clock.requested(), std::vector<double>{900});

    // The 900-second cycle comes, and the schedule goes on from there.
    standIns.installRecorder("ntpstat", 1);
    co_await clock.advance(1);
    EXPECT_EQ(protocol.queuedAt, std::vector<double>{900});
    co_await clock.advance(5);
    EXPECT_EQ(protocol.queuedAt, (std::vector<double>{900, 905}));
  });
}

TEST_F(PendulorTest, HangingNtpstatTimesOut) {
  standIns.installHanging("ntpstat");
  run([&](Pendulor& p) -> Awaitable<void> {
    EXPECT_THROW(p.sync(false), TimeoutError);
    EXPECT_TRUE(p.pending());
    EXPECT_FALSE(p.synchronized);
    EXPECT_TRUE(protocol.direct.empty());
    co_return;
  });
}

TEST_F(PendulorTest, SetSystemTimePassesTheIsoTextToDate) {
  standIns.installRecorder("date", 0);
  // Only the stand-in may ever run here: PATH holds nothing else.
  ASSERT_EQ(std::string(std::getenv("PATH")), standIns.bin().string());
  ASSERT_EQ(::access((standIns.bin() / "date").c_str(), X_OK), 0);
  run([&](Pendulor& p) -> Awaitable<void> {
    p.setSystemTime(DateTime{2024, 2, 29, 12, 0, 0, 500000});
    EXPECT_EQ(standIns.read("date.args"), "2\n-s\n2024-02-29T12:00:00.500000\n");
    EXPECT_EQ(printed.lines(), std::vector<std::string>{"System time has been set successfully."});

    standIns.write("date.args", "");
    standIns.setStatus("date", 1);
    printed.clear();
    p.setSystemTime(DateTime{2024, 2, 29, 12, 0, 0, 0});
    EXPECT_EQ(standIns.read("date.args"), "2\n-s\n2024-02-29T12:00:00\n");
    EXPECT_EQ(printed.lines(), std::vector<std::string>{"Could not set system time."});
    co_return;
  });
}

TEST_F(PendulorTest, SetSystemTimeFailsWhenDateCannotRun) {
  run([&](Pendulor& p) -> Awaitable<void> {
    EXPECT_THROW(p.setSystemTime(DateTime{2024, 2, 29, 12, 0, 0, 0}), std::system_error);
    EXPECT_TRUE(printed.lines().empty());
    co_return;
  });
}

}  // namespace
}  // namespace vantro
