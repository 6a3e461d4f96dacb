#include "vantro/link/SerialLink.hpp"

#include "vantro/runtime/UniqueFd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <deque>
#include <functional>
#include <optional>
#include <vector>
#include <system_error>

#include <fmt/format.h>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "vantro/link/PortSettings.hpp"

namespace vantro {
namespace {

using Clock = std::chrono::steady_clock;

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

  std::mutex bufferMutex;  // guards `buffer`, `lost` and every ::read and ::close of fd
  std::deque<Byte> buffer;
  std::optional<SerialLinkLost> lost;  // why the device is of no more use, once it is
  std::recursive_mutex writeMutex;     // one writer at a time; close() waits for it

  // The read of the device the loop has pending (one at a time, by one
  // reader), its deadline, and the other async readers waiting for what it
  // brings. The chunk is what the pending read fills; the token tells the
  // deadline's handler whether the link still exists.
  bool devicePending = false;
  std::shared_ptr<std::array<Byte, kReadChunk>> chunk =
      std::make_shared<std::array<Byte, kReadChunk>>();
  asio::steady_timer deadlineTimer{descriptor.get_executor()};
  bool deadlineArmed = false;
  Clock::time_point readDeadline{};
  std::vector<asio::steady_timer*> waiters;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  [[noreturn]] void throwClosed() const {
    throw std::system_error(std::make_error_code(std::errc::bad_file_descriptor),
                            fmt::format("serial device \"{}\": the link is closed", path));
  }
  void ensureOpen() const {
    if (!open.load()) throwClosed();
  }

  SerialLinkLost hungUp() const {
    return SerialLinkLost(std::make_error_code(std::errc::io_error),
                          fmt::format("serial device \"{}\" hung up (device gone)", path));
  }
  SerialLinkLost readFailed(int error) const {
    return SerialLinkLost(error, std::generic_category(),
                          fmt::format("serial device \"{}\": read failed", path));
  }

  /// Moves everything the device has into the buffer, until it would block
  /// (blocking reads). Throws when the device went away (end of file is how
  /// a tty reports a hang-up). Caller holds bufferMutex.
  void drainLocked() {
    Byte bytes[kReadChunk];
    for (;;) {
      const ssize_t r = ::read(fd, bytes, sizeof bytes);
      if (r > 0) {
        buffer.insert(buffer.end(), bytes, bytes + r);
        continue;
      }
      if (r == 0) lost = hungUp();
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) lost = readFailed(errno);
      if (lost) throw *lost;
      return;
    }
  }

