// Version 2 time handling: the time syncer started by the end of encryption
// set-up, the set-time command, and the board's date setting the host clock.
// External commands are stand-ins; the real date is never run.
#include <chrono>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/protocol/ProtocolFixture.hpp"
#include "vantro/protocol/TelvariSpeakV2/TelvariSpeakV2.hpp"
#include "vantro/time/date/BuildDate.hpp"
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

  // The end of a set-up, up to the end of the syncer's first cycle (its NTP
  // check runs on the syncer's worker thread).
  void postEncryption() {
    run([](TelvariSpeakV2* p) -> Awaitable<void> {
      p->postEncryption();
      co_await untilCycleEnds(*p);
    }(proto.get()));
  }

  void rebind() {
    run([](TelvariSpeakV2* p, std::shared_ptr<SerialLink> l, std::shared_ptr<MqttClient> m,
           std::shared_ptr<SensorMsgParser> sp) -> Awaitable<void> {
      p->rebind(l, m, sp);
      co_await untilCycleEnds(*p);
    }(proto.get(), link, mqtt, parser));
  }

  static Awaitable<void> untilCycleEnds(TelvariSpeakV2& p) {
    if (p.timeSyncer && p.timeSyncer->cycle()) co_await p.timeSyncer->cycle()->wait();
  }

  // An "RT" record of 28 February of the year after the build, 12:00:00.500.
  static Bytes believableDate() {
    const int yy = (buildDate().year + 1) % 100;
    return Bytes{
        static_cast<Byte>((yy / 10) << 4 | yy % 10), 0x02, 0x28, 0x00, 0x00, 0x12, 0x01, 0xF4};
  }
  static std::string believableIso() {
    return std::to_string(buildDate().year + 1) + "-02-28T12:00:00.500000";
  }

  ScopedTimeZone utc{"UTC0"};
  StandInCommands commands;
};

TEST_F(V2Time, PostEncryptionStartsOneSyncerAndRunsOneCycleAtOnce) {
  commands.installRecorder("ntpstat", 1);
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
  EXPECT_EQ(written(), "TC");
  run([](TelvariSpeakV2* p) -> Awaitable<void> {
    p->shutdown();
    co_return;
  }(proto.get()));
  EXPECT_EQ(written(), "SC");
  ASSERT_NE(proto->timeSyncer, nullptr) << "the syncer stays with the object";
  EXPECT_FALSE(proto->timeSyncer->pending());
}

TEST_F(V2Time, FailedFirstCycleStillWakesTheBoardAlsoAfterARebind) {
  // No ntpstat on PATH, as on a host without it.
  postEncryption();
  ASSERT_NE(proto->timeSyncer, nullptr);
  EXPECT_TRUE(proto->timeSyncer->pending()) << "the schedule goes on";
  EXPECT_EQ(written(), "TC");
  ASSERT_EQ(printed.lines().size(), 3U);
  EXPECT_EQ(printed.lines()[0].rfind("NTP status unknown (could not start command 'ntpstat'", 0),
            0U);
  EXPECT_EQ(printed.lines()[2], "Waking Duzediv Eri up\n");

  // A restarted run: the syncer starts afresh and the board is woken after it.
  proto->encryptionSetup = true;
  printed.clear();
  EXPECT_NO_THROW(rebind());
  EXPECT_EQ(written(), "TC");
  EXPECT_EQ(printed.lines().size(), 3U);
  EXPECT_EQ(proto->timeSyncer->numRxSyncs, 2U);

  // A line that fails every write: one line for the date, one for the wake-up.
  commands.installRecorder("ntpstat", 0);
  link->close();
  printed.clear();
  EXPECT_NO_THROW(rebind());
  const auto lines = printed.lines();
  ASSERT_EQ(lines.size(), 4U);
  EXPECT_EQ(lines[1].rfind("Time sync: could not send the date to the Duzediv Eri: ", 0), 0U);
  EXPECT_EQ(lines[3].rfind("Could not wake the Duzediv Eri: ", 0), 0U);
  EXPECT_EQ(proto->timeSyncer->numTxSyncs, 0U) << "no date was pushed";
}

TEST_F(V2Time, BoardDateSetsTheHostClockOnlyOnceTheSyncerExists) {
  board(believableDate());
  EXPECT_TRUE(process("RT"));
  EXPECT_EQ(commands.args("date"), "");
  EXPECT_TRUE(printed.lines().empty());

  commands.installRecorder("ntpstat", 1);
  postEncryption();
  printed.clear();
  board(believableDate());
  EXPECT_TRUE(process("RT"));
  EXPECT_EQ(commands.args("date"), "-s\n" + believableIso() + "\n");
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"System time has been set successfully."});

  // A board clock that was never set, or noise that reads as a date.
  printed.clear();
  board(kLeapDayNoonHalf);
  EXPECT_TRUE(process("RT"));
  ASSERT_EQ(printed.lines().size(), 1U);
  EXPECT_EQ(printed.lines()[0].rfind("Host clock not set from the board's date "
                                     "2024-02-29T12:00:00.500000: it is before this program's "
                                     "build date ",
                                     0),
            0U)
      << printed.lines()[0];

  Bytes broken = believableDate();
  broken[1] = 0x13;  // month 13
  board(broken);
  EXPECT_THROW(process("RT"), std::out_of_range);
  board(Bytes{0x24, 0x02});  // cut short by the read time-out
  EXPECT_THROW(process("RT"), std::out_of_range);
  EXPECT_EQ(commands.args("date"), "-s\n" + believableIso() + "\n");
}

}  // namespace
}  // namespace vantro::test
