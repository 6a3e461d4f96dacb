#include "tests/sim/SimHarness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace simtest {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

std::string binPath() {
  const char* dir = std::getenv("VANTRO_BIN_DIR");
  return std::string(dir ? dir : ".") + "/vantro-hat-sim";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

SimProcess::SimProcess(std::vector<std::string> args, const std::string& stderrPath) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  const std::string bin = binPath();
  pid_ = ::fork();
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid_ == 0) {
    ::dup2(fds[1], 1);
    const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) ::dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(bin.c_str())};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(bin.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  out_ = fds[0];
  const auto line = waitEvent("PTY ", 5000ms);
  if (!line) throw std::runtime_error("vantro-hat-sim printed no PTY line (" + bin + ")");
  ptyPath_ = line->substr(4);
}

SimProcess::~SimProcess() {
  stop();
  if (out_ >= 0) ::close(out_);
}

int SimProcess::stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

std::optional<std::string> SimProcess::nextLine(Clock::time_point deadline) {
  while (true) {
    const auto nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return line;
    }
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, msLeft(deadline)) <= 0) return std::nullopt;
    char buf[512];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    buffered_.append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> SimProcess::waitEvent(std::string_view prefix,
                                                 std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (auto line = nextLine(deadline))
    if (line->starts_with(prefix)) return line;
  return std::nullopt;
}

HostLine::HostLine(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
  termios t{};
  ::tcgetattr(fd_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd_, TCSANOW, &t);
}

HostLine::~HostLine() {
  if (fd_ >= 0) ::close(fd_);
}

void HostLine::write(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) throw std::system_error(errno, std::generic_category(), "write to the sim");
    done += static_cast<std::size_t>(n);
  }
}

Bytes HostLine::read(std::size_t n, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (pending_.size() < n) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, msLeft(deadline)) <= 0) break;
    char buf[4096];
    const ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - pending_.size()));
    if (got <= 0) break;
    pending_.append(buf, static_cast<std::size_t>(got));
  }
  Bytes out = pending_.substr(0, n);
  pending_.erase(0, out.size());
  return out;
}

Bytes HostLine::readUntil(std::string_view pattern, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const auto at = pending_.find(pattern);
    if (at != std::string::npos) {
      Bytes out = pending_.substr(0, at + pattern.size());
      pending_.erase(0, out.size());
      return out;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, msLeft(deadline)) <= 0) return "";
    char buf[4096];
    const ssize_t got = ::read(fd_, buf, sizeof buf);
    if (got <= 0) return "";
    pending_.append(buf, static_cast<std::size_t>(got));
  }
}

Bytes HostLine::readUntilQuiet(std::chrono::milliseconds quiet) {
  const auto deadline = Clock::now() + 3s;  // a line that never goes quiet ends the wait too
  while (Clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
    char buf[4096];
    const ssize_t got = ::read(fd_, buf, sizeof buf);
    if (got <= 0) break;
    pending_.append(buf, static_cast<std::size_t>(got));
  }
  return std::exchange(pending_, Bytes{});
}

bool HostLine::hungUp(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, msLeft(deadline)) <= 0) return false;
    char buf[4096];
    const ssize_t got = ::read(fd_, buf, sizeof buf);
    if (got <= 0) return true;
  }
}

std::uint16_t u16(std::string_view b, std::size_t at) {
  return static_cast<std::uint16_t>((static_cast<unsigned char>(b.at(at)) << 8) |
                                    static_cast<unsigned char>(b.at(at + 1)));
}

std::uint32_t u32(std::string_view b, std::size_t at) {
  return (std::uint32_t{u16(b, at)} << 16) | u16(b, at + 2);
}

int bcd(char c) {
  const auto v = static_cast<unsigned char>(c);
  return (v >> 4) * 10 + (v & 0x0F);
}

std::optional<Record> readRecord(HostLine& line, std::chrono::milliseconds timeout) {
  const Bytes marker = line.read(2, timeout);
  if (marker.size() != 2) return std::nullopt;
  Record r{marker, {}};
  if (marker == "SD" || marker == "SI" || marker == "SX") {
    const Bytes len = line.read(1, timeout);
    if (len.size() != 1) return std::nullopt;
    r.body = len + line.read(static_cast<unsigned char>(len[0]), timeout);
    if (r.body.size() != 1u + static_cast<unsigned char>(len[0])) return std::nullopt;
  } else if (marker == "SP" || marker == "ST" || marker == "RT") {
    const std::size_t n = marker == "SP" ? 17 : 8;
    r.body = line.read(n, timeout);
    if (r.body.size() != n) return std::nullopt;
  } else if (marker == "LG") {
    r.body = line.readUntil("\r\n", timeout);
    if (r.body.empty()) return std::nullopt;
  } else {
    r.body = line.readUntilQuiet(100ms);  // out of step: show what follows
  }
  return r;
}

}  // namespace simtest
