// Node commands as they arrive from the broker: topic and payload through
// the session's intake (scope, retained flag, parsing, the command queue),
// then run as the transmit worker runs them, writing their frames to a real
// serial link on a pseudo-terminal. The frames on the line are checked.
//
// Input: up to four messages separated by a zero byte; each is the topic, a
// line feed and the payload. A first topic under "gw/" makes a gateway of
// scope "own" with UID 4242. The firmware folder holds "fw.hex" (200 bytes at
// 0) and "high.hex" (data above the 16-bit chunk addresses); node 1000 has
// network id 5.
#include <algorithm>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "fuzz/Support.hpp"
#include "fuzz/Targets.hpp"
#include "vantro/bridge/Session.hpp"
#include "vantro/commands/NodeCommand.hpp"
#include "vantro/commands/NodeFrames.hpp"
#include "vantro/ihex/IntelHex.hpp"
#include "vantro/link/SerialLink.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro::fuzz {
namespace {

constexpr std::size_t kMaxMessages = 4;

// One Intel HEX record of `n` bytes at `addr` of type `type`: data counting
// up from `fill`, or (type 4) the upper address 0x0001.
std::string hexRecord(unsigned addr, unsigned n, unsigned type, Byte fill) {
  std::string line = fmt::format(":{:02X}{:04X}{:02X}", n, addr & 0xFFFF, type);
  unsigned sum = n + ((addr >> 8) & 0xFF) + (addr & 0xFF) + type;
  for (unsigned i = 0; i < n; ++i) {
    const unsigned b = type == 4 ? (i == 0 ? 0 : 1) : (fill + i) & 0xFF;
    line += fmt::format("{:02X}", b);
    sum += b;
  }
  return line + fmt::format("{:02X}\n", (0x100 - (sum & 0xFF)) & 0xFF);
}

struct Rig {
  Rig() {
    const auto dir = firmware.path();
    std::string image;
    for (unsigned addr = 0; addr < 200; addr += 16) {
      image += hexRecord(addr, std::min(16u, 200 - addr), 0, static_cast<Byte>(addr));
    }
    image += ":00000001FF\n";
    writeFile(dir / "fw.hex", toBytes(image));
    // Extended linear address 0x0001: data at 0x10000, beyond a chunk's 16-bit address.
    const std::string high = hexRecord(0, 2, 4, 0) + hexRecord(0, 16, 0, 0x40) + ":00000001FF\n";
    writeFile(dir / "high.hex", toBytes(high));
    // The images themselves must be right, or every transfer stops at its file.
    check(IntelHex((dir / "fw.hex").string()).maxaddr() == 199, "fw.hex is not 200 bytes at 0");
    check(IntelHex((dir / "high.hex").string()).minaddr() == 0x10000, "high.hex not at 0x10000");
  }
  EventLoop loop;
  BoardPty pty;
  std::shared_ptr<SerialLink> link = std::make_shared<SerialLink>(
      loop.context(), pty.slavePath(), 115200, SerialLink::kDefaultReadTimeout);
  ScratchDir statusDir;
  ScratchDir firmware;
};

Rig& rig() {
  static Rig* r = new Rig;  // lives as long as the process: the fuzzer exits without clean-up
  return *r;
}

// Checks every frame the commander wrote: its marker, its length byte and,
// for "TB", its checksum.
void checkFrames(const Bytes& line) {
  std::size_t i = 0;
  while (i < line.size()) {
    check(i + 3 <= line.size(), "frame cut short on the line");
    const std::string marker(line.begin() + static_cast<std::ptrdiff_t>(i),
                             line.begin() + static_cast<std::ptrdiff_t>(i + 2));
    const std::size_t len = line[i + 2];
    check(marker == "TX" || marker == "PP" || marker == "TB", "unknown frame " + marker);
    check(i + 3 + len <= line.size(), marker + " frame shorter than its length byte");
    if (marker == "TX") check(len >= 7, "TX frame without a node message");
    if (marker == "PP") check(len == 7 || len == 8, "PP frame of odd length");
    if (marker == "TB") {
      unsigned sum = 0;
      for (std::size_t k = i + 2; k < i + 3 + len; ++k) sum += line[k];
      check(len >= 5 && sum % 256 == 0, "TB frame checksum does not add up");
    }
    i += 3 + len;
  }
}

}  // namespace

int fuzzCommands(const std::uint8_t* data, std::size_t size) {
  Rig& r = rig();
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::pair<std::string, Bytes>> messages;
  for (std::size_t pos = 0; pos <= input.size() && messages.size() < kMaxMessages;) {
    std::size_t end = input.find('\0', pos);
    if (end == std::string::npos) end = input.size();
    const std::string message = input.substr(pos, end - pos);
    const std::size_t nl = message.find('\n');
    const std::string topic = message.substr(0, nl);
    const std::string payload = nl == std::string::npos ? std::string() : message.substr(nl + 1);
    messages.emplace_back(topic, toBytes(payload));
    pos = end + 1;
  }

  Session::Settings settings;
  settings.statusDir = r.statusDir.str();
  settings.firmwareDir = r.firmware.path();
  settings.commandQueue = 3;  // a fourth message finds the queue full
  if (messages.front().first.starts_with("gw/")) settings.commandScope = CommandScope::Own;
  Session session(settings);
  session.gatewayUid = "4242";
  session.ser = r.link;
  session.uid2id->set(1000, 5);

  bool flashRun = false;
  for (const auto& [topic, payload] : messages) {
    const std::size_t queuedBefore = session.intake.size();
    session.takeMessage(topic, payload, MessageProperties{});
    if (session.intake.size() == queuedBefore) continue;  // refused, or not a command
    // What the intake queued, run as the transmit worker runs it.
    const std::optional<std::string> commandTopic = session.commandTopic(topic);
    check(commandTopic.has_value(), "a message outside the scope was queued: " + topic);
    NodeCommand command;
    try {
      command = parseCommand(*commandTopic, payload, settings.firmwareDir, *session.uid2id);
    } catch (const CommandRejected& e) {
      throw Fault(std::string("a queued command does not parse again: ") + e.what());
    }
    command.topic = topic;
    if (const auto* pm = std::get_if<PeerModeCommand>(&command.action)) {
      // Its run waits a second for the board's reply: only its frame is built.
      check(buildPeerModeFrame(pm->nodeId, pm->mode).size() == 4, "PM frame is not 4 bytes");
      continue;
    }
    if (std::holds_alternative<FlashStartCommand>(command.action)) {
      // A second transfer switches the first node's peer mode off and waits for that reply.
      if (flashRun) continue;
      flashRun = true;
    }
    session.commander.runReporting(command);
  }
  session.intake.dropQueued(nullptr);
  checkFrames(r.pty.takeWritten());
  return 0;
}

}  // namespace vantro::fuzz
