#pragma once
// Runs vantro-hat-sim as a child process and talks to it as the host would: a
// plain POSIX client on the pty's slave side, and the sim's event lines on its
// standard output.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace simtest {

using Bytes = std::string;  // raw bytes; std::string keeps comparisons readable
using namespace std::chrono_literals;

class SimProcess {
 public:
  /// Starts the sim with `args`, its standard error going to `stderrPath`, and
  /// waits for its "PTY <path>" line. Throws std::runtime_error.
  SimProcess(std::vector<std::string> args, const std::string& stderrPath);
  /// SIGTERM, then waits for the exit.
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  const std::string& ptyPath() const { return ptyPath_; }
  /// The next event line starting with `prefix` (earlier lines are skipped),
  /// or nothing by `timeout`.
  std::optional<std::string> waitEvent(std::string_view prefix,
                                       std::chrono::milliseconds timeout = 3000ms);
  /// Sends SIGTERM and returns the exit status (as from waitpid).
  int stop();

 private:
  std::optional<std::string> nextLine(std::chrono::steady_clock::time_point deadline);
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
  std::string ptyPath_;
};

/// The host's end of the line: the pty slave, opened raw.
class HostLine {
 public:
  explicit HostLine(const std::string& path);
  ~HostLine();
  HostLine(const HostLine&) = delete;
  HostLine& operator=(const HostLine&) = delete;

  void write(std::string_view bytes);
  /// Exactly `n` bytes, or fewer if the time-out passes first.
  Bytes read(std::size_t n, std::chrono::milliseconds timeout = 2000ms);
  /// Everything up to and including `pattern`, or "" when it does not come.
  Bytes readUntil(std::string_view pattern, std::chrono::milliseconds timeout = 2000ms);
  /// What arrives until nothing more comes for `quiet` (at most 3 s of it).
  Bytes readUntilQuiet(std::chrono::milliseconds quiet);
  /// True when the line reads end of file or fails (the master went away).
  bool hungUp(std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
  Bytes pending_;
};

/// One record of the board, as the host splits the stream.
struct Record {
  std::string marker;
  Bytes body;  // after the marker (the length byte included where there is one)
};

/// Reads one whole record, knowing the size of every kind of record.
std::optional<Record> readRecord(HostLine& line, std::chrono::milliseconds timeout = 2000ms);

std::uint32_t u32(std::string_view b, std::size_t at);
std::uint16_t u16(std::string_view b, std::size_t at);
int bcd(char c);
std::string binPath();
std::string readFile(const std::string& path);

}  // namespace simtest
