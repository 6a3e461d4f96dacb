// Node commands over MQTT: topic and payload checks, the firmware path kept
// inside its directory, and what the session's intake queues, refuses and runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tests/support/PrintCapture.hpp"
#include "tests/support/Pty.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/bridge/Session.hpp"
#include "vantro/commands/NodeFrames.hpp"

using namespace std::chrono_literals;

namespace vantro {
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
    parseCommand(topic, text(payload), fw, NodeIdTable{});
    return "";
  } catch (const CommandRejected& e) {
    return e.what();
  }
}

TEST(CommandTopics, BecomeTypedCommandsWithTheirFramesBuilt) {
  NodeIdTable nodes;
  nodes.set(1000, 3);
  const NodeCommand msg = parseCommand(
      "tx/msg/12", text(R"({"msgtype": 11, "outputLevel": 300, "toid": 7})"), {}, nodes);
  EXPECT_EQ(msg.topic, "tx/msg/12");
  EXPECT_EQ(std::get<FrameCommand>(msg.action).frame, buildTxFrame(12, 7, Bytes{0x0B, 0x01, 0x2C}));

  const NodeCommand pm = parseCommand("tx/peermode/1000", text(R"({"mode": "1"})"), {}, nodes);
  EXPECT_EQ(std::get<PeerModeCommand>(pm.action).nodeId, 3);  // looked up at intake
  EXPECT_EQ(std::get<PeerModeCommand>(pm.action).mode, 1);

  const NodeCommand next = parseCommand("tx/flash/7/next", text(R"({"startAddr": 92})"), {}, nodes);
  EXPECT_EQ(std::get<FlashNextCommand>(next.action).msgId, 7);
  EXPECT_EQ(std::get<FlashNextCommand>(next.action).startAddr, 92);

  const NodeCommand cfg = parseCommand(
      "tx/config/4294967295", text(R"({"sensorType": 1, "sleepCycles": 3, "useLed": 1, "txPower": 2,
               "preBatteryMeasurementDelayMin": 600})"),
      {}, nodes);
  EXPECT_EQ(std::get<FrameCommand>(cfg.action).sentLine,
            "Sent sensor config from channel tx:config:4294967295 to Duzediv Eri");
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
  const NodeCommand c = parseCommand("tx/flash/7", text(good.dump()), d.fw(), NodeIdTable{});
  const auto& start = std::get<FlashStartCommand>(c.action);
  EXPECT_EQ(start.msgId, 7);
  EXPECT_EQ(start.filePath, fs::canonical(d.fw() / "sub" / "b.hex").string());
  EXPECT_EQ(start.authToken, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));

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
  NodeCommander commander({}, std::make_shared<NodeIdTable>());
  const auto refusal = [&commander](const json& status, std::int64_t id) {
    commander.flashUpdateStatus = status;
    return commander.nextStepRefusal(id);
  };
  EXPECT_EQ(refusal(json::object(), 7), "no firmware transfer in progress");
  EXPECT_EQ(refusal(json(), 7), "no firmware transfer in progress");
  json status = {{"msgId", 8},
                 {"filePath", "/fw/a.hex"},
                 {"toNodeId", 3},
                 {"authToken", json::binary({1, 2})},
                 {"txstatus", "ACK_WAIT"}};
  EXPECT_EQ(refusal(status, 7), "transfer 7 is not the one in progress (8)");
  EXPECT_EQ(refusal(status, 8), "");
  status.erase("filePath");  // a start that was refused half-way
  EXPECT_EQ(refusal(status, 8), "no firmware transfer in progress");
}

// A session with a small intake, a protocol object whose transmit queue the
// test's thread serves as the transmit worker, and a serial link on a pty.
class IntakeTest : public ::testing::Test {
 protected:
  static Session::Settings settings(const fs::path& fw) {
    Session::Settings s;
    s.firmwareDir = fw;
    s.commandQueue = 2;
    return s;
  }
  IntakeTest() : session(settings(fw.fw())) {
    session.ser = std::make_shared<SerialLink>(loop.context(), pty.slavePath(), 115200);
    session.myProtocol =
        std::make_shared<TelvariSpeakV1>(session.ser, nullptr, nullptr, dir.str(), session.uid2id);
  }
  ~IntakeTest() override { session.releaseLoopBound(); }

