#include "vantro/bridge/CommandIntake.hpp"

#include <asio/post.hpp>

namespace vantro {
namespace {

// The worker's signal that it took a job and freed room: posted to the loop.
std::function<void()> roomFreedNotifier(asio::any_io_executor loop, std::weak_ptr<Event> wake) {
  return [loop = std::move(loop), wake = std::move(wake)] {
    asio::post(loop, [wake] {
      const std::shared_ptr<Event> event = wake.lock();
      if (event) event->set();
    });
  };
}

}  // namespace

bool CommandIntake::offer(NodeCommand command) {
  if (queue_.size() >= capacity_) return false;
  queue_.push_back(std::move(command));
  wake();
  return true;
}

void CommandIntake::wake() {
  const std::shared_ptr<Event> event = wake_.lock();
  if (event) event->set();
}

void CommandIntake::moveInto(TelvariSpeakV1& protocol, NodeCommander& commander) {
  while (!queue_.empty()) {
    auto command = std::make_shared<NodeCommand>(std::move(queue_.front()));
    queue_.pop_front();
    TxQueue::Job job = [inTransmit = inTransmit_, &commander, command] {
      --*inTransmit;
      commander.runReporting(*command);
    };
    ++*inTransmit_;
    if (!protocol.txQueue.tryPut(job)) {
      --*inTransmit_;
      queue_.push_front(std::move(*command));
      return;
    }
  }
}

Awaitable<void> CommandIntake::feed(ProtocolSource protocol, NodeCommander& commander) {
  EventLoop* loop = EventLoop::running();
  auto wake = std::make_shared<Event>(loop->executor());
  wake_ = wake;
  std::shared_ptr<TelvariSpeakV1> hooked;
  std::exception_ptr end;
  try {
    for (;;) {
      wake->clear();
      std::shared_ptr<TelvariSpeakV1> current = protocol();
      if (current != hooked) {
        if (hooked) hooked->txQueue.setOnTaken({});
        hooked = current;
        if (hooked) hooked->txQueue.setOnTaken(roomFreedNotifier(loop->executor(), wake));
      }
      if (current) moveInto(*current, commander);
      co_await wake->wait();
    }
  } catch (...) {
    end = std::current_exception();
  }
  if (hooked) hooked->txQueue.setOnTaken({});
  std::rethrow_exception(end);
}

std::size_t CommandIntake::dropQueued(TxQueue* txQueue) {
  std::size_t dropped = queue_.size() + inTransmit_->load();
  queue_.clear();
  if (txQueue) txQueue->drain();
  inTransmit_->store(0);
  return dropped;
}

}  // namespace vantro
