#pragma once
// A serial link on a real pseudo-terminal in the module-level `ser`, captured
// printed lines, and module state reset around each test.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/support/PrintCapture.hpp"
#include "tests/support/Pty.hpp"
#include "vantro/link/SerialLink.hpp"
#include "vantro/bridge/State.hpp"

namespace vantro::test {

using namespace std::chrono_literals;
using nlohmann::json;

inline Bytes frame(std::string_view letters, std::initializer_list<int> rest) {
  Bytes out = toBytes(letters);
  for (int b : rest) out.push_back(static_cast<Byte>(b));
  return out;
}

class CommandsTest : public ::testing::Test {
 protected:
  CommandsTest() {
    resetState();
    ser = std::make_shared<SerialLink>(io, pty.slavePath(), 115200);
  }
  ~CommandsTest() override {
    ser.reset();
    resetState();
  }

  static void resetState() {
    uid2id.clear();
    ihexCache.clear();
    flashUpdateStatus = json::object();
  }

  /// Whatever the commands wrote to the line so far.
  Bytes written() { return pty.readUntilQuiet(30ms); }

  /// Answers the next "PM" command with `reply`, as the receive loop hands the
  /// board's answer over: reads the 4 command bytes from the line, then delivers.
  std::thread answerPeerMode(std::string reply, Bytes* command) {
    return std::thread([this, reply, command] {
      *command = pty.read(4, 2000ms);
      for (int i = 0; i < 2000 && !peerModeReply.awaiting(); ++i) std::this_thread::sleep_for(1ms);
      peerModeReply.deliver(toBytes(reply));
    });
  }

  asio::io_context io;
  Pty pty;
  PrintCapture printed;
};

}  // namespace vantro::test
