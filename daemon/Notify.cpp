#include "daemon/Notify.hpp"

#include <time.h>

#include <cstdint>
#include <cstring>

#include <fmt/format.h>

#ifdef VANTRO_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "vantro/runtime/Print.hpp"

namespace vantro::daemon {
namespace {

std::uint64_t monotonicMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace

ServiceNotifier::ServiceNotifier() {
#ifdef VANTRO_HAVE_SYSTEMD
  std::uint64_t usec = 0;
  // 0: keep the environment, so that a later ServiceNotifier reads the same.
  if (::sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    keepAliveInterval_ = std::chrono::microseconds(static_cast<std::int64_t>(usec / 2));
  }
#endif
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
#ifdef VANTRO_HAVE_SYSTEMD
  // Returns 0 without a notify socket, > 0 once sent.
  const int rc = ::sd_notify(0, state.c_str());
  if (rc < 0 && !failureReported_) {
    failureReported_ = true;
    print("Service manager notification failed: {}", std::strerror(-rc));
  }
#else
  (void)state;
  (void)failureReported_;
#endif
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
