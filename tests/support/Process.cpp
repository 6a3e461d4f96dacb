#include "tests/support/Process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <system_error>

namespace vantro::test {

std::string bin(const std::string& name) {
  const char* dir = std::getenv("VANTRO_BIN_DIR");
  return std::string(dir ? dir : "build/bin") + "/" + name;
}

int unprivilegedUid() {
  return ::getuid() == 0 ? 65534 : -1;
}

Process::Process(std::vector<std::string> argv) : Process(std::move(argv), Options{}) {}

Process::Process(std::vector<std::string> argv, Options options) : options_(std::move(options)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid_ == 0) {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    ::setpgid(0, 0);
    for (const auto& e : options_.extraEnv) ::putenv(const_cast<char*>(e.c_str()));
    if (options_.runAsUid >= 0) {
      const auto id = static_cast<uid_t>(options_.runAsUid);
      if (::setgroups(0, nullptr) != 0 || ::setresgid(id, id, id) != 0 ||
          ::setresuid(id, id, id) != 0) {
        ::_exit(126);
      }
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  reader_ = std::thread([this, fd = fds[0]] { readerMain(fd); });
}

Process::~Process() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  if (reader_.joinable()) reader_.join();
}

void Process::readerMain(int fd) {
  std::string partial;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    partial.append(buf, static_cast<std::size_t>(n));
    std::size_t pos;
    while ((pos = partial.find('\n')) != std::string::npos) {
      std::string line = partial.substr(0, pos);
      partial.erase(0, pos + 1);
      if (options_.echo) std::cerr << "[" << pid_ << "] " << line << "\n";
      std::lock_guard lock(mutex_);
      lines_.push_back(std::move(line));
      cv_.notify_all();
    }
  }
  std::lock_guard lock(mutex_);
  if (!partial.empty()) lines_.push_back(partial);
  cv_.notify_all();
  ::close(fd);
}

void Process::signal(int signo) {
  if (!status_) ::kill(pid_, signo);
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int Process::waitFor(const std::string& s, bool whole, std::chrono::milliseconds timeout,
                     int from) {
  std::unique_lock lock(mutex_);
  int found = -1;
  auto scan = [&] {
    for (std::size_t i = static_cast<std::size_t>(from); i < lines_.size(); ++i) {
      if (whole ? lines_[i] == s : lines_[i].find(s) != std::string::npos) {
        found = static_cast<int>(i);
        return true;
      }
    }
    return false;
  };
  cv_.wait_for(lock, timeout, scan);
  return found;
}

int Process::waitForLine(const std::string& line, std::chrono::milliseconds timeout, int from) {
  return waitFor(line, true, timeout, from);
}

int Process::waitForPart(const std::string& part, std::chrono::milliseconds timeout, int from) {
  return waitFor(part, false, timeout, from);
}

std::vector<std::string> Process::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string Process::output() const {
  std::lock_guard lock(mutex_);
  std::string out;
  for (const auto& l : lines_) out += l + "\n";
  return out;
}

}  // namespace vantro::test
