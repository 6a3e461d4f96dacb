#pragma once
// The board's side of the serial line: one output queue that whole records are
// appended to (so no record is ever split by another), drained with
// non-blocking writes, and the reading side with its logs.
#include <cstdint>
#include <deque>
#include <string>

#include "sim/Fd.hpp"
#include "sim/Records.hpp"

namespace sim {

/// Appends every received byte to a file, written through after each read so
/// that a test can read it at any moment.
class RxLog {
 public:
  explicit RxLog(const std::string& path);
  void append(ByteView bytes);

 private:
  std::string path_;
  Fd fd_;
};

/// One line "seq uid monotonic_ns" per node message, stamped when its last
/// byte has been handed to the pty.
class TxLog {
 public:
  explicit TxLog(const std::string& path);
  void sent(std::uint64_t seq, std::uint32_t uid, std::int64_t monotonicNs);

 private:
  std::string path_;
  Fd fd_;
};

class Line {
 public:
  /// `fd` is the pty master (non-blocking); the logs may be null.
  Line(int fd, RxLog* rxLog, TxLog* txLog) : fd_(fd), rxLog_(rxLog), txLog_(txLog) {}

  /// Queues one whole record and writes as much as the pty takes now.
  /// `seq`/`uid` name a node message for the tx log (seq 0: not one). A
  /// record `cut` short is logged with seq 0, so that a reader of the log
  /// knows which record lost its start to it.
  void send(ByteView record, std::uint64_t seq = 0, std::uint32_t uid = 0, bool cut = false);
  /// Bytes queued but not yet taken by the pty.
  std::size_t pending() const { return out_.size() - written_; }
  /// Writes what the pty takes without blocking.
  void flush();
  /// Reads what has arrived (possibly nothing) and logs it.
  Bytes receive();
  void detach() { fd_ = -1; }
  bool attached() const { return fd_ >= 0; }

 private:
  struct Mark {
    std::size_t end;    // offset in out_ just past the record
    std::uint64_t seq;  // 0: a record cut short
    std::uint32_t uid;
  };
  int fd_;
  RxLog* rxLog_;
  TxLog* txLog_;
  Bytes out_;
  std::size_t written_ = 0;
  std::deque<Mark> marks_;
};

/// CLOCK_MONOTONIC in nanoseconds.
std::int64_t monotonicNs();

}  // namespace sim
