// The receive loop's window, the announcement checks and the peer-mode reply
// hand-over, over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/PrintCapture.hpp"
#include "tests/support/Pty.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/HatControl/GpioSetting.hpp"
#include "vantro/bridge/Bridge.hpp"
#include "vantro/bridge/Session.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/runtime/EventLoop.hpp"

using namespace std::chrono_literals;
using namespace std::string_view_literals;
using vantro::Awaitable;

namespace {

vantro::Session::Settings sessionIn(const std::string& dir) {
  vantro::Session::Settings s;
  s.statusDir = dir;
  return s;
}

class NullClient : public vantro::MqttClient {
 public:
  NullClient() : MqttClient(NoLibrary{}) {}
  void publish(const std::string&, vantro::ByteView, int, bool) override {}
};

class RxLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    session.myProtocol.reset();
    session.ser = std::make_shared<vantro::SerialLink>(loop.context(), pty.slavePath(), 115200);
  }
  void TearDown() override {
    session.myProtocol.reset();
    session.ser.reset();
  }
  // Runs the loop for `d`, then cancels it.
  void runFor(std::chrono::milliseconds d) {
    auto client = std::make_shared<NullClient>();
    loop.runUntilComplete([&]() -> Awaitable<void> {
      auto rx = loop.spawn(vantro::processRxMsgs(session, client, "127.0.0.1", vantro::Args{}));
      co_await vantro::sleep(d);
      rx->cancel();
      co_await rx->wait();
    }());
  }

  vantro::test::TempDir dir;
  vantro::Session session{sessionIn(dir.str())};
  vantro::test::Pty pty;
  vantro::test::PrintCapture capture;
  vantro::EventLoop loop;
};

TEST_F(RxLoop, UnexpectedVersionIsReportedAndCreatesNothing) {
  pty.write("xHL\x05");
  runFor(500ms);
  const auto lines = capture.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "garbage: 120");
  EXPECT_EQ(lines[1], "Unexpected protocol version b'\\x05'");
  EXPECT_EQ(lines.back(), "RX: Serial connection cancelled.");
  EXPECT_FALSE(session.myProtocol);
  EXPECT_EQ(session.counters->garbageBytes, 1u);
}

TEST_F(RxLoop, NoVersionByteWithinTheTimeOut) {
  pty.write("HL");
  runFor(1500ms);
  EXPECT_TRUE(capture.contains("Unexpected protocol version b''"));
  EXPECT_FALSE(session.myProtocol);
}

// An identity block cut short or with a serial number that is not ASCII sets
// nothing up; without a reset line the loop waits for the next announcement,
// which is taken whole.
TEST_F(RxLoop, FailedAnnouncementSetsNothingUpAndTheNextOneIsTaken) {
  vantro::GpioSetting noReset;
  noReset.noReset = true;
  vantro::setGpioSetting(noReset);
  const std::string identity(
      "\0\0\0\x07\0\0\x01\0\x03\x01\x02\x03\x07\x0b\xe7\x07\x03"
      "SN-1234567890",
      30);
  std::string badSerial = identity;
  badSerial[20] = '\xe9';
  pty.write("HL\x01" + identity.substr(0, 10));
  runFor(1500ms);  // the rest of the block never comes
  pty.write("HL\x01" + badSerial);
  runFor(500ms);
  const auto lines = capture.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.starts_with("Announcement of the Duzediv Eri failed: ");
                          }),
            2);
  EXPECT_TRUE(capture.containsPart("; waiting for the next announcement"));
  EXPECT_FALSE(session.myProtocol) << "a failed announcement left a protocol object";
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "gateway.uid"));

  capture.clear();
  pty.write("HL\x01" + identity);
  runFor(500ms);
  EXPECT_TRUE(session.myProtocol);
  EXPECT_TRUE(capture.containsPart("Unique ID: 256"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "gateway.uid"));
}

TEST_F(RxLoop, WindowSlidesOneBytePerRejectedStartAndSurvivesBadBytes) {
  session.myProtocol = std::make_shared<vantro::TelvariSpeakV1>(
      session.ser, std::make_shared<NullClient>(), std::make_shared<vantro::SensorMsgParser>(),
      dir.str());
  pty.write("XY\xffST\x00\x00\x01\x00\x00\x00\x00\x02LGabc\r\n"sv);
  runFor(500ms);
  EXPECT_TRUE(capture.contains("garbage: 88"));  // X
  EXPECT_TRUE(capture.contains("Num RX: 256, Num Lost Packets: 2"));
  EXPECT_TRUE(capture.contains("[GW Log] abc"));
  EXPECT_TRUE(capture.containsPart("Traceback"));  // the undecodable window
}

TEST_F(RxLoop, PeerModeReplyGoesToTheWaitingCommand) {
  session.myProtocol = std::make_shared<vantro::TelvariSpeakV1>(
      session.ser, std::make_shared<NullClient>(), std::make_shared<vantro::SensorMsgParser>(),
      dir.str());
  session.commander.peerModeReply.expect();
  pty.write("PMS");
  runFor(300ms);
  EXPECT_EQ(vantro::toString(session.commander.peerModeReply.wait(100ms)), "PMS");
  EXPECT_FALSE(capture.containsPart("garbage"));
}

TEST_F(RxLoop, PeerModeMarkerWithoutAWaitingCommandIsGarbage) {
  session.myProtocol = std::make_shared<vantro::TelvariSpeakV1>(
      session.ser, std::make_shared<NullClient>(), std::make_shared<vantro::SensorMsgParser>(),
      dir.str());
  pty.write("PMS");
  runFor(300ms);
  EXPECT_TRUE(capture.contains("garbage: 80"));
}

}  // namespace
