// The daemon end to end: the simulated board on a pseudo-terminal, a real
// broker, and a subscriber counting what arrives.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/e2e/Rig.hpp"
#include "tests/support/SilentListener.hpp"

using namespace std::chrono_literals;
using vantro::test::Rig;

namespace {

std::string context(Rig& rig) {
  return "--- gateway ---\n" + rig.gateway().output() + "--- board ---\n" + rig.board().output();
}

TEST(Gateway, AnnouncementLeadsToPublishedReadingsAndACleanStop) {
  Rig rig;
  rig.startSubscriber("#");
  rig.startBoard({"--protocol", "1", "--uid", "256", "--fw-revision", "7", "--rate", "20"});
  rig.startGateway();
  auto& gw = rig.gateway();
  ASSERT_GE(gw.waitForLine("Starting serial interface RX...", 10s), 0) << context(rig);
  ASSERT_GE(gw.waitForPart("Connected to MQTT broker.", 10s), 0) << context(rig);
  ASSERT_GE(gw.waitForLine("Gateway Info: ", 10s), 0) << context(rig);
  ASSERT_GE(gw.waitForLine("Sent local node setup for node 1, network 100 ", 5s), 0);
  ASSERT_GE(gw.waitForLine("Waking Duzediv Eri up", 5s), 0) << context(rig);
  ASSERT_GE(rig.subscriber().waitForPart("sensor/100", 10s), 0) << context(rig);
  ASSERT_GE(rig.subscriber().waitForLine("gw/256/firmware/revision 7", 1s), 0);
  EXPECT_TRUE(std::filesystem::exists(rig.statusDir() + "/gateway.uid"));

  const int before = static_cast<int>(gw.lines().size());
  gw.signal(SIGTERM);
  ASSERT_EQ(gw.wait(15s), 0) << context(rig);
  // The stop, in order: standby, the two loops asked to stop, their own lines
  // as the sweep delivers them, then the disconnect.
  const int standby = gw.waitForLine("Putting Duzediv Eri in standby mode", 1s, before);
  const int stopRx = gw.waitForLine("Stopping serial interface RX...", 1s, before);
  const int stopTx = gw.waitForLine("Stopping serial interface TX...", 1s, before);
  const int rxEnd = gw.waitForLine("RX: Serial connection cancelled.", 1s, before);
  const int txEnd = gw.waitForLine("TX: Serial connection cancelled.", 1s, before);
  const int disc = gw.waitForLine("Disconnecting MQTT client...", 1s, before);
  ASSERT_GE(standby, 0) << context(rig);
  EXPECT_LT(standby, stopRx);
  EXPECT_LT(stopRx, stopTx);
  EXPECT_LT(stopTx, std::min(rxEnd, txEnd));
  EXPECT_LT(std::max(rxEnd, txEnd), disc);
  // The board received the answer to its prompt, the set-up, the wake-up and
  // finally the standby command.
  const std::string rx = rig.boardRx();
  EXPECT_EQ(rx.substr(0, 1), "r");
  EXPECT_NE(rx.find("LS\x01\x64"), std::string::npos);
  EXPECT_NE(rx.find("TC"), std::string::npos);
  EXPECT_EQ(rx.substr(rx.size() - 2), "SC");
}

TEST(Gateway, RestartOnSighupKeepsReadingsFlowing) {
  Rig rig;
  rig.startSubscriber("sensor/#");
  rig.startBoard({"--protocol", "1", "--rate", "20", "--mix", "sd=1"});
  rig.startGateway();
  auto& gw = rig.gateway();
  ASSERT_GE(gw.waitForLine("Waking Duzediv Eri up", 15s), 0) << context(rig);
  ASSERT_GE(rig.subscriber().waitForPart("sensor/", 10s), 0) << context(rig);

  gw.signal(SIGHUP);
  const int restart = gw.waitForLine("Received restart signal...", 5s);
  ASSERT_GE(restart, 0) << context(rig);
  // No standby on a restart; the new run connects again and wakes the board.
  EXPECT_LT(gw.waitForLine("Putting Duzediv Eri in standby mode", 100ms, restart), 0);
  ASSERT_GE(gw.waitForLine("Starting serial interface RX...", 10s, restart), 0) << context(rig);
  ASSERT_GE(gw.waitForLine("Waking Duzediv Eri up", 10s, restart), 0) << context(rig);
  const int senderLine =
      gw.waitForPart("Sender ", 10s, gw.waitForLine("Waking Duzediv Eri up", 1s, restart));
  EXPECT_GE(senderLine, 0) << context(rig);
  const auto countBefore = rig.readings().size();
  std::this_thread::sleep_for(1s);
  EXPECT_GT(rig.readings().size(), countBefore) << context(rig);

  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait(15s), 0) << context(rig);
}

