// The entry coroutine: one run of the bridge, from the board reset to the
// teardown in its fixed order.
#include <unistd.h>

#include <climits>

#include "vantro/runtime/Print.hpp"
#include "vantro/bridge/Bridge.hpp"
#include "vantro/bridge/State.hpp"

namespace vantro {
namespace {

using namespace std::chrono_literals;
constexpr auto kSweepWait = 100ms;  // per task, at the end of a run

std::string hostName() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  return buf;
}

}  // namespace

Awaitable<void> startVantro(const Args& args, std::string broker_host, std::string username,
                            std::string password, std::string serialDevice, unsigned serialSpeed,
                            EventLoop& eventLoop, Event& stopSignal, Event& restartSignal,
                            bool isRestarting, std::function<void()> onRunning) {
  if (!isRestarting) hardResetHat();
  dropRootPrivileges();
  ser = std::make_shared<SerialLink>(eventLoop.context(), serialDevice, serialSpeed,
                                     SerialLink::kDefaultReadTimeout);
  if (!isRestarting)
    co_await withTimeout(waitForHatStartup(ser), kHatStartupTimeout, "hat-startup");

  auto client = std::make_shared<MqttClient>(eventLoop, "vantro-" + hostName(), false,
                                             kSessionExpiryInterval);
  client->on_connect = on_connect;
  client->on_message = on_message;
  client->on_disconnect = on_disconnect;
  client->set_auth_credentials(username, password);

  std::vector<TaskPtr> tasks{eventLoop.spawn(stopSignal.wait(), "stop-signal"),
                             eventLoop.spawn(restartSignal.wait(), "restart-signal")};
  print("Starting serial interface RX...");
  TaskPtr rxTask = eventLoop.spawn(processRxMsgs(client, broker_host, args, statusDir), "rx");
  print("Starting serial interface TX...");
  TaskPtr txTask = eventLoop.spawn(processTxMsgs(client, args, eventLoop), "tx");
  if (onRunning) onRunning();

  std::exception_ptr waitError;
  try {
    co_await waitFirst(tasks);
  } catch (...) {
    waitError = std::current_exception();
  }
  if (waitError) printTrace(waitError);

  if (!restartSignal.isSet()) {
    shutdownRadio();
  } else {
    print("Received restart signal...");
    ser->close();
  }
  print("Stopping serial interface RX...");
  rxTask->cancel();
  print("Stopping serial interface TX...");
  txTask->cancel();
  ser->close();

  for (const TaskPtr& task : eventLoop.allTasks()) {
    if (task->done()) continue;
    task->cancel();
    try {
      co_await task->waitFor(kSweepWait);
    } catch (...) {
      // The sweeper's own cancellation cuts its wait short and ends here.
    }
  }

  print("Disconnecting MQTT client...");
  co_await client->disconnect();
}

}  // namespace vantro
