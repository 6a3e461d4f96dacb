// Node commands over MQTT end to end: commands published with mosquitto_pub,
// the frames they become checked byte for byte in the simulated board's
// receive log, and a whole firmware transfer reassembled by the board.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "tests/e2e/Rig.hpp"

using namespace std::chrono_literals;
using vantro::test::Process;
using vantro::test::Rig;

namespace {

std::string context(Rig& rig) {
  return "--- gateway ---\n" + rig.gateway().output() + "--- board ---\n" + rig.board().output();
}

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void publish(Rig& rig, const std::string& topic, const std::string& payload, bool retain = false) {
  std::vector<std::string> argv{"/usr/bin/mosquitto_pub",
                                "-h",
                                "127.0.0.1",
                                "-p",
                                std::to_string(rig.broker().port()),
                                "-q",
                                "1",
                                "-t",
                                topic,
                                "-m",
                                payload};
  if (retain) argv.push_back("-r");
  Process pub(argv);
  ASSERT_EQ(pub.wait(5s), 0) << pub.output();
}

// Board with four nodes (UIDs 1000.., node ids 10..) and the gateway, up to the
// point where the gateway has heard node 1000 and thus knows its node id.
void startUntilNode1000Heard(Rig& rig, std::vector<std::string> boardArgs = {}) {
  std::vector<std::string> args{"--protocol", "1", "--nodes", "4", "--rate", "40", "--mix", "sd=1"};
  args.insert(args.end(), boardArgs.begin(), boardArgs.end());
  rig.startBoard(args);
  rig.startGateway();
  ASSERT_GE(rig.gateway().waitForLine("Waking Duzediv Eri up", 15s), 0) << context(rig);
  ASSERT_GE(rig.gateway().waitForPart("Sender 10: ", 10s), 0) << context(rig);
}

void stop(Rig& rig) {
  rig.gateway().signal(SIGTERM);
  EXPECT_EQ(rig.gateway().wait(15s), 0) << context(rig);
}

TEST(Commands, EachTopicBecomesItsFrameAndBadOrRetainedOnesWriteNothing) {
  Rig rig;
  // Retained before the gateway subscribes: delivered with the retain flag.
  publish(rig, "tx/msg/13", R"({"msgtype": 204, "toid": 9})", true);
  startUntilNode1000Heard(rig);
  auto& gw = rig.gateway();
  EXPECT_GE(gw.waitForLine("Ignoring retained command on tx/msg/13", 1s), 0) << context(rig);

  // Bad commands: nothing reaches the line.
  std::filesystem::create_directories(rig.statusDir() + "/firmware");
  std::filesystem::create_symlink(rig.statusDir() + "/gateway.uid",
                                  rig.statusDir() + "/firmware/uid.hex");
  const std::string flash =
      R"({"startAddr": 0, "msgtype": 5, "toNodeUID": 1000, "authToken": "01", "filePath": )";
  const std::size_t rxBefore = rig.boardRx().size();
  publish(rig, "tx/msg/12", R"({"msgtype": 11,)");
  publish(rig, "tx/reboot", "{}");
  publish(rig, "tx/msg/twelve", R"({"msgtype": 204, "toid": 7})");
  publish(rig, "tx/flash/7", flash + R"("../gateway.uid"})");
  publish(rig, "tx/flash/7", flash + R"("/etc/passwd"})");
  publish(rig, "tx/flash/7", flash + R"("uid.hex"})");
  publish(rig, "tx/flash/7/next", R"({"startAddr": 42})");
  EXPECT_GE(gw.waitForPart("Rejected command on tx/msg/12: the payload is not JSON: ", 5s), 0)
      << context(rig);
  EXPECT_GE(gw.waitForPart("Rejected command on tx/reboot: not a command topic", 5s), 0);
  EXPECT_GE(
      gw.waitForLine("Rejected command on tx/msg/twelve: channel \"twelve\" is not a number", 5s),
      0);
  EXPECT_GE(gw.waitForLine("Rejected command on tx/flash/7: value \"filePath\": ../gateway.uid "
                           "leads out of the firmware directory",
                           5s),
            0);
  EXPECT_GE(gw.waitForPart("Rejected command on tx/flash/7: value \"filePath\": /etc/passwd is "
                           "an absolute path",
                           5s),
            0);
  EXPECT_GE(gw.waitForLine("Rejected command on tx/flash/7: value \"filePath\": uid.hex leads "
                           "out of the firmware directory",
                           5s),
            0);
  EXPECT_GE(
      gw.waitForLine("Rejected command on tx/flash/7/next: no firmware transfer in progress", 5s),
      0)
      << context(rig);
  EXPECT_EQ(rig.boardRx().size(), rxBefore) << context(rig);

  // Each command topic, in arrival order, one frame each.
  publish(rig, "tx/msg/12", R"({"msgtype": 11, "outputLevel": 300, "toid": 7})");
  publish(rig, "tx/config/9",
          R"({"sensorType": 1, "sleepCycles": 3, "useLed": 1, "txPower": 2,
              "preBatteryMeasurementDelayMin": "600"})");
  publish(rig, "tx/peermode/1000", R"({"mode": 1})");
  publish(rig, "tx/peermode/4711", R"({"mode": 0})");
  ASSERT_GE(gw.waitForLine("Sent message to node with ID 7 of length 8", 5s), 0) << context(rig);
  ASSERT_GE(gw.waitForLine("Sent sensor config from channel tx:config:9 to Duzediv Eri", 5s), 0);
  ASSERT_GE(gw.waitForLine("Set keep-peer-in-rx mode for node ID 10 to 1", 5s), 0) << context(rig);
  ASSERT_GE(gw.waitForLine("Failed to set keep-peer-in-rx mode for node ID 255 to 0 - node not "
                           "registered. Error code: b'PME'",
                           5s),
            0)
      << context(rig);
  const std::string sent = rig.boardRx().substr(rxBefore);
  EXPECT_EQ(sent, "TX" + bytes({0x09, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x07, 0x0B, 0x01, 0x2C}) +
                      "PP" + bytes({0x07, 0x00, 0x00, 0x00, 0x09, 0xA3, 0x02, 0x58}) + "PM" +
                      bytes({0x0A, 0x01}) + "PM" + bytes({0xFF, 0x00}));
  // The retained command never went out.
  EXPECT_EQ(rig.boardRx().find("TX" + bytes({0x07, 0x00, 0x0D})), std::string::npos);
  stop(rig);
}

