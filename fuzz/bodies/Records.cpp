// Serial records as the board sends them, handled by the protocol object of
// version 1 or 2 over a real serial link on a pseudo-terminal: node messages
// and duplicates, decrypt failures, peer states, statistics, log lines, the
// board's time (version 2), and the announcement with its identity block.
//
// Input: one byte whose lowest bit picks the version (0: 1, 1: 2), then the
// bytes the board sends. The entry reads a two-letter marker and hands it to
// processMsg, which reads the rest of its record, until the input runs out;
// "HL" is read as the receive loop does (version byte, identity block).
#include <algorithm>
#include <memory>

#include "fuzz/Support.hpp"
#include "fuzz/Targets.hpp"
#include "vantro/bridge/GatewayIdentity.hpp"
#include "vantro/link/SerialLink.hpp"
#include "vantro/parser/SensorMsgParser.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/protocol/TelvariSpeakV2/TelvariSpeakV2.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro::fuzz {
namespace {

// A read waits this long for bytes that are not there: the input is on the
// line before the reading starts, so only the end of the input waits.
constexpr std::chrono::milliseconds kReadTimeout{2};
constexpr std::size_t kMaxInput = 2048;

struct Rig {
  EventLoop loop;
  BoardPty pty;
  std::shared_ptr<SerialLink> link =
      std::make_shared<SerialLink>(loop.context(), pty.slavePath(), 115200, kReadTimeout);
  std::shared_ptr<SensorMsgParser> parser = std::make_shared<SensorMsgParser>();
  ScratchDir statusDir;
};

Rig& rig() {
  static Rig* r = new Rig;  // lives as long as the process: the fuzzer exits without clean-up
  return *r;
}

Awaitable<void> readAll(Rig& r, bool v2, std::shared_ptr<RecordingClient> client) {
  std::unique_ptr<TelvariSpeakV1> proto;
  if (v2) {
    proto = std::make_unique<TelvariSpeakV2>(r.link, client, r.parser, r.statusDir.str());
  } else {
    proto = std::make_unique<TelvariSpeakV1>(r.link, client, r.parser, r.statusDir.str());
  }
  for (;;) {
    const Bytes marker = co_await r.link->read_async(2);
    if (marker.size() < 2) break;
    const std::string start(marker.begin(), marker.end());
    // The receive loop reports what a record's handler throws and goes on.
    try {
      if (start == "HL") {
        const Bytes version = co_await r.link->read_async(1);
        const Bytes block = co_await r.link->read_async(30);
        const GatewayIdentity id = decodeGatewayIdentity(block);
        check(id.uniqueIdBytes.size() == 4, "identity: UID bytes are not 4");
        (void)id.info();
      } else {
        co_await proto->processMsg(start);
      }
    } catch (const Fault&) {
      throw;
    } catch (const std::exception&) {
    }
  }
  // A version 2 object cancels its syncer's timer: on the running loop.
  proto.reset();
}

}  // namespace

int fuzzRecords(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  Rig& r = rig();
  const bool v2 = (data[0] & 1) != 0;
  const ByteView input(data + 1, std::min(size - 1, kMaxInput));
  auto client = std::make_shared<RecordingClient>();
  r.pty.feed(input);
  r.loop.runUntilComplete(readAll(r, v2, client));
  r.pty.takeWritten();
  r.statusDir.clear();
  for (const auto& p : client->publications) checkSensorPublication(p);
  return 0;
}

}  // namespace vantro::fuzz
