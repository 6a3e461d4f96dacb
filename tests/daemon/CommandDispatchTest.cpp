// Node commands over MQTT: topic and payload checks, the firmware path kept
// inside its directory, and what the dispatcher queues and prints.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "daemon/CommandDispatch.hpp"
#include "tests/support/PrintCapture.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/bridge/State.hpp"

namespace vantro::daemon {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::PrintCapture;
using test::TempDir;

// A firmware directory with a.hex and sub/b.hex, and a file beside it.
class FirmwareDir {
 public:
  FirmwareDir() {
    fs::create_directories(dir_ / "fw" / "sub");
    fs::create_directories(dir_ / "fw2");
    touch(fw() / "a.hex");
    touch(fw() / "sub" / "b.hex");
    touch(dir_ / "fw2" / "secret");
    touch(dir_ / "outside.hex");
  }
  fs::path fw() const { return dir_ / "fw"; }
  fs::path root() const { return dir_.path(); }

 private:
  static void touch(const fs::path& p) { std::ofstream(p) << ":00000001FF\n"; }
  TempDir dir_;
};

Bytes text(std::string_view s) {
  return toBytes(s);
}

// The reason parseCommand gives for `topic` and `payload`, or "" when accepted.
std::string reason(std::string_view topic, std::string_view payload, const fs::path& fw = {}) {
  try {
    parseCommand(topic, text(payload), fw);
    return "";
  } catch (const CommandRejected& e) {
    return e.what();
  }
}

TEST(CommandTopics, NameTheKindAndTheNumber) {
  const NodeCommand msg =
      parseCommand("tx/msg/12", text(R"({"msgtype": 11, "outputLevel": 300, "toid": 7})"), {});
  EXPECT_EQ(msg.kind, CommandKind::Message);
  EXPECT_EQ(msg.key, "tx:msg:12");
  EXPECT_EQ(msg.number, 12);
  EXPECT_EQ(msg.topic, "tx/msg/12");

  const NodeCommand pm = parseCommand("tx/peermode/1000", text(R"({"mode": "1"})"), {});
  EXPECT_EQ(pm.kind, CommandKind::PeerMode);
  EXPECT_EQ(pm.number, 1000);
  EXPECT_EQ(pm.value, 1);

  const NodeCommand next = parseCommand("tx/flash/7/next", text(R"({"startAddr": 92})"), {});
  EXPECT_EQ(next.kind, CommandKind::FlashNext);
  EXPECT_EQ(next.number, 7);
  EXPECT_EQ(next.value, 92);

  const NodeCommand cfg = parseCommand(
      "tx/config/4294967295", text(R"({"sensorType": 1, "sleepCycles": 3, "useLed": 1, "txPower": 2,
               "preBatteryMeasurementDelayMin": 600})"),
      {});
  EXPECT_EQ(cfg.kind, CommandKind::SensorConfig);
  EXPECT_EQ(cfg.number, 4294967295);
}

TEST(CommandTopics, UnknownTopicsAndBadNumbersAreRefused) {
  for (const char* topic : {"tx", "tx/", "tx/msg", "tx/msg/12/x", "tx/flash/7/prev",
                            "tx/flash/7/next/1", "tx/peer/1", "rx/msg/1", "tx//msg/1"}) {
    EXPECT_NE(reason(topic, "{}").find("not a command topic"), std::string::npos) << topic;
  }
  EXPECT_EQ(reason("tx/msg/abc", "{}"), "channel \"abc\" is not a number");
  EXPECT_EQ(reason("tx/msg/-1", "{}"), "channel \"-1\" is not a number");
  EXPECT_EQ(reason("tx/msg/ 1", "{}"), "channel \" 1\" is not a number");
  EXPECT_EQ(reason("tx/msg/", "{}"), "channel \"\" is not a number");
  EXPECT_EQ(reason("tx/peermode/x1", "{}"), "node UID \"x1\" is not a number");
  EXPECT_EQ(reason("tx/msg/65536", "{}"), "channel: 65536 is outside 0 to 65535");
  EXPECT_EQ(reason("tx/flash/256/next", "{}"), "transfer id: 256 is outside 0 to 255");
  EXPECT_EQ(reason("tx/peermode/4294967296", "{}"),
            "node UID: 4294967296 is outside 0 to 4294967295");
  EXPECT_EQ(reason("tx/msg/99999999999999999999999", "{}"),
            "channel: 99999999999999999999999 is outside 0 to 65535");
}

