#pragma once
// Runs an operating-system command synchronously, without a shell, with a time
// limit. Used for the host's NTP status and for setting the host clock.
#include <chrono>
#include <string>
#include <vector>

namespace vantro {

struct CommandResult {
  /// The exit status, or minus the signal number when a signal ended it.
  int status = 0;
  std::string out;  // standard output
  std::string err;  // standard error
};

/// Runs argv[0], looked up on PATH, with the arguments argv[1..] (passed as they
/// are, no shell), standard input from /dev/null, and captures its output.
/// Blocks the calling thread until the command ends or `timeout` has passed. A
/// command still running then is killed with its process group (SIGKILL) and
/// reaped, and TimeoutError is thrown. A command that cannot be started throws
/// std::system_error (ENOENT when it is not found).
CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::steady_clock::duration timeout);

}  // namespace vantro
