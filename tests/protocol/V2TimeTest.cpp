// Version 2 time handling: the time syncer started by the end of encryption
// set-up, the set-time command, and the board's date setting the host clock.
// External commands are stand-ins; the real date is never run.
#include <chrono>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/protocol/ProtocolFixture.hpp"
#include "vantro/protocol/TelvariSpeakV2/TelvariSpeakV2.hpp"
#include "vantro/time/date/DateTime.hpp"

namespace vantro::test {
namespace {

const Bytes kLeapDayNoonHalf{0x24, 0x02, 0x29, 0x00, 0x00, 0x12, 0x01, 0xF4};

// Sunday 2026-12-06 15:30:45.900 UTC.
std::chrono::system_clock::time_point fixedSunday() {
  using namespace std::chrono;
  return system_clock::time_point(duration_cast<system_clock::duration>(
      sys_days(year(2026) / 12 / 6).time_since_epoch() + 15h + 30min + 45s + 900ms));
}

class V2Time : public ProtocolFixture<TelvariSpeakV2> {
 protected:
  void SetUp() override { commands.installRecorder("date", 0); }
  void TearDown() override {
    setWallClock(nullptr);
    ProtocolFixture<TelvariSpeakV2>::TearDown();
  }

  void postEncryption() {
    run([](TelvariSpeakV2* p) -> Awaitable<void> {
      p->postEncryption();
      co_return;
    }(proto.get()));
  }

  ScopedTimeZone utc{"UTC0"};
  StandInCommands commands;
};

TEST_F(V2Time, PostEncryptionStartsOneSyncerAndRunsOneCycleAtOnce) {
  commands.installRecorder("ntpstat", 1);
  proto->setMqttConnected(true);
  postEncryption();
  ASSERT_NE(proto->timeSyncer, nullptr);
  const Pendulor* first = proto->timeSyncer.get();
  EXPECT_TRUE(first->pending());
  EXPECT_EQ(printed.lines(),
            (std::vector<std::string>{"NTP synchronized: False",
                                      "Empty RX date (Request Date) implementation",
                                      "Waking Duzediv Eri up\n"}));

  printed.clear();
  postEncryption();
  EXPECT_EQ(proto->timeSyncer.get(), first);
  EXPECT_EQ(proto->timeSyncer->numRxSyncs, 1U);
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"Waking Duzediv Eri up\n"});
  EXPECT_EQ(written(), "TCTC") << "the date request sends nothing to the board";
  EXPECT_EQ(proto->txQueue.size(), 0U);
}

TEST_F(V2Time, SynchronisedHostSendsItsDateBeforeTheWakeUp) {
  commands.installRecorder("ntpstat", 0);
  setWallClock(&fixedSunday);
  proto->setMqttConnected(true);
  postEncryption();
  const Bytes expected{'S', 'T', 7, 6, 12, 26, 15, 30, 45, 'T', 'C'};
  EXPECT_EQ(written(), std::string(expected.begin(), expected.end()));
  EXPECT_EQ(proto->timeSyncer->numTxSyncs, 1U);
}

TEST_F(V2Time, ShutdownWritesOnlySCAndStopsTheSyncer) {
  proto->shutdown();
  EXPECT_EQ(written(), "SC");
  EXPECT_EQ(proto->timeSyncer, nullptr);

  commands.installRecorder("ntpstat", 1);
  postEncryption();
  ASSERT_TRUE(proto->timeSyncer->pending());
  run([](TelvariSpeakV2* p) -> Awaitable<void> {
    p->shutdown();
    co_return;
  }(proto.get()));
  EXPECT_EQ(written(), "SC");
  ASSERT_NE(proto->timeSyncer, nullptr) << "the syncer stays with the object";
  EXPECT_FALSE(proto->timeSyncer->pending());
}

TEST_F(V2Time, BoardDateSetsTheHostClockOnlyOnceTheSyncerExists) {
  board(kLeapDayNoonHalf);
  EXPECT_TRUE(process("RT"));
  EXPECT_EQ(commands.args("date"), "");
  EXPECT_TRUE(printed.lines().empty());

  commands.installRecorder("ntpstat", 1);
  postEncryption();
  printed.clear();
  board(kLeapDayNoonHalf);
  EXPECT_TRUE(process("RT"));
  EXPECT_EQ(commands.args("date"), "-s\n2024-02-29T12:00:00.500000\n");
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"System time has been set successfully."});

  Bytes broken = kLeapDayNoonHalf;
  broken[1] = 0x13;  // month 13
  board(broken);
  EXPECT_THROW(process("RT"), std::out_of_range);
  board(Bytes{0x24, 0x02});  // cut short by the read time-out
  EXPECT_THROW(process("RT"), std::out_of_range);
  EXPECT_EQ(commands.args("date"), "-s\n2024-02-29T12:00:00.500000\n");
}

}  // namespace
}  // namespace vantro::test