TEST(Gateway, GarbageAndTruncatedRecordsDoNotStopTheFlow) {
  Rig rig;
  rig.startSubscriber("sensor/#");
  rig.startBoard(
      {"--protocol", "1", "--rate", "100", "--garbage-every", "3", "--truncate-every", "7"});
  rig.startGateway();
  auto& gw = rig.gateway();
  ASSERT_GE(gw.waitForLine("Waking Duzediv Eri up", 15s), 0) << context(rig);
  std::this_thread::sleep_for(3s);
  EXPECT_GE(gw.waitForPart("garbage: ", 1s), 0) << context(rig);
  EXPECT_GT(rig.readings().size(), 20u) << context(rig);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait(15s), 0) << context(rig);
}

TEST(Gateway, BrokerRestartMidStreamLosesNoReading) {
  Rig rig;
  rig.startSubscriber("sensor/#", "e2e-counter");
  constexpr int kRecords = 600;
  rig.startBoard(
      {"--protocol", "1", "--rate", "150", "--only-sd", "--count", std::to_string(kRecords)});
  rig.startGateway();
  auto& gw = rig.gateway();
  ASSERT_GE(gw.waitForLine("Waking Duzediv Eri up", 15s), 0) << context(rig);
  std::this_thread::sleep_for(1s);
  rig.broker().stop();
  std::this_thread::sleep_for(1500ms);
  rig.broker().start();
  // Wait until the gateway has handled every record and the broker delivered.
  for (int i = 0; i < 200; ++i) {
    int senders = 0;
    for (const auto& l : gw.lines()) senders += l.rfind("Sender ", 0) == 0 ? 1 : 0;
    std::set<std::string> unique;
    for (const auto& l : rig.readings()) unique.insert(l);
    if (senders >= kRecords && unique.size() >= static_cast<std::size_t>(kRecords)) break;
    std::this_thread::sleep_for(100ms);
  }
  int senders = 0;
  for (const auto& l : gw.lines()) senders += l.rfind("Sender ", 0) == 0 ? 1 : 0;
  std::set<std::string> unique;
  for (const auto& l : rig.readings()) unique.insert(l);
  EXPECT_EQ(senders, kRecords) << context(rig);
  EXPECT_EQ(unique.size(), static_cast<std::size_t>(kRecords)) << context(rig);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait(15s), 0) << context(rig);
}

int countSenders(vantro::test::Process& gw) {
  int senders = 0;
  for (const auto& l : gw.lines()) senders += l.rfind("Sender ", 0) == 0 ? 1 : 0;
  return senders;
}

TEST(Gateway, UnansweredBrokerNeitherHoldsUpTheBoardNorLosesAReading) {
  Rig rig;
  // A durable subscription, made while the broker still runs, collects what
  // the gateway publishes once the broker is back.
  rig.startSubscriber("sensor/#", "e2e-outage");
  rig.subscriber().signal(SIGTERM);
  ASSERT_TRUE(rig.subscriber().wait(5s).has_value());
  rig.broker().stop();
  // The broker's host does not answer: SYNs to its port go unanswered.
  vantro::test::SilentListener silent(rig.broker().port());

  constexpr int kRecords = 100;
  rig.startBoard(
      {"--protocol", "1", "--rate", "20", "--only-sd", "--count", std::to_string(kRecords)});
  rig.startGateway();
  auto& gw = rig.gateway();
  const int announced = gw.waitForLine("Gateway Info: ", 15s);
  ASSERT_GE(announced, 0) << context(rig);
  const int wake = gw.waitForLine("Waking Duzediv Eri up", 5s, announced);
  ASSERT_GE(wake, 0) << context(rig);
  ASSERT_GE(gw.waitForPart("Sender ", 5s, wake), 0) << context(rig);
  EXPECT_LT(gw.waitForPart("Connected to MQTT broker.", 0ms), 0) << context(rig);

  silent.close();
  rig.broker().start();
  ASSERT_GE(gw.waitForPart("Connected to MQTT broker.", 30s), 0) << context(rig);
  rig.startSubscriber("sensor/#", "e2e-outage");
  std::set<std::string> unique;
  for (int i = 0; i < 300 && (countSenders(gw) < kRecords || unique.size() < kRecords); ++i) {
    std::this_thread::sleep_for(100ms);
    for (const auto& l : rig.readings()) unique.insert(l);
  }
  EXPECT_EQ(countSenders(gw), kRecords) << context(rig);
  EXPECT_EQ(unique.size(), static_cast<std::size_t>(kRecords)) << context(rig);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait(15s), 0) << context(rig);
}

TEST(Gateway, MissingSerialDeviceFailsTheStartWithTheReason) {
  Rig rig;
  vantro::test::Process gw({vantro::test::bin("vantro-gateway"), "--serial-device",
                            rig.dir().str() + "/no-such-tty", "--no-hat-reset", "--status-dir",
                            rig.statusDir(), "--broker-port", std::to_string(rig.broker().port())},
                           {.runAsUid = vantro::test::unprivilegedUid()});
  const auto status = gw.wait(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0);
  EXPECT_GE(gw.waitForPart("no-such-tty", 1s), 0) << gw.output();
}

