// The entry coroutine: one run of the bridge, from the board reset to the
// teardown in its fixed order.
#include <unistd.h>

#include <climits>

#include <asio/post.hpp>

#include "vantro/bridge/Bridge.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

using namespace std::chrono_literals;
constexpr auto kSweepWait = 100ms;  // per task, at the end of a run

std::string hostName() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  return buf;
}

// Standby at a stop: a board whose device has gone cannot be put in standby,
// and that must not keep the stop from going on.
void standby(Session& session) {
  try {
    shutdownRadio(session);
  } catch (...) {
    printTrace(std::current_exception());
  }
}

}  // namespace

Awaitable<void> startVantro(Session& session, const Args& args, std::string broker_host,
                            std::string username, std::string password, std::string serialDevice,
                            unsigned serialSpeed, EventLoop& eventLoop, Event& stopSignal,
                            Event& restartSignal, bool isRestarting,
                            std::function<void()> onRunning) {
  if (!isRestarting) hardResetHat();
  dropRootPrivileges();
  session.openOutbox();
  session.serialDevice = serialDevice;
  session.serialSpeed = serialSpeed;
  try {
    session.ser = std::make_shared<SerialLink>(eventLoop.context(), serialDevice, serialSpeed,
                                               SerialLink::kDefaultReadTimeout);
  } catch (const std::exception& e) {
    // A restart while the board's device is away keeps the earlier run's
    // (closed) link: the receive loop reopens the device once it is back.
    if (!isRestarting || !session.ser) throw;
    print("Serial device {} not available: {}", serialDevice, e.what());
  }
  if (!isRestarting)
    co_await withTimeout(waitForHatStartup(session.ser), kHatStartupTimeout, "hat-startup");

  const std::string& clientId = session.settings.mqttClientId;
  auto client =
      std::make_shared<MqttClient>(eventLoop, clientId.empty() ? "vantro-" + hostName() : clientId,
                                   false, kSessionExpiryInterval);
  if (session.settings.mqttTls) client->setTls(session.settings.mqttTls);
  const std::weak_ptr<MqttClient> weakClient = client;
  client->on_connect = [&session, weakClient, loop = eventLoop.executor()](
                           MqttClient& c, int flags, int rc, const std::string& props) {
    on_connect(session, c, flags, rc, props);
    // "online" once libmosquitto has left its callback, where it holds locks
    // that a publication takes in the other order.
    asio::post(loop, [&session, weakClient] {
      const std::shared_ptr<MqttClient> connected = weakClient.lock();
      if (connected) publishStatus(session, *connected, kStatusOnline);
    });
  };
  client->on_message = [&session](MqttClient& c, const std::string& topic, const Bytes& payload,
                                  int qos, const MessageProperties& props) {
    on_message(session, c, topic, payload, qos, props);
  };
  client->on_disconnect = on_disconnect;
  client->set_auth_credentials(username, password);
  client->setPublicationQueue(session.publications);

  std::vector<TaskPtr> tasks{eventLoop.spawn(stopSignal.wait(), "stop-signal"),
                             eventLoop.spawn(restartSignal.wait(), "restart-signal")};
  print("Starting serial interface RX...");
  TaskPtr rxTask = eventLoop.spawn(processRxMsgs(session, client, broker_host, args), "rx");
  print("Starting serial interface TX...");
  TaskPtr txTask = eventLoop.spawn(processTxMsgs(session, eventLoop), "tx");
  const CommandIntake::ProtocolSource protocolSource = [&session] { return session.myProtocol; };
  eventLoop.spawn(session.intake.feed(protocolSource, session.commander), "command-intake");
  eventLoop.spawn(session.operations.run(client, session.publications), "operations");
  if (onRunning) onRunning();

  std::exception_ptr waitError;
  try {
    co_await waitFirst(tasks);
  } catch (...) {
    waitError = std::current_exception();
  }
  if (waitError) printTrace(waitError);

  const bool restarting = restartSignal.isSet();
  if (!restarting) {
    standby(session);
  } else {
    print("Received restart signal...");
    session.ser->close();
  }
  print("Stopping serial interface RX...");
  rxTask->cancel();
  print("Stopping serial interface TX...");
  txTask->cancel();
  session.ser->close();

  for (const TaskPtr& task : eventLoop.allTasks()) {
    if (task->done()) continue;
    task->cancel();
    try {
      co_await task->waitFor(kSweepWait);
    } catch (...) {
      // The sweeper's own cancellation cuts its wait short and ends here.
    }
  }
  // The transmit loop hands its worker back only after the job it is in.
  try {
    co_await txTask->waitFor(kSweepWait * 50);
  } catch (...) {
  }
  if (!restarting) session.dropQueuedCommands();

  // A stop says goodbye; a restart comes back at once and stays "online".
  if (!restarting) publishStatus(session, *client, kStatusOffline);
  print("Disconnecting MQTT client...");
  co_await client->disconnect(restarting ? MqttClient::WillAtDisconnect::Drop
                                         : MqttClient::WillAtDisconnect::PublishIfUndelivered);
}

Awaitable<void> startVantro(const Args& args, std::string broker_host, std::string username,
                            std::string password, std::string serialDevice, unsigned serialSpeed,
                            EventLoop& eventLoop, Event& stopSignal, Event& restartSignal,
                            bool isRestarting) {
  return startVantro(processSession(), args, std::move(broker_host), std::move(username),
                     std::move(password), std::move(serialDevice), serialSpeed, eventLoop,
                     stopSignal, restartSignal, isRestarting);
}

}  // namespace vantro