TEST(Commands, UnansweredPeerModeFailsAfterTheReplyTimeout) {
  Rig rig;
  startUntilNode1000Heard(rig, {"--pm-silent"});
  auto& gw = rig.gateway();
  const auto start = std::chrono::steady_clock::now();
  publish(rig, "tx/peermode/1001", R"({"mode": 2})");
  ASSERT_GE(gw.waitForLine("Failed to set keep-peer-in-rx mode for node ID 11 to 2 - node not "
                           "registered. Error code: b''",
                           5s),
            0)
      << context(rig);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_NE(rig.boardRx().find("PM" + bytes({0x0B, 0x02})), std::string::npos);
  stop(rig);
}

TEST(Commands, FirmwareTransferDrivenStepByStepReachesTheNodeWhole) {
  Rig rig;
  const std::filesystem::path fwOut = rig.dir() / "flashed.bin";
  // A random image of several kilobytes, as an Intel HEX file in the firmware
  // directory (readable by the daemon's user).
  constexpr std::int64_t kImageSize = 3000;
  const std::filesystem::path fwDir = rig.statusDir() + "/firmware";
  std::filesystem::create_directories(fwDir);
  std::string image(kImageSize, '\0');
  std::mt19937 rng(42);
  for (char& c : image) c = static_cast<char>(rng() & 0xFF);
  std::ofstream(rig.dir() / "image.bin", std::ios::binary) << image;
  Process objcopy({"/usr/bin/objcopy", "-I", "binary", "-O", "ihex",
                   (rig.dir() / "image.bin").string(), (fwDir / "image.hex").string()});
  ASSERT_EQ(objcopy.wait(10s), 0) << objcopy.output();

  startUntilNode1000Heard(rig, {"--fw-out", fwOut.string()});
  auto& gw = rig.gateway();
  const std::size_t rxBefore = rig.boardRx().size();
  publish(rig, "tx/flash/7",
          R"({"startAddr": 0, "filePath": "image.hex", "msgtype": 5, "toNodeUID": 1000,
              "authToken": "c0 ff ee 01 02 03 04 05"})");
  ASSERT_GE(gw.waitForLine("Starting flash procedure to UID 1000 with network ID 10 ...", 5s), 0)
      << context(rig);
  // One "next" per acknowledged chunk: 42 bytes at 0, then 50 each; the step
  // past the last address sends the closing message.
  int steps = 0;
  for (std::int64_t addr = 42;; addr += 50) {
    publish(rig, "tx/flash/7/next", fmt::format(R"({{"startAddr": {}}})", addr));
    ++steps;
    if (addr > kImageSize - 1) break;
  }
  ASSERT_GE(gw.waitForLine("Sent last data chunk.", 20s), 0) << context(rig);
  ASSERT_GE(rig.board().waitForLine(fmt::format("FIRMWARE {} bytes {} missing 0 token "
                                                "c0ffee0102030405",
                                                fwOut.string(), kImageSize),
                                    5s),
            0)
      << context(rig);
  EXPECT_EQ(readFile(fwOut), image);
  EXPECT_EQ(readFile(fwOut.string() + ".token"), bytes({0xC0, 0xFF, 0xEE, 1, 2, 3, 4, 5}));
  EXPECT_LT(gw.waitForPart("Rejected command", 10ms), 0) << context(rig);

  // Nothing but "TB" frames went out, one per command; the first and the
  // closing one byte for byte.
  const std::string sent = rig.boardRx().substr(rxBefore);
  std::vector<std::string> frames;
  for (std::size_t pos = 0; pos + 3 <= sent.size();) {
    ASSERT_EQ(sent.substr(pos, 2), "TB") << "at " << pos;
    const std::size_t size = 3 + static_cast<unsigned char>(sent[pos + 2]);
    frames.push_back(sent.substr(pos, size));
    pos += size;
  }
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(1 + steps));
  EXPECT_EQ(frames.front().substr(0, 51),
            "TB" + bytes({49, 7, 50, 10, 0xC9, 0, 0}) + image.substr(0, 42));
  std::string last = bytes({13, 7, 4, 10, 0xCA, 0xC0, 0xFF, 0xEE, 1, 2, 3, 4, 5});
  int sum = 0;
  for (char c : last) sum += static_cast<unsigned char>(c);
  EXPECT_EQ(frames.back(), "TB" + last + bytes({(0x100 - (sum & 0xFF)) & 0xFF}));
  stop(rig);
}

}  // namespace

