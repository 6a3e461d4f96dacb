#pragma once
// The gateway's queue of node commands between MQTT and the transmit queue.
//
// Commands arrive on the event-loop thread as fast as the broker hands them
// over (a persistent session delivers everything held for the gateway at
// once). They wait here, bounded, in arrival order; a task on the loop moves
// them into the protocol object's transmit queue whenever it has room, woken
// by the worker each time it takes a job. Neither thread ever waits for the
// other: a full intake refuses the command, a full transmit queue leaves it
// here.
#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>

#include "vantro/commands/NodeCommand.hpp"
#include "vantro/commands/NodeCommander.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/runtime/Event.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro {

class CommandIntake {
 public:
  static constexpr std::size_t kDefaultCapacity = 1000;
  using ProtocolSource = std::function<std::shared_ptr<TelvariSpeakV1>()>;

  explicit CommandIntake(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

  /// Loop thread: queues `command`; false (nothing queued) when full.
  bool offer(NodeCommand command);
  /// Loop thread: wakes the feeder (a protocol object appeared).
  void wake();
  /// Moves queued commands into the transmit queue of the protocol object that
  /// `protocol` answers, as room frees, until cancelled. `commander` runs them.
  Awaitable<void> feed(ProtocolSource protocol, NodeCommander& commander);
  /// Drops every command that has not started: those queued here and those
  /// waiting in `txQueue` (which is emptied). Returns how many. Only while no
  /// feeder and no worker runs.
  std::size_t dropQueued(TxQueue* txQueue);

  std::size_t size() const { return queue_.size(); }
  std::size_t capacity() const { return capacity_; }
  /// Commands handed to the transmit queue that the worker has not started.
  std::size_t inTransmitQueue() const { return inTransmit_->load(); }

 private:
  void moveInto(TelvariSpeakV1& protocol, NodeCommander& commander);

  std::size_t capacity_;
  std::deque<NodeCommand> queue_;
  std::shared_ptr<std::atomic<std::size_t>> inTransmit_ =
      std::make_shared<std::atomic<std::size_t>>(0);
  std::weak_ptr<Event> wake_;
};

}  // namespace vantro
