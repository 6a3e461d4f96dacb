#pragma once
// Start-up, reload and stop notifications to systemd (Type=notify) and the
// watchdog keep-alive, sent as datagrams to the socket in $NOTIFY_SOCKET.
// Everything here does nothing when the daemon was not started by systemd with
// a notify socket.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

namespace vantro::daemon {

/// Sends state changes over $NOTIFY_SOCKET, a file system path or "@name" for
/// an abstract socket. A send never waits; a failed one prints one line the
/// first time and is otherwise ignored: the bridge goes on.
class ServiceNotifier {
 public:
  /// Reads $NOTIFY_SOCKET, and the watchdog interval from $WATCHDOG_USEC and
  /// $WATCHDOG_PID, once.
  ServiceNotifier();

  /// "READY=1": the serial port is open and the board has started.
  void ready();
  /// "RELOADING=1" (with the monotonic time): a restart of the bridge begins;
  /// the next ready() ends it.
  void reloading();
  /// "STOPPING=1": the daemon is shutting down.
  void stopping();
  /// "WATCHDOG=1": the event loop is alive.
  void keepAlive();

  /// How often keep-alives must be sent: half the unit's WatchdogSec, or
  /// nothing when systemd watches no watchdog for this process.
  std::optional<std::chrono::microseconds> keepAliveInterval() const { return keepAliveInterval_; }

 private:
  void send(const std::string& state);
  /// 0 once sent, else an errno value (EINVAL: not a usable address).
  int sendDatagram(const std::string& state) const;

  std::string socketAddress_;
  std::optional<std::chrono::microseconds> keepAliveInterval_;
  bool failureReported_ = false;
};

/// Sends keep-alives from a timer on the event loop. It is a plain timer, not
/// a task of the loop, because the bridge's teardown cancels every task, and
/// the keep-alives must go on across a restart of the bridge. When the loop
/// thread hangs, the keep-alives stop and systemd restarts the service.
class WatchdogKeepAlive {
 public:
  /// Starts at once when `notifier` has a keep-alive interval; else idle.
  WatchdogKeepAlive(asio::io_context& io, ServiceNotifier& notifier);
  ~WatchdogKeepAlive();
  WatchdogKeepAlive(const WatchdogKeepAlive&) = delete;
  WatchdogKeepAlive& operator=(const WatchdogKeepAlive&) = delete;

  /// Cancels the timer; no keep-alive is sent afterwards.
  void stop();

 private:
  void arm();

  asio::steady_timer timer_;
  ServiceNotifier& notifier_;
  std::chrono::microseconds interval_{};
  bool running_ = false;
};

}  // namespace vantro::daemon
