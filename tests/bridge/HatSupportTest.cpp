// Board kind detection and the start-up wait.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/PrintCapture.hpp"
#include "tests/support/Pty.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/bridge/Bridge.hpp"
#include "vantro/runtime/EventLoop.hpp"

using namespace std::chrono_literals;

namespace {

bool raspiWith(const std::string& content) {
  vantro::test::TempDir dir;
  const auto path = (dir / "cpuinfo").string();
  std::ofstream(path) << content;
  return vantro::isRaspi(path);
}

TEST(IsRaspi, NeedsAHardwareLineNamingABroadcomPart) {
  EXPECT_TRUE(raspiWith("processor\t: 0\nHardware\t: BCM2835\nRevision\t: a02082\n"));
  EXPECT_TRUE(raspiWith("  \tHardware\t: BCM2711\n"));  // indented still counts
  EXPECT_FALSE(raspiWith("Hardware\t: Allwinner sun8i Family\n"));
  EXPECT_FALSE(raspiWith("processor\t: 0\nmodel name\t: ARMv7\n"));
  EXPECT_FALSE(raspiWith("model name\t: BCM lookalike\nHardware\t: sun50iw6\n"));
  EXPECT_TRUE(raspiWith("Hardware\t: sun8i\nHardware\t: BCM2835\n"));
  EXPECT_FALSE(raspiWith("hardware\t: bcm2835\n"));  // case matters
}

TEST(IsRaspi, MissingFileIsAnError) {
  EXPECT_THROW(vantro::isRaspi("/nonexistent/cpuinfo"), std::system_error);
}

TEST(WaitForHatStartup, AnswersEachPromptAndEndsOnTheStartUpReport) {
  vantro::test::Pty pty;
  vantro::test::PrintCapture capture;
  vantro::EventLoop loop;
  auto link = std::make_shared<vantro::SerialLink>(loop.context(), pty.slavePath(), 115200);
  pty.write("LGPress r to start\r\nLG Press again\r\nnoise\r\nLGgateway module started up\r\n");
  pty.write("LGGateway Module started up\r\n");
  loop.runUntilComplete(vantro::withTimeout(vantro::waitForHatStartup(link), 5s));
  EXPECT_EQ(vantro::toString(pty.read(10, 200ms)), "rr");
  EXPECT_TRUE(capture.contains("[GW Log] Gateway Module started up"));
  EXPECT_FALSE(capture.containsPart("noise"));
}

TEST(WaitForHatStartup, IsBoundedByTheCaller) {
  vantro::test::Pty pty;
  vantro::EventLoop loop;
  auto link = std::make_shared<vantro::SerialLink>(loop.context(), pty.slavePath(), 115200);
  EXPECT_THROW(loop.runUntilComplete(vantro::withTimeout(vantro::waitForHatStartup(link), 300ms)),
               vantro::TimeoutError);
}

TEST(ShutdownRadio, DoesNothingWithoutAProtocolObject) {
  vantro::test::PrintCapture capture;
  vantro::shutdownRadio();
  EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
