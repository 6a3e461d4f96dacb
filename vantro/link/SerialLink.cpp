#include "vantro/link/SerialLink.hpp"

#include "vantro/runtime/UniqueFd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <functional>
#include <system_error>

#include <fmt/format.h>
#include <asio/post.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "vantro/link/PortSettings.hpp"

namespace vantro {
namespace {

using Clock = std::chrono::steady_clock;
using namespace asio::experimental::awaitable_operators;

/// Blocking waits (read(), write() on a full device) wake this often to notice close().
constexpr std::chrono::milliseconds kPollSlice{50};
/// One system call takes at most this much from the device.
constexpr std::size_t kReadChunk = 4096;

int pollMillis(Clock::duration left) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left);
  return static_cast<int>(std::clamp(ms, std::chrono::milliseconds{0}, kPollSlice).count());
}

/// How many bytes of the buffer complete a read now (0: not complete yet).
using Completion = std::function<std::size_t(const std::deque<Byte>&)>;

}  // namespace

struct SerialLink::Impl {
  Impl(asio::io_context& io, std::string p, std::chrono::milliseconds timeout)
      : path(std::move(p)), readTimeout(timeout), descriptor(io) {}

  const std::string path;
  const std::chrono::milliseconds readTimeout;
  int fd = -1;  // set once, owned by `descriptor`
  asio::posix::stream_descriptor descriptor;
  std::atomic<bool> open{false};

  std::mutex bufferMutex;  // guards `buffer` and every ::read and ::close of fd
  std::deque<Byte> buffer;
  std::recursive_mutex writeMutex;  // one writer at a time; close() waits for it

  [[noreturn]] void throwClosed() const {
    throw std::system_error(std::make_error_code(std::errc::bad_file_descriptor),
                            fmt::format("serial device \"{}\": the link is closed", path));
  }
  void ensureOpen() const {
    if (!open.load()) throwClosed();
  }

  /// Moves everything the device has into the buffer, until it would block.
  /// Draining fully matters: asio's reactor is edge-triggered, so a wait started
  /// with bytes still pending in the kernel would not wake. Throws when the device
  /// went away (end of file is how a tty reports a hang-up). Caller holds
  /// bufferMutex. Returns whether bytes came.
  bool drainLocked() {
    Byte chunk[kReadChunk];
    bool got = false;
    for (;;) {
      const ssize_t r = ::read(fd, chunk, sizeof chunk);
      if (r > 0) {
        buffer.insert(buffer.end(), chunk, chunk + r);
        got = true;
        continue;
      }
      if (r == 0) {
        throw SerialLinkLost(std::make_error_code(std::errc::io_error),
                             fmt::format("serial device \"{}\" hung up (device gone)", path));
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return got;
      throw SerialLinkLost(errno, std::generic_category(),
                           fmt::format("serial device \"{}\": read failed", path));
    }
  }

  Bytes takeLocked(std::size_t k) {
    Bytes out(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(k));
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(k));
    return out;
  }

  /// One step of a read: the bytes to return if the read is complete (or its
  /// deadline passed, then at most `cap`), else nothing. Caller holds bufferMutex.
  std::optional<Bytes> stepLocked(const Completion& complete, std::size_t cap,
                                  Clock::time_point deadline, bool* drained = nullptr) {
    ensureOpen();
    if (std::size_t k = complete(buffer)) return takeLocked(k);
    if (drainLocked() && drained) {
      // The caller lets the loop end its pass first, then takes them.
      *drained = true;
      return std::nullopt;
    }
    if (std::size_t k = complete(buffer)) return takeLocked(k);
    if (Clock::now() >= deadline) return takeLocked(std::min(cap, buffer.size()));
    return std::nullopt;
  }

  /// Waits until the device is readable, the deadline passed, the link was
  /// closed or the task was cancelled; the caller tells which by looking again.
  Awaitable<void> waitReadable(Clock::time_point deadline) {
    asio::steady_timer timer(descriptor.get_executor(), deadline);
    asio::error_code readyError;
    asio::error_code timerError;
    co_await (descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                                    asio::redirect_error(asio::use_awaitable, readyError)) ||
              timer.async_wait(asio::redirect_error(asio::use_awaitable, timerError)));
  }

  Awaitable<Bytes> readAsync(Completion complete, std::size_t cap) {
    co_await throwIfCancelled();
    const auto deadline = Clock::now() + readTimeout;
    for (;;) {
      // No declaration in the if: g++ 12 destroys such variables twice in coroutines.
      std::optional<Bytes> out;
      bool drained = false;
      {
        std::lock_guard lock(bufferMutex);
        out = stepLocked(complete, cap, deadline, &drained);
      }
      if (out) co_return std::move(*out);
      if (drained) {
        // New bytes from the device: the loop's pass ends before they are
        // taken, so that the work of the records handled so far (their
        // commit, their lines) is done first, and the loop's other work gets
        // its turn also while the device never runs dry.
        co_await asio::post(descriptor.get_executor(), asio::use_awaitable);
        co_await throwIfCancelled();
        continue;
      }
      co_await waitReadable(deadline);
      co_await throwIfCancelled();
    }
  }

  Bytes readBlocking(const Completion& complete, std::size_t cap) {
    const auto deadline = Clock::now() + readTimeout;
    for (;;) {
      {
        std::lock_guard lock(bufferMutex);
        if (auto out = stepLocked(complete, cap, deadline)) return std::move(*out);
      }
      // fd stays valid while open; after a close() the next step throws.
      pollfd p{fd, POLLIN, 0};
      (void)::poll(&p, 1, pollMillis(deadline - Clock::now()));
    }
  }
};

