#pragma once
// What the protocol tests share: a protocol object on a real pseudo-terminal
// (the test plays the board on the master side), an MQTT client that records
// publications, the real sensor message parser, a status directory, captured
// printed lines, and stand-in external commands for the time syncer.
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/PrintCapture.hpp"
#include "tests/support/Pty.hpp"
#include "tests/support/RecordingMqttClient.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/link/SerialLink.hpp"
#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/parser/SensorMsgParser.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro::test {

using namespace std::chrono_literals;

/// Read time-out of the link under test: short to keep the suite quick.
constexpr std::chrono::milliseconds kLinkTimeout{300};
/// How long the master side listens for bytes that should not come.
constexpr std::chrono::milliseconds kQuiet{100};

/// Stand-in commands: while one lives, PATH holds only its bin directory, so
/// the host's own ntpstat and date can never run. A recorder appends its
/// arguments (one a line) to <name>.args and exits with the given status.
class StandInCommands {
 public:
  StandInCommands() {
    std::filesystem::create_directory(dir_ / "bin");
    if (const char* p = std::getenv("PATH")) savedPath_ = p;
    ::setenv("PATH", (dir_ / "bin").c_str(), 1);
  }
  ~StandInCommands() {
    if (savedPath_) {
      ::setenv("PATH", savedPath_->c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
  }
  StandInCommands(const StandInCommands&) = delete;
  StandInCommands& operator=(const StandInCommands&) = delete;

  void installRecorder(const std::string& name, int status) const {
    const auto path = dir_ / "bin" / name;
    std::ofstream(path) << "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '"
                        << (dir_ / (name + ".args")).string() << "'\nexit " << status << "\n";
    ::chmod(path.c_str(), 0755);
  }
  /// The recorded arguments, or "" when the command never ran.
  std::string args(const std::string& name) const {
    std::ifstream in(dir_ / (name + ".args"));
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  TempDir dir_;
  std::optional<std::string> savedPath_;
};

/// Sets TZ for its lifetime.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> saved_;
};

/// A protocol object of type P whose serial link is the slave of `pty`.
template <typename P>
class ProtocolFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    // A version 2 object cancels its syncer's timer task: do it on the running loop.
    loop.runUntilComplete([](std::unique_ptr<P>* p) -> Awaitable<void> {
      p->reset();
      co_return;
    }(&proto));
  }

  /// Runs `body` as a task until it ends, rethrowing its error.
  void run(Awaitable<void> body) { loop.runUntilComplete(std::move(body)); }

  /// The record `marker` handled by processMsg, with what it returned.
  bool process(const std::string& marker) {
    bool handled = false;
    run([](P* p, std::string m, bool* out) -> Awaitable<void> {
      *out = co_await p->processMsg(std::move(m));
    }(proto.get(), marker, &handled));
    return handled;
  }

  /// The next byte the link reads, or nullopt when none came.
  std::optional<Byte> nextByte() {
    Bytes b;
    run([](SerialLink* l, Bytes* out) -> Awaitable<void> { *out = co_await l->read_async(1); }(
                                          link.get(), &b));
    if (b.empty()) return std::nullopt;
    return b[0];
  }

  /// Everything the code under test wrote to the line so far.
  std::string written() {
    const Bytes b = pty.readUntilQuiet(kQuiet);
    return std::string(b.begin(), b.end());
  }

  /// Bytes the board sends.
  void board(const Bytes& b) { pty.write(b); }
  void board(std::string_view s) { pty.write(s); }

  PrintCapture printed;
  EventLoop loop;
  Pty pty;
  std::shared_ptr<SerialLink> link =
      std::make_shared<SerialLink>(loop.context(), pty.slavePath(), 115200, kLinkTimeout);
  std::shared_ptr<RecordingMqttClient> mqtt = std::make_shared<RecordingMqttClient>();
  std::shared_ptr<SensorMsgParser> parser = std::make_shared<SensorMsgParser>();
  TempDir statusDir;
  std::unique_ptr<P> proto = std::make_unique<P>(link, mqtt, parser, statusDir.str());
};

/// A climate message: 21.50 °C, 45.20 %, 3010 mV.
inline const Bytes kClimateBody{0x01, 0x08, 0x66, 0x11, 0xA8, 0x0B, 0xC2};
inline const std::string kClimateText = "climate temperature=21.50 humidity=45.20 battery_mv=3010";

/// Length byte and payload of an "SD"/"SI" record: UID 258, node id, signal
/// magnitude, then `rest` (version 1: the message body; version 2: the date
/// record and the body).
inline Bytes nodeRecord(int nodeId, Byte signal, const Bytes& rest) {
  Bytes out{0, 0x00, 0x00, 0x01, 0x02, static_cast<Byte>(nodeId), 0x00, signal};
  out.insert(out.end(), rest.begin(), rest.end());
  out[0] = static_cast<Byte>(out.size() - 1);
  return out;
}

inline Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace vantro::test
