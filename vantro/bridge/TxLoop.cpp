// The transmit loop: queued transmit jobs run one at a time on one worker
// thread, so that blocking serial writes stay off the event-loop thread.
//
// The worker takes job after job from the protocol object's transmit queue by
// itself; the loop thread only starts it and, at the end, releases it. So the
// loop thread never waits for the worker and the worker never waits for the
// loop: a job that waits for the receive loop (a peer-mode reply) cannot stall
// either.
#include <thread>

#include <asio/post.hpp>

#include "vantro/bridge/Bridge.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/runtime/Print.hpp"
#include "vantro/runtime/WorkerPool.hpp"

namespace vantro {
namespace {
using namespace std::chrono_literals;
constexpr auto kIdlePoll = 500ms;  // no protocol object yet
constexpr auto kErrorPause = 100ms;
// A job ends within this at a stop: serial writes give up once the port is
// closed, a peer-mode reply is awaited for one second.
constexpr auto kWorkerEndWait = 5s;

// The worker's loop: every job of the queue until the queue is closed. An
// error of a job is printed and the next job follows after a short pause.
void runJobs(TelvariSpeakV1& protocol) {
  for (;;) {
    std::exception_ptr error;
    try {
      TxQueue::Job job = protocol.txQueue.take();
      if (!job) return;
      job();
    } catch (...) {
      error = std::current_exception();
    }
    if (error) {
      printTrace(error);
      std::this_thread::sleep_for(kErrorPause);
    }
    if (protocol.txQueue.closed()) return;
  }
}

// Waits for the protocol object (polling while there is none).
Awaitable<std::shared_ptr<TelvariSpeakV1>> protocolOf(Session& session) {
  // g++ 12 hangs on a co_await inside a loop condition.
  for (;;) {
    std::shared_ptr<TelvariSpeakV1> protocol = session.myProtocol;
    if (protocol) co_return protocol;
    co_await sleep(kIdlePoll);
  }
}

// Lets the worker of `protocol` go and waits for it to end, at most
// kWorkerEndWait, without blocking the loop thread. A stop's sweep may cancel
// the task again meanwhile: the wait goes on all the same.
Awaitable<void> releaseWorker(TelvariSpeakV1& protocol, Event& ended) {
  protocol.txQueue.close(emptyFunc);
  const auto deadline = std::chrono::steady_clock::now() + kWorkerEndWait;
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (ended.isSet() || left <= Duration::zero()) break;
    try {
      co_await ended.waitFor(std::chrono::duration_cast<Duration>(left));
    } catch (const Cancelled&) {
    }
  }
  if (!ended.isSet()) print("TX: the transmit worker is still inside a job; waiting for it");
}

}  // namespace

Awaitable<void> processTxMsgs(Session& session, EventLoop& eventLoop) {
  for (;;) {
    std::shared_ptr<TelvariSpeakV1> protocol;
    try {
      protocol = co_await protocolOf(session);
    } catch (const Cancelled&) {
      break;
    }
    WorkerPool executor(eventLoop.executor());
    auto ended = std::make_shared<Event>(eventLoop.executor());
    executor.submit([protocol, ended, loop = eventLoop.executor()] {
      runJobs(*protocol);
      asio::post(loop, [ended] { ended->set(); });
    });
    bool cancelled = false;
    try {
      // Ends by itself only when the protocol object was replaced (its queue closed).
      co_await ended->wait();
    } catch (const Cancelled&) {
      cancelled = true;
    }
    // Jobs still queued stay for the next run (or are dropped by a stop).
    co_await releaseWorker(*protocol, *ended);
    executor.shutdown(true);
    protocol->txQueue.reopen();
    if (cancelled) break;
  }
  print("TX: Serial connection cancelled.");
}

Awaitable<void> processTxMsgs(std::shared_ptr<MqttClient>, Args, EventLoop& eventLoop) {
  return processTxMsgs(processSession(), eventLoop);
}

}  // namespace vantro
