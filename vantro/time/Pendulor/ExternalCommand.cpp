#include "vantro/time/Pendulor/ExternalCommand.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

#include "vantro/runtime/Errors.hpp"
#include "vantro/runtime/UniqueFd.hpp"

extern char** environ;

namespace vantro {
namespace {

// Captured output beyond this is read and dropped, so that a chatty command
// cannot grow the daemon's memory.
constexpr std::size_t kMaxCapture = 1 << 20;
// Without a pidfd the exit of the command is polled this often.
constexpr int kExitPollMs = 10;

std::system_error errnoError(const std::string& what) {
  return std::system_error(errno, std::generic_category(), what);
}

using Fd = UniqueFd;

void makePipe(Fd& readEnd, Fd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw errnoError("pipe2 for a command's output");
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
}

class SpawnActions {
 public:
  SpawnActions() {
    if (int rc = posix_spawn_file_actions_init(&fa_); rc != 0)
      throw std::system_error(rc, std::generic_category(), "posix_spawn_file_actions_init");
  }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&fa_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &fa_; }

 private:
  posix_spawn_file_actions_t fa_;
};

class SpawnAttr {
 public:
  SpawnAttr() {
    if (int rc = posix_spawnattr_init(&attr_); rc != 0)
      throw std::system_error(rc, std::generic_category(), "posix_spawnattr_init");
  }
  ~SpawnAttr() { posix_spawnattr_destroy(&attr_); }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

void check(int rc, const char* what) {
  if (rc != 0) throw std::system_error(rc, std::generic_category(), what);
}

// Kills (with its process group) and reaps the child unless it was reaped.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() {
    if (!reaped_) {
      kill();
      int status = 0;
      reap(status);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool reaped() const { return reaped_; }

  // The child is its own process group leader, and stays one until reaped, so
  // the group id cannot name anything else.
  void kill() const { ::kill(-pid_, SIGKILL); }

  /// Blocks until the child has ended. False if it cannot be waited for.
  bool reap(int& status) {
    while (::waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) return false;
    }
    reaped_ = true;
    return true;
  }