TEST(CommandPayloads, MustBeOneReasonableJsonObject) {
  EXPECT_EQ(reason("tx/peermode/1", "").rfind("the payload is not JSON: ", 0), 0u);
  EXPECT_EQ(reason("tx/peermode/1", "{mode: 1}").rfind("the payload is not JSON: ", 0), 0u);
  EXPECT_EQ(reason("tx/peermode/1", "\xff\xfe").rfind("the payload is not JSON: ", 0), 0u);
  EXPECT_EQ(reason("tx/peermode/1", "[1]"), "the payload is not a JSON object");
  EXPECT_EQ(reason("tx/peermode/1", "1"), "the payload is not a JSON object");
  const std::string deep =
      R"({"mode": 1, "x": )" + std::string(30000, '[') + std::string(30000, ']') + "}";
  EXPECT_EQ(reason("tx/peermode/1", deep), "the payload is nested deeper than 8 levels");
  const std::string big = R"({"mode": 1, "x": ")" + std::string(70000, 'a') + "\"}";
  EXPECT_NE(reason("tx/peermode/1", big).find("larger than 65536 bytes"), std::string::npos);
}

TEST(CommandPayloads, FieldsAreCheckedBeforeQueueing) {
  EXPECT_EQ(reason("tx/msg/5", "{}"), "the value map is empty");
  EXPECT_EQ(reason("tx/msg/5", R"({"msgtype": 11, "outputLevel": 300})"),
            "value map has no key \"toid\"");
  EXPECT_NE(reason("tx/msg/5", R"({"msgtype": 10, "waterTemp": 256, "toid": 7})"), "");
  EXPECT_EQ(reason("tx/msg/5", R"({"msgtype": 12, "toid": 7})"),
            "message type 12 has no node message");
  EXPECT_EQ(reason("tx/config/9", "{}"), "the configuration record is empty");
  EXPECT_NE(reason("tx/config/9", R"({"sensorType": 3, "sleepCycles": 1})"), "");
  EXPECT_EQ(reason("tx/peermode/1", "{}"), "value map has no key \"mode\"");
  EXPECT_EQ(reason("tx/peermode/1", R"({"mode": 256})"), "value \"mode\": 256 is outside 0 to 255");
  EXPECT_NE(reason("tx/peermode/1", R"({"mode": "on"})"), "");
  EXPECT_EQ(reason("tx/flash/7/next", "{}"), "value map has no key \"startAddr\"");
  EXPECT_EQ(reason("tx/flash/7/next", R"({"startAddr": -1})"),
            "value \"startAddr\": -1 is outside 0 to 65536");
}

TEST(CommandPayloads, FirmwareStartIsCheckedWholeAndItsPathResolved) {
  FirmwareDir d;
  const json good = {{"startAddr", 0},
                     {"filePath", "sub/b.hex"},
                     {"msgtype", 5},
                     {"toNodeUID", 1000},
                     {"authToken", "de ad be ef"}};
  const NodeCommand c = parseCommand("tx/flash/7", text(good.dump()), d.fw());
  EXPECT_EQ(c.kind, CommandKind::FlashStart);
  EXPECT_EQ(c.key, "tx:flash:7");
  EXPECT_EQ(c.payload["filePath"], fs::canonical(d.fw() / "sub" / "b.hex").string());
  EXPECT_EQ(c.payload["authToken"], "de ad be ef");

  const auto with = [&](const char* key, json v) {
    json p = good;
    p[key] = std::move(v);
    return reason("tx/flash/7", p.dump(), d.fw());
  };
  const auto without = [&](const char* key) {
    json p = good;
    p.erase(key);
    return reason("tx/flash/7", p.dump(), d.fw());
  };
  for (const char* key : {"startAddr", "filePath", "msgtype", "toNodeUID", "authToken"}) {
    EXPECT_EQ(without(key), fmt::format("value map has no key \"{}\"", key));
  }
  EXPECT_NE(with("authToken", "xyz"), "");
  EXPECT_EQ(with("authToken", 12), "value \"authToken\": 12 is not text");
  EXPECT_EQ(with("msgtype", 300), "value \"msgtype\": 300 is outside 0 to 255");
  EXPECT_NE(with("toNodeUID", "node"), "");
  EXPECT_EQ(with("filePath", "/etc/passwd"),
            "value \"filePath\": /etc/passwd is an absolute path, not a file in the firmware "
            "directory");
  EXPECT_EQ(with("filePath", "missing.hex"),
            "value \"filePath\": missing.hex is no file in the firmware directory");
}

