#include "tests/support/Pty.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

namespace vantro::test {
namespace {

[[noreturn]] void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

using Clock = std::chrono::steady_clock;

}  // namespace

Pty::Pty() {
  char name[PATH_MAX] = {};
  termios raw{};
  ::cfmakeraw(&raw);
  ::cfsetispeed(&raw, B115200);
  ::cfsetospeed(&raw, B115200);
  if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) throwErrno("openpty");
  slavePath_ = name;
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() {
  closeMaster();
  if (slave_ >= 0) ::close(slave_);
}

void Pty::write(ByteView bytes) {
  if (master_ < 0) throw std::system_error(EBADF, std::generic_category(), "pty master is closed");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (r > 0) {
      done += static_cast<std::size_t>(r);
    } else if (errno != EINTR) {
      throwErrno("pty master write");
    }
  }
}

Bytes Pty::read(std::size_t n, std::chrono::milliseconds timeout) {
  if (master_ < 0) throw std::system_error(EBADF, std::generic_category(), "pty master is closed");
  Bytes out;
  const auto deadline = Clock::now() + timeout;
  while (out.size() < n) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) throwErrno("pty master poll");
    if (rc == 0) break;
    Byte chunk[4096];
    const std::size_t want = std::min(sizeof chunk, n - out.size());
    const ssize_t r = ::read(master_, chunk, want);
    if (r > 0) {
      out.insert(out.end(), chunk, chunk + r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO: no slave is open any more
    }
  }
  return out;
}

Bytes Pty::readUntilQuiet(std::chrono::milliseconds quiet) {
  Bytes out;
  for (;;) {
    Bytes more = read(4096, quiet);
    if (more.empty()) return out;
    out.insert(out.end(), more.begin(), more.end());
  }
}

void Pty::closeMaster() {
  if (master_ < 0) return;
  ::close(master_);
  master_ = -1;
}

}  // namespace vantro::test