SerialLink::SerialLink(asio::io_context& io, std::string path, unsigned baud,
                       std::chrono::milliseconds readTimeout)
    : impl_(std::make_unique<Impl>(io, std::move(path), readTimeout)) {
  const std::string& p = impl_->path;
  const speed_t speed = speedConstant(baud, p);
  UniqueFd fd(::open(p.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    throw std::system_error(errno, std::generic_category(),
                            fmt::format("cannot open serial device \"{}\"", p));
  }
  configureRawPort(fd.get(), speed, p);
  impl_->descriptor.assign(fd.get());
  impl_->fd = fd.release();  // the descriptor object owns it now
  impl_->open = true;
}

SerialLink::~SerialLink() {
  close();
}

const std::string& SerialLink::path() const {
  return impl_->path;
}

bool SerialLink::isOpen() const {
  return impl_->open.load();
}

Awaitable<Bytes> SerialLink::read_async(std::size_t n) {
  return impl_->readAsync([n](const std::deque<Byte>& b) { return b.size() >= n ? n : 0; }, n);
}

namespace {
std::size_t lineLength(const std::deque<Byte>& b) {
  auto it = std::find(b.begin(), b.end(), Byte{'\n'});
  return it == b.end() ? 0 : static_cast<std::size_t>(it - b.begin()) + 1;
}
}  // namespace

Awaitable<Bytes> SerialLink::readline_async() {
  return impl_->readAsync(lineLength, static_cast<std::size_t>(-1));
}

Bytes SerialLink::read(std::size_t n) {
  return impl_->readBlocking([n](const std::deque<Byte>& b) { return b.size() >= n ? n : 0; }, n);
}

void SerialLink::write(ByteView bytes) {
  std::lock_guard lock(impl_->writeMutex);
  std::size_t done = 0;
  auto lastProgress = Clock::now();
  while (done < bytes.size()) {
    impl_->ensureOpen();
    const ssize_t r = ::write(impl_->fd, bytes.data() + done, bytes.size() - done);
    if (r > 0) {
      done += static_cast<std::size_t>(r);
      lastProgress = Clock::now();
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      throw std::system_error(errno, std::generic_category(),
                              fmt::format("serial device \"{}\": write failed", impl_->path));
    }
    const auto stalled = Clock::now() - lastProgress;
    if (stalled >= kWriteStallTimeout) {
      throw std::system_error(
          std::make_error_code(std::errc::timed_out),
          fmt::format("serial device \"{}\": took no data for {} s ({} of {} bytes written)",
                      impl_->path, kWriteStallTimeout.count(), done, bytes.size()));
    }
    pollfd p{impl_->fd, POLLOUT, 0};
    (void)::poll(&p, 1, pollMillis(kWriteStallTimeout - stalled));
  }
}

void SerialLink::flush() {
  std::lock_guard lock(impl_->writeMutex);
  impl_->ensureOpen();
  int rc;
  do {
    rc = ::tcdrain(impl_->fd);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    throw std::system_error(errno, std::generic_category(),
                            fmt::format("serial device \"{}\": flush failed", impl_->path));
  }
}

void SerialLink::writeCommand(ByteView command) {
  std::lock_guard lock(impl_->writeMutex);
  write(command);
  flush();
}

std::unique_lock<std::recursive_mutex> SerialLink::lock() {
  return std::unique_lock(impl_->writeMutex);
}

void SerialLink::close() {
  if (!impl_->open.exchange(false)) return;
  // A writer sees `open` false within one poll slice and lets go of the lock.
  std::lock_guard writeLock(impl_->writeMutex);
  std::lock_guard bufferLock(impl_->bufferMutex);
  asio::error_code ignored;
  impl_->descriptor.close(ignored);  // closes fd; pending waits end with operation_aborted
}

}  // namespace vantro