TEST(FirmwarePaths, StayInsideTheFirmwareDirectory) {
  FirmwareDir d;
  const fs::path fw = fs::canonical(d.fw());
  EXPECT_EQ(resolveFirmwarePath(d.fw(), "a.hex"), fw / "a.hex");
  EXPECT_EQ(resolveFirmwarePath(d.fw(), "./sub//b.hex"), fw / "sub" / "b.hex");
  // A link that stays inside is followed.
  fs::create_symlink("sub/b.hex", d.fw() / "current.hex");
  EXPECT_EQ(resolveFirmwarePath(d.fw(), "current.hex"), fw / "sub" / "b.hex");

  const auto refused = [&](std::string_view path) {
    try {
      resolveFirmwarePath(d.fw(), path);
      return std::string("accepted");
    } catch (const CommandRejected& e) {
      return std::string(e.what());
    }
  };
  EXPECT_NE(refused("/etc/passwd").find("absolute path"), std::string::npos);
  EXPECT_NE(refused((d.fw() / "a.hex").string()).find("absolute path"), std::string::npos);
  EXPECT_NE(refused("../outside.hex").find("leads out"), std::string::npos);
  EXPECT_NE(refused("sub/../a.hex").find("leads out"), std::string::npos);
  EXPECT_NE(refused("../fw/a.hex").find("leads out"), std::string::npos);
  // Links out of the directory, to a file and through a folder; "fw2" shares
  // the directory's name as a prefix.
  fs::create_symlink(d.root() / "outside.hex", d.fw() / "link.hex");
  fs::create_symlink(d.root() / "fw2", d.fw() / "other");
  fs::create_symlink("../fw2/secret", d.fw() / "sibling.hex");
  EXPECT_NE(refused("link.hex").find("leads out"), std::string::npos);
  EXPECT_NE(refused("other/secret").find("leads out"), std::string::npos);
  EXPECT_NE(refused("sibling.hex").find("leads out"), std::string::npos);
  // Not a file.
  EXPECT_NE(refused("").find("empty"), std::string::npos);
  EXPECT_NE(refused(".").find("no file"), std::string::npos);
  EXPECT_NE(refused("sub").find("no file"), std::string::npos);
  EXPECT_NE(refused("nothing.hex").find("no file"), std::string::npos);
  EXPECT_NE(refused(std::string_view("a.hex\0x", 7)).find("NUL"), std::string::npos);
  // No directory.
  EXPECT_THROW(resolveFirmwarePath(d.root() / "none", "a.hex"), CommandRejected);
  EXPECT_THROW(resolveFirmwarePath({}, "a.hex"), CommandRejected);
}

TEST(NextStep, OnlyContinuesTheTransferInProgress) {
  EXPECT_EQ(nextStepRefusal(json::object(), 7), "no firmware transfer in progress");
  EXPECT_EQ(nextStepRefusal(json(), 7), "no firmware transfer in progress");
  json status = {{"msgId", 8},
                 {"filePath", "/fw/a.hex"},
                 {"authToken", json::binary({1, 2})},
                 {"txstatus", "ACK_WAIT"}};
  EXPECT_EQ(nextStepRefusal(status, 7), "transfer 7 is not the one in progress (8)");
  EXPECT_EQ(nextStepRefusal(status, 8), "");
  status.erase("filePath");  // a start that was refused half-way
  EXPECT_EQ(nextStepRefusal(status, 8), "no firmware transfer in progress");
}

