// The receive loop's window, the announcement checks and the peer-mode reply
// hand-over, over a real pseudo-terminal.
#include <gtest/gtest.h>

#include "tests/support/PrintCapture.hpp"
#include "tests/support/Pty.hpp"
#include "tests/support/TempDir.hpp"
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
}

TEST_F(RxLoop, NoVersionByteWithinTheTimeOut) {
  pty.write("HL");
  runFor(1500ms);
  EXPECT_TRUE(capture.contains("Unexpected protocol version b''"));
  EXPECT_FALSE(session.myProtocol);
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