  Bytes takeLocked(std::size_t k) {
    Bytes out(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(k));
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(k));
    return out;
  }

  /// One step of a read, from what the buffer holds: the bytes to return if
  /// the read is complete (or its deadline passed, then at most `cap`), else
  /// nothing. Throws once the device went away. Caller holds bufferMutex.
  std::optional<Bytes> takeIfCompleteLocked(const Completion& complete, std::size_t cap,
                                            Clock::time_point deadline) {
    ensureOpen();
    if (std::size_t k = complete(buffer)) return takeLocked(k);
    if (lost) throw *lost;
    if (Clock::now() >= deadline) return takeLocked(std::min(cap, buffer.size()));
    return std::nullopt;
  }

  /// Reads the device through the loop once it signals bytes, into the
  /// buffer, and returns when the read is done, failed, or was cancelled (by
  /// the deadline or the task). The reactor keeps the descriptor registered
  /// as it is: no re-arming system call per read. A read cancelled before the
  /// device had bytes takes none; one that took them puts them in the buffer
  /// whatever happens to its reader. While another reader's read is pending
  /// it waits for that one instead.
  Awaitable<void> readDevice(Clock::time_point deadline) {
    if (devicePending) {
      co_await waitForOtherRead(deadline);
      co_return;
    }
    devicePending = true;
    watchDeadline(deadline);
    const std::shared_ptr<std::array<Byte, kReadChunk>> held = chunk;
    asio::error_code ec;
    const std::size_t n = co_await descriptor.async_read_some(
        asio::buffer(*held), asio::redirect_error(asio::use_awaitable, ec));
    devicePending = false;
    if (ec != asio::error::operation_aborted) {  // aborted: cancelled, or the link closed
      std::lock_guard lock(bufferMutex);
      buffer.insert(buffer.end(), held->begin(), held->begin() + static_cast<std::ptrdiff_t>(n));
      if (ec == asio::error::eof) {
        lost = hungUp();
      } else if (ec) {
        lost = readFailed(ec.value());
      }
    }
    wakeWaiters();
  }

  /// Ends the pending device read at `deadline` (unless bytes came first).
  /// One timer serves all reads: it is not moved per read (which would cost
  /// a cancelled wait, a handler, per reading) but looks again when it fires
  /// and waits on for the deadline of the read pending then; while readings
  /// flow it fires about once per read time-out.
  void watchDeadline(Clock::time_point deadline) {
    readDeadline = deadline;
    if (deadlineArmed && deadlineTimer.expiry() <= deadline) return;
    deadlineArmed = true;
    deadlineTimer.expires_at(deadline);
    deadlineTimer.async_wait([this, token = std::weak_ptr<bool>(alive)](const asio::error_code& ec) {
      if (token.expired() || ec == asio::error::operation_aborted) return;
      deadlineArmed = false;
      if (!devicePending) return;
      if (Clock::now() >= readDeadline) {
        asio::error_code ignored;
        descriptor.cancel(ignored);
      } else {
        watchDeadline(readDeadline);
      }
    });
  }

  void wakeWaiters() {
    for (asio::steady_timer* waiter : waiters) waiter->cancel();
  }

  /// Waits until the read another reader has pending brought something (or
  /// failed), the deadline passed, the link was closed or the task was
  /// cancelled; the caller tells which by looking again.
  Awaitable<void> waitForOtherRead(Clock::time_point deadline) {
    asio::steady_timer timer(descriptor.get_executor(), deadline);
    const WaiterEntry entry(waiters, timer);
    asio::error_code ec;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }

  // A reader's timer among the waiters while it waits (also when its frame
  // goes away suspended).
  class WaiterEntry {
   public:
    WaiterEntry(std::vector<asio::steady_timer*>& list, asio::steady_timer& timer)
        : list_(list), timer_(&timer) {
      list_.push_back(timer_);
    }
    ~WaiterEntry() { list_.erase(std::find(list_.begin(), list_.end(), timer_)); }
    WaiterEntry(const WaiterEntry&) = delete;
    WaiterEntry& operator=(const WaiterEntry&) = delete;

   private:
    std::vector<asio::steady_timer*>& list_;
    asio::steady_timer* timer_;
  };

  Awaitable<Bytes> readAsync(Completion complete, std::size_t cap) {
    co_await throwIfCancelled();
    const auto deadline = Clock::now() + readTimeout;
    for (;;) {
      // No declaration in the if: g++ 12 destroys such variables twice in coroutines.
      std::optional<Bytes> out;
      {
        std::lock_guard lock(bufferMutex);
        out = takeIfCompleteLocked(complete, cap, deadline);
      }
      if (out) co_return std::move(*out);
      co_await readDevice(deadline);
      co_await throwIfCancelled();
    }
  }

  Bytes readBlocking(const Completion& complete, std::size_t cap) {
    const auto deadline = Clock::now() + readTimeout;
    for (;;) {
      {
        std::lock_guard lock(bufferMutex);
        ensureOpen();
        if (!complete(buffer) && !lost) drainLocked();
        if (auto out = takeIfCompleteLocked(complete, cap, deadline)) return std::move(*out);
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
  impl_->descriptor.close(ignored);  // closes fd; the pending device read ends aborted
  impl_->wakeWaiters();               // the readers see the link closed at once
}

}  // namespace vantro
