// The transmit loop: queued transmit jobs run one at a time on one worker
// thread, so that blocking serial writes stay off the event-loop thread.
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/runtime/Print.hpp"
#include "vantro/runtime/WorkerPool.hpp"
#include "vantro/bridge/Bridge.hpp"
#include "vantro/bridge/State.hpp"

namespace vantro {
namespace {
using namespace std::chrono_literals;
constexpr auto kIdlePoll = 500ms;  // no protocol object yet
constexpr auto kErrorPause = 100ms;
}  // namespace

Awaitable<void> processTxMsgs(std::shared_ptr<MqttClient>, Args, EventLoop& eventLoop) {
  WorkerPool executor(eventLoop.executor());
  for (;;) {
    std::exception_ptr error;
    try {
      // g++ 12 destroys a capturing lambda twice when it is a temporary of a
      // co_await that throws (a cancellation here), so the job is a named object.
      const std::shared_ptr<TelvariSpeakV1> protocol = myProtocol;
      if (protocol) {
        auto job = [protocol] { protocol->txQueuedMsgs(); };
        co_await executor.run(job);
      } else {
        co_await sleep(kIdlePoll);
      }
    } catch (const Cancelled&) {
      break;
    } catch (...) {
      error = std::current_exception();
    }
    if (error) {
      printTrace(error);
      try {
        co_await sleep(kErrorPause);
      } catch (const Cancelled&) {
        break;
      }
    }
  }
  // Release a worker blocked on the empty queue, then wait for the worker to
  // finish the job it is in. Jobs still queued stay in the queue.
  if (myProtocol) myProtocol->scheduleTx(emptyFunc);
  executor.shutdown(true);
  print("TX: Serial connection cancelled.");
}

}  // namespace vantro