  void deliver(const std::string& topic, std::string_view payload, bool retain = false) {
    pending.emplace_back(topic, std::string(payload), retain);
  }
  // Hands the pending messages over on the loop thread while the feeder runs.
  void pump() {
    loop.runUntilComplete([this]() -> Awaitable<void> {
      const CommandIntake::ProtocolSource source = [this] { return session.myProtocol; };
      TaskPtr feeder = loop.spawn(session.intake.feed(source, session.commander));
      co_await sleep(1ms);  // the feeder runs for the whole run in the gateway
      // One message per turn of the loop, as the MQTT client hands them over.
      for (const auto& [topic, payload, retain] : pending) {
        session.takeMessage(topic, text(payload), MessageProperties{retain, 1});
        co_await sleep(1ms);
      }
      pending.clear();
      co_await sleep(50ms);
      feeder->cancel();
      co_await feeder->waitFor(1s);
    }());
  }
  // Runs `n` queued jobs (all when n is 0) as the transmit worker does.
  void runJobs(std::size_t n = 0) {
    TxQueue& queue = session.myProtocol->txQueue;
    for (std::size_t i = 0; queue.size() > 0 && (n == 0 || i < n); ++i) {
      session.myProtocol->txQueuedMsgs();
    }
  }

  TempDir dir;
  FirmwareDir fw;
  EventLoop loop;
  test::Pty pty;
  Session session;
  std::vector<std::tuple<std::string, std::string, bool>> pending;
  PrintCapture out;
};

TEST_F(IntakeTest, RetainedAndBadCommandsQueueNothing) {
  deliver("tx/peermode/1", R"({"mode": 1})", true);
  deliver("tx/peermode/1", "not json");
  deliver("tx/nothing", "{}");
  deliver("tx/msg/1\n2", "{}");
  pump();
  EXPECT_EQ(session.myProtocol->txQueue.size(), 0u);
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Ignoring retained command on tx/peermode/1");
  EXPECT_EQ(lines[1].rfind("Rejected command on tx/peermode/1: the payload is not JSON: ", 0), 0u);
  EXPECT_EQ(lines[2].rfind("Rejected command on tx/nothing: not a command topic", 0), 0u);
  EXPECT_EQ(lines[3], "Rejected command on tx/msg/1\\x0a2: channel \"1\\x0a2\" is not a number");
  EXPECT_TRUE(pty.readUntilQuiet(30ms).empty());
  EXPECT_EQ(session.counters->commandsRefused, 3u) << "a retained command is not refused";
}

TEST_F(IntakeTest, FullQueueRefusesWritesNothingAndTakesTheNextOnceRoomFrees) {
  // Ten fill the transmit queue, two wait in the intake, the thirteenth is refused.
  for (int ch = 1; ch <= 13; ++ch) {
    deliver(fmt::format("tx/msg/{}", ch), R"({"msgtype": 204, "toid": 7})");
  }
  pump();
  EXPECT_EQ(session.myProtocol->txQueue.size(), 10u);
  EXPECT_EQ(session.intake.size(), 2u);
  EXPECT_TRUE(out.contains("Rejected command on tx/msg/13: command queue full"));
  EXPECT_TRUE(pty.readUntilQuiet(30ms).empty()) << "nothing is written at intake";

  runJobs(1);  // the worker frees room; the feeder fills it
  deliver("tx/msg/14", R"({"msgtype": 204, "toid": 7})");
  pump();
  EXPECT_FALSE(out.contains("Rejected command on tx/msg/14: command queue full"));
  runJobs();
  pump();
  runJobs();
  // Every accepted command reached the line, in arrival order.
  Bytes expected;
  for (int ch : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 14}) {
    const Bytes f = buildTxFrame(static_cast<std::uint16_t>(ch), 7, Bytes{204});
    expected.insert(expected.end(), f.begin(), f.end());
  }
  EXPECT_EQ(pty.readUntilQuiet(50ms), expected);
  EXPECT_EQ(session.counters->commandsExecuted, 13u);
  EXPECT_EQ(session.counters->commandsRefused, 1u);
}

TEST_F(IntakeTest, AStopDropsWhatHasNotStartedWithOneLine) {
  for (int ch = 1; ch <= 12; ++ch) {
    deliver(fmt::format("tx/msg/{}", ch), R"({"msgtype": 204, "toid": 7})");
  }
  pump();
  runJobs(3);
  session.dropQueuedCommands();
  EXPECT_TRUE(out.contains("Dropped 9 queued node commands"));
  EXPECT_EQ(session.myProtocol->txQueue.size(), 0u);
  EXPECT_EQ(session.intake.size(), 0u);
}

