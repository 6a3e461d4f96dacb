#include "daemon/Notify.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "vantro/runtime/Print.hpp"
#include "vantro/runtime/UniqueFd.hpp"

namespace vantro::daemon {
namespace {

std::uint64_t monotonicMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// A whole environment value as a decimal number; nothing when unset or not
// entirely digits.
template <typename T>
std::optional<T> envNumber(const char* name) {
  const char* s = std::getenv(name);
  if (s == nullptr || *s == '\0') return std::nullopt;
  const char* end = s + std::strlen(s);
  T value{};
  const auto [ptr, ec] = std::from_chars(s, end, value);
  if (ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

ServiceNotifier::ServiceNotifier() {
  if (const char* s = std::getenv("NOTIFY_SOCKET")) socketAddress_ = s;
  // The watchdog is ours when $WATCHDOG_USEC is a positive number and
  // $WATCHDOG_PID, if set, is this process: a child started by the service
  // inherits the variables and must not send keep-alives for it. Both stay in
  // the environment, so that a later ServiceNotifier reads the same.
  const auto usec = envNumber<std::uint64_t>("WATCHDOG_USEC");
  if (!usec || *usec == 0) return;
  if (std::getenv("WATCHDOG_PID") != nullptr) {
    const auto pid = envNumber<pid_t>("WATCHDOG_PID");
    if (!pid || *pid != ::getpid()) return;
  }
  keepAliveInterval_ = std::chrono::microseconds(static_cast<std::int64_t>(*usec / 2));
}

void ServiceNotifier::ready() {
  send("READY=1\nSTATUS=Bridge running");
}

void ServiceNotifier::reloading() {
  // systemd 253 and later want the monotonic time with RELOADING=1.
  send(fmt::format("RELOADING=1\nSTATUS=Restarting the bridge\nMONOTONIC_USEC={}",
                   monotonicMicros()));
}

void ServiceNotifier::stopping() {
  send("STOPPING=1\nSTATUS=Stopping");
}

void ServiceNotifier::keepAlive() {
  send("WATCHDOG=1");
}

void ServiceNotifier::send(const std::string& state) {
  if (socketAddress_.empty()) return;
  if (const int err = sendDatagram(state); err != 0 && !failureReported_) {
    failureReported_ = true;
    if (err == EINVAL) {
      print(
          "Service manager notification failed: NOTIFY_SOCKET '{}' is neither a path nor "
          "an abstract socket (@name)",
          socketAddress_);
    } else {
      print("Service manager notification failed: {}", std::strerror(err));
    }
  }
}

int ServiceNotifier::sendDatagram(const std::string& state) const {
  // "/path" is a socket in the file system, "@name" one in the abstract
  // namespace (a leading zero byte, and the length says where it ends).
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string& a = socketAddress_;
  if ((a[0] != '/' && a[0] != '@') || a.size() < 2 || a.size() > sizeof addr.sun_path ||
      (a[0] == '/' && a.size() == sizeof addr.sun_path)) {
    return EINVAL;
  }
  a.copy(addr.sun_path, a.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + a.size());
  if (a[0] == '@') {
    addr.sun_path[0] = '\0';
  } else {
    ++len;  // the terminating zero
  }
  const UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return errno;
  // Never waits: with the manager's queue full the state change is lost
  // rather than the event loop held up.
  if (::sendto(fd.get(), state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&addr), len) < 0) {
    return errno;
  }
  return 0;
}

WatchdogKeepAlive::WatchdogKeepAlive(asio::io_context& io, ServiceNotifier& notifier)
    : timer_(io), notifier_(notifier) {
  if (const auto interval = notifier_.keepAliveInterval()) {
    interval_ = *interval;
    running_ = true;
    notifier_.keepAlive();
    arm();
  }
}

WatchdogKeepAlive::~WatchdogKeepAlive() {
  stop();
}

void WatchdogKeepAlive::stop() {
  running_ = false;
  timer_.cancel();
}

void WatchdogKeepAlive::arm() {
  timer_.expires_after(interval_);
  timer_.async_wait([this](const asio::error_code& ec) {
    if (ec || !running_) return;
    notifier_.keepAlive();
    arm();
  });
}

}  // namespace vantro::daemon