namespace {

// Publishes one "tx/msg/5" command per output level in `levels`, as fast as the
// broker takes them (mosquitto_pub -l, one payload per line).
std::unique_ptr<Process> publishBurst(Rig& rig, int first, int count) {
  const auto file = rig.dir() / fmt::format("burst-{}.txt", first);
  {
    std::ofstream out(file);
    for (int i = first; i < first + count; ++i) {
      out << fmt::format(R"({{"msgtype": 11, "outputLevel": {}, "toid": 7}})", i) << "\n";
    }
  }
  const std::string cmd =
      fmt::format("exec /usr/bin/mosquitto_pub -h 127.0.0.1 -p {} -q 1 -t tx/msg/5 -l < '{}'",
                  rig.broker().port(), file.string());
  return std::make_unique<Process>(std::vector<std::string>{"/bin/sh", "-c", cmd});
}

// The output levels of the "tx/msg/5" frames the board received, in order.
std::vector<int> burstLevels(const std::string& rx) {
  const std::string head = "TX" + bytes({0x09, 0x00, 0x05, 0x00, 0x00, 0x00, 0x07, 0x0B});
  std::vector<int> levels;
  for (std::size_t at = rx.find(head); at != std::string::npos; at = rx.find(head, at + 1)) {
    if (at + head.size() + 2 > rx.size()) break;
    const auto hi = static_cast<unsigned char>(rx[at + head.size()]);
    const auto lo = static_cast<unsigned char>(rx[at + head.size() + 1]);
    levels.push_back(hi << 8 | lo);
  }
  return levels;
}

std::vector<int> range(int first, int count) {
  std::vector<int> out;
  for (int i = first; i < first + count; ++i) out.push_back(i);
  return out;
}

int countReadings(Process& gw) {
  int n = 0;
  for (const auto& line : gw.lines()) n += line.starts_with("Sender ") ? 1 : 0;
  return n;
}

// Watches the gateway's readings until `done` holds or `limit` passes; returns
// the longest time without a new reading, sampled every 50 ms.
template <typename Done>
std::chrono::milliseconds longestReadingGap(Process& gw, Done done, std::chrono::seconds limit) {
  using clock = std::chrono::steady_clock;
  const auto end = clock::now() + limit;
  auto last = clock::now();
  int seen = countReadings(gw);
  std::chrono::milliseconds longest{0};
  while (clock::now() < end && !done()) {
    std::this_thread::sleep_for(50ms);
    const int now = countReadings(gw);
    if (now != seen) {
      seen = now;
      last = clock::now();
    }
    longest = std::max(longest,
                       std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - last));
  }
  return longest;
}