// The dispatcher with a queue of its own; jobs run on the test's thread, which
// runs no event loop and thus counts as the transmit worker.
class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest()
      : dispatch(fw.fw(), [this](CommandDispatcher::Job job) { jobs.push_back(std::move(job)); }) {
    flashUpdateStatus = json::object();
  }
  ~DispatcherTest() override { flashUpdateStatus = json::object(); }

  void deliver(const std::string& topic, std::string_view payload, bool retain = false) {
    dispatch(topic, text(payload), MessageProperties{retain, 1});
  }
  void runJobs() {
    for (auto& job : jobs) job();
    jobs.clear();
  }

  FirmwareDir fw;
  std::vector<CommandDispatcher::Job> jobs;
  CommandDispatcher dispatch;
  PrintCapture out;
};

TEST_F(DispatcherTest, RetainedAndBadCommandsQueueNothing) {
  deliver("tx/peermode/1", R"({"mode": 1})", true);
  deliver("tx/peermode/1", "not json");
  deliver("tx/nothing", "{}");
  deliver("tx/msg/1\n2", "{}");
  EXPECT_TRUE(jobs.empty());
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Ignoring retained command on tx/peermode/1");
  EXPECT_EQ(lines[1].rfind("Rejected command on tx/peermode/1: the payload is not JSON: ", 0), 0u);
  EXPECT_EQ(lines[2].rfind("Rejected command on tx/nothing: not a command topic", 0), 0u);
  EXPECT_EQ(lines[3], "Rejected command on tx/msg/1?2: channel \"1?2\" is not a number");
}

TEST_F(DispatcherTest, WithoutProtocolObjectCommandsAreRefused) {
  ASSERT_EQ(myProtocol, nullptr);
  const CommandDispatcher toProtocol(fw.fw());
  toProtocol("tx/peermode/1", text(R"({"mode": 1})"), MessageProperties{});
  EXPECT_TRUE(out.contains(
      "Rejected command on tx/peermode/1: the Duzediv Eri has not announced itself yet"));
}

TEST_F(DispatcherTest, ErrorsOfTheOperationsArePrintedByTheJob) {
  ASSERT_EQ(ser, nullptr);
  deliver("tx/msg/12", R"({"msgtype": 204, "toid": 7})");
  deliver("tx/peermode/1000", R"({"mode": 0})");
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_TRUE(out.lines().empty());
  runJobs();
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Rejected command on tx/msg/12: txMessage: the serial port is not open");
  EXPECT_EQ(lines[1],
            "Rejected command on tx/peermode/1000: setPeerMode: the serial port is not open");
}

TEST_F(DispatcherTest, NextStepChecksTheTransferOnTheWorker) {
  deliver("tx/flash/7/next", R"({"startAddr": 42})");
  ASSERT_EQ(jobs.size(), 1u);  // the transfer state is not read on the loop thread
  runJobs();
  EXPECT_TRUE(
      out.contains("Rejected command on tx/flash/7/next: no firmware transfer in progress"));

  // A transfer whose file has gone: the step sends nothing, but the transfer
  // is sending again.
  flashUpdateStatus = {{"msgId", 7},
                       {"filePath", (fw.root() / "gone.hex").string()},
                       {"msgtype", 5},
                       {"toNodeUID", 1000},
                       {"txstatus", "ACK_WAIT"},
                       {"authToken", json::binary({0xDE, 0xAD})}};
  out.clear();
  deliver("tx/flash/8/next", R"({"startAddr": 42})");
  deliver("tx/flash/7/next", R"({"startAddr": 42})");
  runJobs();
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Rejected command on tx/flash/8/next: transfer 8 is not the one in progress (7)");
  EXPECT_EQ(flashUpdateStatus["txstatus"], "SENDING");
}

}  // namespace
}  // namespace vantro::daemon
