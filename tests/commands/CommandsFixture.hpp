#pragma once
// A session of the test's own with a serial link on a real pseudo-terminal,
// the node operations on that session, and captured printed lines.
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
#include "vantro/bridge/Session.hpp"
#include "vantro/commands/NodeCommands.hpp"
#include "vantro/link/SerialLink.hpp"

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
  CommandsTest() { ser = std::make_shared<SerialLink>(io, pty.slavePath(), 115200); }

  // The node operations on this test's session.
  void txMessage(std::string_view key, const json& v) { vantro::txMessage(session, key, v); }
  void txSensorConfig(std::string_view key, const json& v) {
    vantro::txSensorConfig(session, key, v);
  }
  void setPeerMode(const json& uid, const json& mode) { vantro::setPeerMode(session, uid, mode); }
  void txBigMessage(std::string_view key, const json& v) { vantro::txBigMessage(session, key, v); }
  void txBigMessageStep(const json& addr, const std::string& path, const json& msgId,
                        const json& msgtype, const json& uid, ByteView token) {
    vantro::txBigMessageStep(session, addr, path, msgId, msgtype, uid, token);
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
  Session session;
  std::shared_ptr<SerialLink>& ser = session.ser;
  NodeIdTable& uid2id = *session.uid2id;
  PeerModeReply& peerModeReply = session.commander.peerModeReply;
  json& flashUpdateStatus = session.commander.flashUpdateStatus;
  std::map<std::string, std::shared_ptr<IntelHex>>& ihexCache = session.commander.ihexCache;
  Pty pty;
  PrintCapture printed;
};

}  // namespace vantro::test
