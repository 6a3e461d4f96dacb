#pragma once
// A child process for end-to-end tests: started from an argument vector (no
// shell), its standard output and error collected line by line on a thread of
// its own, so that a test can wait for a line to appear.
//
//   Process gw({bin("vantro-gateway"), "--serial-device", link});
//   ASSERT_TRUE(gw.waitForLine("Starting serial interface RX...", 10s));
//   gw.signal(SIGTERM);
//   EXPECT_EQ(gw.wait(10s), 0);
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vantro::test {

/// Path of a program built by this project ($VANTRO_BIN_DIR/name).
std::string bin(const std::string& name);

class Process {
 public:
  struct Options {
    /// Run the child as this user id (when the test runs as root); -1 keeps ours.
    int runAsUid = -1;
    std::vector<std::string> extraEnv = {};
    /// Echo the child's lines to stderr as they come (debugging).
    bool echo = false;
  };

  explicit Process(std::vector<std::string> argv);
  Process(std::vector<std::string> argv, Options options);
  /// Kills the child if it still runs.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signo);
  /// Waits for the child to end; its exit status (128 + signal when killed),
  /// or nothing on time-out.
  std::optional<int> wait(std::chrono::milliseconds timeout);

  /// Waits until a line equal to `line` has been printed (also one printed
  /// before the call, at or after index `from`). Returns its index or -1.
  int waitForLine(const std::string& line, std::chrono::milliseconds timeout, int from = 0);
  /// As waitForLine, for a line containing `part`.
  int waitForPart(const std::string& part, std::chrono::milliseconds timeout, int from = 0);
  std::vector<std::string> lines() const;
  /// All output so far, for failure messages.
  std::string output() const;

 private:
  void readerMain(int fd);
  int waitFor(const std::string& s, bool whole, std::chrono::milliseconds timeout, int from);

  pid_t pid_ = -1;
  std::optional<int> status_;
  Options options_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  std::thread reader_;
};

/// The user id the end-to-end tests run the daemon as: nobody (65534) when the
/// tests run as root, so that the daemon has no privileges to drop; else -1.
int unprivilegedUid();

}  // namespace vantro::test