TEST(Gateway, UnwritableStatusDirectoryFailsTheStartBeforeTheBoardIsTouched) {
  Rig rig;
  rig.startBoard({"--protocol", "1"});
  const std::string dir = rig.dir().str() + "/read-only";
  std::filesystem::create_directory(dir);
  std::filesystem::permissions(
      dir, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
               std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
  vantro::test::Process gw(
      {vantro::test::bin("vantro-gateway"), "--serial-device", rig.linkPath(), "--no-hat-reset",
       "--status-dir", dir, "--broker-port", std::to_string(rig.broker().port())},
      {.runAsUid = vantro::test::unprivilegedUid()});
  EXPECT_EQ(gw.wait(10s), 1) << gw.output();
  EXPECT_GE(gw.waitForPart("Start-up failed: status directory " + dir, 1s), 0) << gw.output();
  EXPECT_EQ(rig.boardRx(), "") << "the board was touched";
}

// The board's device goes away (the simulator is killed, its pty closes) and
// comes back under the same path: one line per reopening attempt, then the
// board is started and set up again and readings flow.
TEST(Gateway, LostSerialDeviceIsReopenedWhenItComesBack) {
  Rig rig;
  rig.startBoard({"--protocol", "1", "--rate", "20"});
  rig.startGateway();
  auto& gw = rig.gateway();
  ASSERT_GE(gw.waitForPart("Sender ", 15s), 0) << context(rig);
  rig.board().signal(SIGKILL);
  ASSERT_TRUE(rig.board().wait(5s).has_value());
  // The link goes with the device, as a /dev/serial/by-id link does when the
  // adapter is pulled (left behind, it could name another test's new pty).
  std::filesystem::remove(rig.linkPath());
  const int lost = gw.waitForPart("lost: ", 5s);
  ASSERT_GE(lost, 0) << context(rig);
  EXPECT_NE(gw.lines()[static_cast<std::size_t>(lost)].find(rig.linkPath()), std::string::npos);
  std::this_thread::sleep_for(4s);  // attempts after 1 and 3 s
  int attempts = 0;
  for (const auto& line : gw.lines()) {
    attempts += line.starts_with("Cannot reopen serial device") ? 1 : 0;
    EXPECT_EQ(line.find("Traceback"), std::string::npos) << line;
  }
  EXPECT_GE(attempts, 1);
  EXPECT_LE(attempts, 3) << context(rig);
  // A restart while the device is away keeps the gateway waiting for it.
  gw.signal(SIGHUP);
  ASSERT_GE(gw.waitForPart("not available", 5s), 0) << context(rig);

  rig.startBoard({"--protocol", "1", "--rate", "20"});
  const int reopened = gw.waitForPart("reopened", 15s);
  ASSERT_GE(reopened, 0) << context(rig);
  ASSERT_GE(gw.waitForLine("Duzediv Eri restarted; setting it up again", 10s, reopened), 0)
      << context(rig);
  ASSERT_GE(gw.waitForLine("Waking Duzediv Eri up", 10s, reopened), 0) << context(rig);
  ASSERT_GE(gw.waitForPart("Sender ", 10s, reopened), 0) << context(rig);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait(10s), 0) << context(rig);
}

TEST(Gateway, BoardThatRebootsIsSetUpAgain) {
  Rig rig;
  rig.startBoard({"--protocol", "2", "--rate", "20", "--reboot-after", "2"});
  rig.startGateway();
  auto& gw = rig.gateway();
  ASSERT_GE(gw.waitForLine("Waking Duzediv Eri up", 15s), 0) << context(rig);
  const int again = gw.waitForLine("Duzediv Eri restarted; setting it up again", 10s);
  ASSERT_GE(again, 0) << context(rig);
  ASSERT_GE(gw.waitForLine("Waking Duzediv Eri up", 10s, again), 0) << context(rig);
  ASSERT_GE(gw.waitForPart("Sender ", 10s, again), 0) << context(rig);
  const std::string rx = rig.boardRx();
  EXPECT_NE(rx.find("LS"), rx.rfind("LS")) << "the local set-up is sent again";
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait(10s), 0) << context(rig);
}

TEST(Gateway, OutOfRangeOptionIsRefusedWithStatusTwo) {
  vantro::test::Process gw(
      {vantro::test::bin("vantro-gateway"), "--serial-device", "/dev/null", "--node-id", "256"});
  EXPECT_EQ(gw.wait(10s), 2);
  EXPECT_GE(gw.waitForPart("node-id", 1s), 0) << gw.output();
}

}  // namespace