void expectStopLines(Process& gw) {
  const int rx = gw.waitForLine("Stopping serial interface RX...", 1s);
  const int tx = gw.waitForLine("Stopping serial interface TX...", 1s);
  const int mqtt = gw.waitForLine("Disconnecting MQTT client...", 1s);
  EXPECT_GE(rx, 0);
  EXPECT_LT(rx, tx);
  EXPECT_LT(tx, mqtt);
  EXPECT_EQ(gw.waitForPart("still inside a job", 0ms), -1) << "the worker was not released";
}

}  // namespace

TEST(CommandBurst, AThousandCommandsReachTheBoardInOrderWhileReadingsFlow) {
  Rig rig;
  startUntilNode1000Heard(rig);
  auto& gw = rig.gateway();
  const auto start = std::chrono::steady_clock::now();
  auto pub = publishBurst(rig, 1, 1000);
  const auto gap = longestReadingGap(
      gw, [&] { return burstLevels(rig.boardRx()).size() >= 1000; }, 60s);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(pub->wait(10s), 0) << pub->output();
  EXPECT_EQ(burstLevels(rig.boardRx()), range(1, 1000)) << context(rig);
  EXPECT_LT(gap, 1000ms) << "readings stopped during the burst";
  std::printf(
      "1000 commands at the board after %lld ms; longest gap between readings %lld ms\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
      static_cast<long long>(gap.count()));
  EXPECT_FALSE(gw.waitForPart("command queue full", 0ms) >= 0);
  stop(rig);
  expectStopLines(gw);
}

TEST(CommandBurst, StopInTheMiddleOfABurstEndsAtOnceAndDropsTheRest) {
  Rig rig;
  startUntilNode1000Heard(rig);
  auto& gw = rig.gateway();
  auto pub = publishBurst(rig, 1, 1000);
  ASSERT_GE(gw.waitForPart("RECV MSG on topic tx/msg/5", 10s), 0) << context(rig);
  std::this_thread::sleep_for(100ms);
  const auto start = std::chrono::steady_clock::now();
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait(10s), 0) << context(rig);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  expectStopLines(gw);
  // What had reached the board went in order; the rest was dropped, not lost silently.
  const std::vector<int> sent = burstLevels(rig.boardRx());
  EXPECT_EQ(sent, range(1, static_cast<int>(sent.size())));
  if (sent.size() < 1000) {
    EXPECT_GE(gw.waitForPart("queued node commands", 0ms), 0) << context(rig);
  }
  pub->wait(10s);
}

TEST(CommandBurst, CommandsHeldByTheBrokerWhileStoppedAllArriveAfterTheStart) {
  Rig rig;
  startUntilNode1000Heard(rig);
  stop(rig);  // the persistent session stays with the broker
  rig.board().signal(SIGTERM);
  rig.board().wait(5s);
  auto pub = publishBurst(rig, 1, 200);
  ASSERT_EQ(pub->wait(20s), 0) << pub->output();

  rig.startBoard({"--protocol", "1", "--nodes", "4", "--rate", "40", "--mix", "sd=1"});
  rig.startGateway();
  auto& gw = rig.gateway();
  ASSERT_GE(gw.waitForLine("Waking Duzediv Eri up", 15s), 0) << context(rig);
  const auto gap = longestReadingGap(
      gw, [&] { return burstLevels(rig.boardRx()).size() >= 200; }, 30s);
  EXPECT_EQ(burstLevels(rig.boardRx()), range(1, 200)) << context(rig);
  EXPECT_LT(gap, 1000ms);
  stop(rig);
}

TEST(CommandBurst, StopWithTheBoardsDeviceGoneEndsWithinTenSeconds) {
  Rig rig;
  startUntilNode1000Heard(rig);
  auto& gw = rig.gateway();
  rig.board().signal(SIGKILL);  // the pty's far end closes
  ASSERT_TRUE(rig.board().wait(5s).has_value());
  std::filesystem::remove(rig.linkPath());  // the device's link goes with it
  std::this_thread::sleep_for(300ms);
  const auto start = std::chrono::steady_clock::now();
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait(10s), 0) << context(rig);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(gw.waitForPart("Start-up failed", 0ms), -1) << context(rig);
  expectStopLines(gw);
}
