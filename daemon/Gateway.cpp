#include "daemon/Gateway.hpp"

#include <csignal>
#include <filesystem>

#include <asio/signal_set.hpp>

#include "daemon/Notify.hpp"
#include "vantro/HatControl/GpioSetting.hpp"
#include "vantro/bridge/Bridge.hpp"
#include "vantro/bridge/Session.hpp"
#include "vantro/mqtt/TlsCredentials.hpp"
#include "vantro/runtime/Event.hpp"
#include "vantro/runtime/EventLoop.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro::daemon {
namespace {

void applyGpioSetting(const Options& o) {
  // An empty chip leaves chip and line to the board kind found at reset time.
  // A line given alone is on gpiochip0, the chip of both board kinds.
  GpioSetting s;
  if (o.gpioChip) s.chip = *o.gpioChip;
  if (o.resetLine) {
    if (s.chip.empty()) s.chip = "gpiochip0";
    s.line = *o.resetLine;
  } else if (!s.chip.empty()) {
    s.line = defaultRaspiGpioSetting().line;
  }
  s.noReset = o.noHatReset;
  setGpioSetting(s);
}

OperationsSettings operationsSettings(const Options& o) {
  OperationsSettings s;
  s.healthInterval = std::chrono::seconds(o.healthInterval);
  s.nodeTimeout = std::chrono::seconds(o.nodeTimeout);
  s.haDiscovery = o.haDiscovery;
  s.haPrefix = o.haPrefix;
  return s;
}

// Re-arms itself: SIGTERM and SIGINT stop, SIGHUP restarts. systemd hears of
// both before the bridge starts to tear down.
void watchSignals(asio::signal_set& signals, Event& stopSignal, Event& restartSignal,
                  ServiceNotifier& notifier) {
  signals.async_wait([&](const asio::error_code& ec, int signo) {
    if (ec) return;
    if (signo == SIGHUP) {
      notifier.reloading();
      restartSignal.set();
    } else {
      notifier.stopping();
      stopSignal.set();
    }
    watchSignals(signals, stopSignal, restartSignal, notifier);
  });
}

struct LoopBoundRelease {
  explicit LoopBoundRelease(Session& s) : session(s) {}
  LoopBoundRelease(const LoopBoundRelease&) = delete;
  LoopBoundRelease& operator=(const LoopBoundRelease&) = delete;
  ~LoopBoundRelease() { session.releaseLoopBound(); }
  Session& session;
};

// The TLS files are read here, as root, before the privilege drop, and kept in
// memory: the key file may be readable by root alone. A restart (SIGHUP) keeps
// what was read; new files take a restart of the service.
std::shared_ptr<const TlsCredentials> loadTls(const Options& o) {
  if (!o.tls) return nullptr;
  auto credentials = TlsCredentials::load({o.caFile, o.certFile, o.keyFile, o.tlsInsecure});
  print("MQTT over TLS to {}:{}; trusted certificates: {} from {}{}", o.broker, o.brokerPort,
        credentials->trustedCount(), o.caFile.empty() ? "the system's CA store" : o.caFile,
        o.certFile.empty() ? "" : ", client certificate " + o.certFile);
  if (o.tlsInsecure) {
    print(
        "Warning: tls-insecure is set: the broker's certificate is not checked against the "
        "name {}, so anyone holding a certificate from a trusted CA can pose as the broker",
        o.broker);
  }
  return credentials;
}

}  // namespace

int runGateway(const Options& o) {
  Session::Settings settings;
  settings.statusDir = o.statusDir;
  settings.operations = operationsSettings(o);
  settings.firmwareDir = o.firmwareDir;
  settings.commandQueue = o.commandQueue;
  if (o.outbox) {
    OutboxSettings outbox;
    outbox.path = std::filesystem::path(o.statusDir) / "outbox.sqlite";
    outbox.maxBytes = std::uint64_t{o.outboxMaxMb} * 1024 * 1024;
    outbox.syncInterval = std::chrono::seconds(o.outboxSyncInterval);
    settings.outbox = outbox;
  }
  settings.commandScope = o.commandScope == "own" ? CommandScope::Own : CommandScope::All;
  settings.mqttClientId = o.clientId;
  // Before the board is touched: a gateway that cannot keep its state, or
  // cannot reach its broker as configured, must not start.
  try {
    settings.mqttTls = loadTls(o);
    checkStatusDirWritable(o.statusDir);
  } catch (const std::exception& e) {
    print("Start-up failed: {}", e.what());
    return 1;
  }
  Session& session = configureProcessSession(std::move(settings));
  applyGpioSetting(o);
  Args args;
  args.nodeId = o.nodeId;
  args.networkId = o.networkId;
  args.brokerPort = o.brokerPort;
  args.firmwareDir = o.firmwareDir;

  EventLoop loop;
  // Before the loop goes, also when leaving by an exception.
  const LoopBoundRelease release(session);
  Event stopSignal(loop.executor());
  Event restartSignal(loop.executor());
  asio::signal_set signals(loop.context(), SIGTERM, SIGINT, SIGHUP);
  // systemd: READY=1 once each run is up, keep-alives from a loop timer.
  ServiceNotifier notifier;
  WatchdogKeepAlive keepAlive(loop.context(), notifier);
  watchSignals(signals, stopSignal, restartSignal, notifier);

  int exitCode = 0;
  auto main = [&]() -> Awaitable<void> {
    bool isRestarting = false;
    for (;;) {
      std::exception_ptr failure;
      try {
        co_await startVantro(session, args, o.broker, o.username, o.password, o.serialDevice,
                             o.serialSpeed, loop, stopSignal, restartSignal, isRestarting,
                             [&notifier] { notifier.ready(); });
      } catch (...) {
        failure = std::current_exception();
      }
      if (failure) {
        try {
          std::rethrow_exception(failure);
        } catch (const TimeoutError&) {
          print("Start-up failed: the Duzediv Eri did not report start-up within {} ms",
                kHatStartupTimeout.count());
        } catch (const std::exception& e) {
          print("Start-up failed: {}", e.what());
        } catch (...) {
          print("Start-up failed");
        }
        if (session.ser) session.ser->close();
        exitCode = 1;
        co_return;
      }
      if (stopSignal.isSet() || !restartSignal.isSet()) co_return;
      restartSignal.clear();
      isRestarting = true;
    }
  };
  loop.runUntilComplete(main());
  signals.cancel();
  return exitCode;
}

}  // namespace vantro::daemon