  /// Reaps the child if it has ended; true then.
  bool tryReap(int& status) {
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r < 0) throw errnoError(fmt::format("waitpid for process {}", pid_));
    if (r == 0) return false;
    reaped_ = true;
    return true;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

// Reads what is available from `fd`; closes it at end of file.
void drain(Fd& fd, std::string& into) {
  char buf[4096];
  const ssize_t n = ::read(fd.get(), buf, sizeof buf);
  if (n > 0) {
    const auto room = kMaxCapture - std::min(kMaxCapture, into.size());
    into.append(buf, std::min(room, static_cast<std::size_t>(n)));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    fd.reset();
  }
}

// The program to run for `name`, found as posix_spawnp finds it: a name with a
// slash as it is, others along PATH ("/bin:/usr/bin" without one); nothing
// when there is none. Looked up here, and the path handed to posix_spawn, so
// that a missing program is an error of the caller everywhere, also where
// posix_spawn cannot report a failed exec (under qemu-user, whose vfork is a
// fork).
std::optional<std::string> findProgram(const std::string& name) {
  const auto runnable = [](const std::string& candidate) {
    struct stat st {};
    return ::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(candidate.c_str(), X_OK) == 0;
  };
  if (name.find('/') != std::string::npos) {
    if (runnable(name)) return name;
    return std::nullopt;
  }
  const char* env = ::getenv("PATH");
  const std::string path = env != nullptr ? env : "/bin:/usr/bin";
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find(':', begin);
    if (end == std::string::npos) end = path.size();
    // An empty entry is the working directory.
    const std::string dir = end == begin ? "." : path.substr(begin, end - begin);
    std::string candidate = dir + "/" + name;
    if (runnable(candidate)) return candidate;
    begin = end + 1;
  }
  return std::nullopt;
}

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::steady_clock::duration timeout) {
  using Clock = std::chrono::steady_clock;
  if (argv.empty() || argv.front().empty())
    throw std::invalid_argument("runCommand: no command name");
  const std::string& name = argv.front();
  const auto deadline = Clock::now() + timeout;
  const std::optional<std::string> program = findProgram(name);
  if (!program) {
    throw std::system_error(ENOENT, std::generic_category(),
                            fmt::format("could not start command '{}'", name));
  }

  Fd outRead, outWrite, errRead, errWrite;
  makePipe(outRead, outWrite);
  makePipe(errRead, errWrite);

  SpawnActions actions;
  check(posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0),
        "posix_spawn_file_actions_addopen");
  check(posix_spawn_file_actions_adddup2(actions.get(), outWrite.get(), 1),
        "posix_spawn_file_actions_adddup2");
  check(posix_spawn_file_actions_adddup2(actions.get(), errWrite.get(), 2),
        "posix_spawn_file_actions_adddup2");

  // Own process group, so a time-out kills whatever the command started too;
  // no blocked signals and default SIGPIPE whatever the daemon has set.
  SpawnAttr attr;
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  check(posix_spawnattr_setflags(
            attr.get(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
        "posix_spawnattr_setflags");
  check(posix_spawnattr_setpgroup(attr.get(), 0), "posix_spawnattr_setpgroup");
  check(posix_spawnattr_setsigmask(attr.get(), &none), "posix_spawnattr_setsigmask");
  check(posix_spawnattr_setsigdefault(attr.get(), &defaults), "posix_spawnattr_setsigdefault");

  std::vector<char*> cargv;
  cargv.reserve(argv.size() + 1);
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);

  pid_t pid = -1;
  if (int rc =
          posix_spawn(&pid, program->c_str(), actions.get(), attr.get(), cargv.data(), environ);
      rc != 0) {
    throw std::system_error(rc, std::generic_category(),
                            fmt::format("could not start command '{}'", name));
  }
  Child child(pid);
  outWrite.reset();
  errWrite.reset();
  Fd pidFd(openPidFd(pid));

  CommandResult result;
  int status = 0;
  bool exited = false;
  while (true) {
    if (!exited && child.tryReap(status)) exited = true;
    if (exited) {
      // Take what the command left in the pipes without waiting for writers it
      // may have left behind.
      for (auto* p : {&outRead, &errRead}) {
        std::string& into = p == &outRead ? result.out : result.err;
        while (p->valid()) {
          pollfd pfd{p->get(), POLLIN, 0};
          if (::poll(&pfd, 1, 0) <= 0) break;
          drain(*p, into);
        }
      }
      break;
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      child.kill();
      child.reap(status);
      throw TimeoutError(fmt::format("command '{}' did not end within {} seconds and was killed",
                                     name, std::chrono::duration<double>(timeout).count()));
    }
    auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    pollfd fds[3];
    nfds_t n = 0;
    int outIdx = -1, errIdx = -1;
    if (outRead.valid()) {
      outIdx = static_cast<int>(n);
      fds[n++] = {outRead.get(), POLLIN, 0};
    }
    if (errRead.valid()) {
      errIdx = static_cast<int>(n);
      fds[n++] = {errRead.get(), POLLIN, 0};
    }
    if (pidFd.valid()) {
      fds[n++] = {pidFd.get(), POLLIN, 0};
    } else {
      waitMs = std::min<decltype(waitMs)>(waitMs, kExitPollMs);
    }
    const int ready = ::poll(fds, n, static_cast<int>(waitMs));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw errnoError(fmt::format("poll on the output of command '{}'", name));
    }
    if (outIdx >= 0 && fds[outIdx].revents != 0) drain(outRead, result.out);
    if (errIdx >= 0 && fds[errIdx].revents != 0) drain(errRead, result.err);
  }

  if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.status = -WTERMSIG(status);
  } else {
    result.status = -1;
  }
  return result;
}

}  // namespace vantro