TEST_F(IntakeTest, ErrorsOfTheOperationsArePrintedByTheJob) {
  session.ser = nullptr;
  deliver("tx/msg/12", R"({"msgtype": 204, "toid": 7})");
  deliver("tx/peermode/1000", R"({"mode": 0})");
  pump();
  EXPECT_TRUE(out.lines().empty());
  runJobs();
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Rejected command on tx/msg/12: send: the serial port is not open");
  EXPECT_EQ(lines[1],
            "Rejected command on tx/peermode/1000: setPeerMode: the serial port is not open");
  EXPECT_EQ(session.counters->commandsRefused, 2u);
  EXPECT_EQ(session.counters->commandsExecuted, 0u);
}

TEST_F(IntakeTest, NextStepChecksTheTransferOnTheWorker) {
  deliver("tx/flash/7/next", R"({"startAddr": 42})");
  pump();
  EXPECT_EQ(session.myProtocol->txQueue.size(), 1u);  // not decided on the loop thread
  runJobs();
  EXPECT_TRUE(
      out.contains("Rejected command on tx/flash/7/next: no firmware transfer in progress"));

  // A transfer whose file has gone: the step sends nothing, but the transfer
  // is sending again.
  json& status = session.commander.flashUpdateStatus;
  status = {{"msgId", 7},
            {"filePath", (fw.root() / "gone.hex").string()},
            {"msgtype", 5},
            {"toNodeUID", 1000},
            {"toNodeId", 3},
            {"txstatus", "ACK_WAIT"},
            {"authToken", json::binary({0xDE, 0xAD})}};
  out.clear();
  deliver("tx/flash/8/next", R"({"startAddr": 42})");
  deliver("tx/flash/7/next", R"({"startAddr": 42})");
  pump();
  runJobs();
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Rejected command on tx/flash/8/next: transfer 8 is not the one in progress (7)");
  EXPECT_EQ(status["txstatus"], "SENDING");
}

TEST(CommandScope, OwnTakesOnlyTheGatewaysTopicsAndKeepsThemUnderTx) {
  PrintCapture out;
  Session::Settings settings;
  settings.dispatchCommands = false;
  settings.commandScope = CommandScope::Own;
  Session own(settings);
  own.gatewayUid = "4242";
  for (const char* topic : {"gw/4242/tx/msg/1", "tx/msg/2", "gw/42/tx/msg/3", "gw/4242/txt/4"}) {
    own.takeMessage(topic, toBytes("{}"), MessageProperties{});
  }
  EXPECT_NE(own.txMsgQueue.find("tx/msg/1"), nullptr);
  EXPECT_EQ(own.txMsgQueue.size(), 1u);
  ASSERT_EQ(out.lines().size(), 3u);
  EXPECT_EQ(out.lines()[1], "Ignoring message on gw/42/tx/msg/3: not under gw/4242/tx/#");
}

TEST(CommandStore, KeepsTheLastPayloadPerTopicWithinItsBounds) {
  PrintCapture out;
  TxMsgStore store(TxMsgLimits{3, 1000, 100});
  store.store("tx/a", toBytes("1"));
  store.store("tx/a", toBytes("2"));
  store.store("tx/b", Bytes{});
  EXPECT_EQ(*store.find("tx/a"), toBytes("2"));
  EXPECT_EQ(*store.find("tx/b"), Bytes{});
  EXPECT_FALSE(store.store("tx/big", Bytes(101, 'x')));
  EXPECT_EQ(store.find("tx/big"), nullptr);
  store.store("tx/c", toBytes("3"));
  store.store("tx/d", toBytes("4"));  // the oldest write (tx/a) goes
  EXPECT_EQ(store.find("tx/a"), nullptr);
  EXPECT_EQ(store.size(), 3u);
  for (int i = 0; i < 20; ++i) store.store(fmt::format("tx/{}", i), Bytes(200, 'x'));
  EXPECT_LE(store.bytes(), 1000u);
  EXPECT_EQ(out.lines().size(), 1u) << "one line per thousand evicted";
}

}  // namespace
}  // namespace vantro
