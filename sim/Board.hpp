#pragma once
// The simulated board: its start-up sequence, its answers to the host's
// commands, its radio traffic and the faults it can be told to show. One
// thread runs everything in a poll() loop, so records are sent whole and in
// order without any lock.
#include <chrono>
#include <memory>
#include <optional>

#include "sim/BoardClock.hpp"
#include "sim/Commands.hpp"
#include "sim/Firmware.hpp"
#include "sim/Line.hpp"
#include "sim/Options.hpp"
#include "sim/Pty.hpp"
#include "sim/Traffic.hpp"

namespace sim {

class Board {
 public:
  /// Opens the pty (and the link and log files) and prints "PTY <path>".
  explicit Board(const Options& options);
  /// Runs until `stopFd` (a signalfd) becomes readable.
  void run(int stopFd);

 private:
  using Clock = std::chrono::steady_clock;

  void boot(Clock::time_point now);
  void announce();
  void sendRecord(ByteView record, std::uint64_t seq = 0, std::uint32_t uid = 0, bool cut = false);
  void sendTraffic(Clock::time_point now);
  void receive(Clock::time_point now);
  void handle(const Piece& piece, Clock::time_point now);
  void handleFrame(const std::string& marker, ByteView frame, Clock::time_point now);
  void firmware(const FirmwareChunk& chunk);
  void setClock(const SetTime& t);
  void runTimers(Clock::time_point now);
  std::optional<Clock::time_point> nextDeadline() const;
  void openLine();
  void hangUp(Clock::time_point now);

  const Options& o_;
  Pty pty_;
  std::unique_ptr<Symlink> link_;
  std::unique_ptr<RxLog> rxLog_;
  std::unique_ptr<TxLog> txLog_;
  std::unique_ptr<Line> line_;
  FrameSplitter splitter_;
  FirmwareAssembler firmware_;
  BoardClock clock_;
  Traffic traffic_;

  unsigned boots_ = 0;
  bool prompting_ = false;
  Clock::time_point nextPrompt_{};
  bool radioOn_ = false;
  Clock::time_point nextRecord_{};
  std::uint64_t recordsSent_ = 0;  // traffic records, for the fault counters
  bool countDone_ = false;
  bool countReported_ = false;
  Byte gatewayNodeId_ = 1;
  std::optional<Clock::time_point> nextRt_;
  std::optional<Clock::time_point> rebootAt_;
  std::optional<Clock::time_point> hangupAt_;
  std::optional<Clock::time_point> replugAt_;
};

}  // namespace sim
