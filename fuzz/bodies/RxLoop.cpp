// The receive path as a whole: the bytes of the board read by the gateway's
// receive loop over a real serial link on a pseudo-terminal, with a session
// of its own per input. The loop slides its window over the bytes, takes
// announcements (protocol object, identity, UID file, encryption set-up),
// hands records to the protocol object and survives line noise.
//
// The loop never ends by itself, so each input runs until the line has been
// quiet for a moment, or for a bounded time at most, and is then cancelled.
#include <algorithm>
#include <chrono>
#include <memory>

#include "fuzz/Support.hpp"
#include "fuzz/Targets.hpp"
#include "vantro/HatControl/GpioSetting.hpp"
#include "vantro/bridge/Bridge.hpp"
#include "vantro/bridge/Session.hpp"
#include "vantro/link/SerialLink.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro::fuzz {
namespace {

using namespace std::chrono_literals;
constexpr std::chrono::milliseconds kReadTimeout{5};
// The line counts as consumed once the slave side has held nothing for this long.
constexpr auto kQuietEnough = 30ms;
constexpr auto kMaxRun = 300ms;
constexpr std::size_t kMaxInput = 1024;

struct Rig {
  Rig() {
    installClockStandIns(tools.path());
    GpioSetting noReset;
    noReset.noReset = true;  // a failed announcement must not reach for GPIO lines
    setGpioSetting(noReset);
  }
  ScratchDir tools;
  EventLoop loop;
  BoardPty pty;
  std::shared_ptr<SerialLink> link =
      std::make_shared<SerialLink>(loop.context(), pty.slavePath(), 115200, kReadTimeout);
  ScratchDir statusDir;
};

Rig& rig() {
  static Rig* r = new Rig;  // lives as long as the process: the fuzzer exits without clean-up
  return *r;
}

Awaitable<void> runOnce(Rig& r, Session& session, std::shared_ptr<RecordingClient> client) {
  using Clock = std::chrono::steady_clock;
  EventLoop& loop = *EventLoop::running();
  auto rx = loop.spawn(processRxMsgs(session, client, "127.0.0.1", Args{}), "rx");
  const auto start = Clock::now();
  auto quietSince = start;
  while (Clock::now() - start < kMaxRun) {
    co_await sleep(2ms);
    if (r.pty.pendingForSlave() > 0) {
      quietSince = Clock::now();
    } else if (Clock::now() - quietSince >= kQuietEnough) {
      break;
    }
    if (rx->done()) break;
  }
  rx->cancel();
  co_await rx->wait();
  check(!rx->error(), "the receive loop ended with an error");
  // The protocol object holds timers of the loop: released while it runs.
  session.releaseLoopBound();
  // Bytes the loop did not get to stay out of the next input.
  while (!(co_await r.link->read_async(4096)).empty()) {
  }
}

}  // namespace

int fuzzRxLoop(const std::uint8_t* data, std::size_t size) {
  Rig& r = rig();
  Session::Settings settings;
  settings.statusDir = r.statusDir.str();
  Session session(settings);
  session.ser = r.link;
  session.serialDevice = r.pty.slavePath();
  session.serialSpeed = 115200;
  auto client = std::make_shared<RecordingClient>();
  r.pty.feed(ByteView(data, std::min(size, kMaxInput)));
  r.loop.runUntilComplete(runOnce(r, session, client));
  r.pty.takeWritten();
  r.statusDir.clear();
  for (const auto& p : client->publications) checkSensorPublication(p);
  return 0;
}

}  // namespace vantro::fuzz
