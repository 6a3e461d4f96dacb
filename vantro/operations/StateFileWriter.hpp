#pragma once
// Writes one small file of the status directory on a thread of its own, so
// that the sync of the atomic write never holds up the event loop. Only the
// newest content matters: a content handed over while another waits replaces
// it. A failed write prints one line and is not retried; the next content
// handed over is the next attempt.
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vantro {

class StateFileWriter {
 public:
  StateFileWriter(std::string dir, std::string name);
  /// Writes what still waits, then ends the thread.
  ~StateFileWriter();
  StateFileWriter(const StateFileWriter&) = delete;
  StateFileWriter& operator=(const StateFileWriter&) = delete;

  /// Hands `content` over and returns at once. Thread-safe.
  void submit(std::string content);
  /// Blocks until what was handed over so far is written (or failed).
  void flush();

 private:
  void workerMain();

  const std::string dir_;
  const std::string name_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<std::string> pending_;
  bool writing_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace vantro
