#pragma once
// The bridge core: the entry coroutine and its supervision, the serial receive
// and transmit loops, the MQTT callbacks, control of the Duzediv Eri's reset
// and standby, and the privilege drop.
//
// Each function works on the session it is given; the overloads without one
// work on the process's session (processSession()).
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "vantro/bridge/Session.hpp"
#include "vantro/link/SerialLink.hpp"
#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/protocol/TelvariSpeakV1/Args.hpp"
#include "vantro/runtime/Event.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro {

/// How long a first start waits for the board's start-up report.
inline constexpr std::chrono::milliseconds kHatStartupTimeout{5500};
/// MQTT session settings of the bridge.
inline constexpr std::uint32_t kSessionExpiryInterval = 1209600;  // 14 days
inline constexpr int kMqttKeepAlive = 60;

/// One run of the bridge: reset and start-up wait (first start only), privilege
/// drop, serial port, MQTT client, the two loops and the command feeder; then
/// waits for `stopSignal` or `restartSignal` and tears the run down. Errors of
/// the start-up steps reach the caller (a port opened by then stays open in
/// `ser`). `onRunning`, when given, is called once the run is up (port open,
/// start-up wait over, loops started), right before the wait for a signal.
Awaitable<void> startVantro(Session& session, const Args& args, std::string broker_host,
                            std::string username, std::string password, std::string serialDevice,
                            unsigned serialSpeed, EventLoop& eventLoop, Event& stopSignal,
                            Event& restartSignal, bool isRestarting,
                            std::function<void()> onRunning = {});
Awaitable<void> startVantro(const Args& args, std::string broker_host, std::string username,
                            std::string password, std::string serialDevice, unsigned serialSpeed,
                            EventLoop& eventLoop, Event& stopSignal, Event& restartSignal,
                            bool isRestarting);

/// The serial receive loop; ends (after its closing line) only when cancelled.
Awaitable<void> processRxMsgs(Session& session, std::shared_ptr<MqttClient> client,
                              std::string broker_host, Args args);
Awaitable<void> processRxMsgs(std::shared_ptr<MqttClient> client, std::string broker_host,
                              Args args, std::string statusDir);
/// The transmit loop: runs queued transmit jobs on its one worker thread until
/// cancelled; then releases the worker without ever blocking the loop thread.
Awaitable<void> processTxMsgs(Session& session, EventLoop& eventLoop);
Awaitable<void> processTxMsgs(std::shared_ptr<MqttClient> client, Args args, EventLoop& eventLoop);

/// After every accepted connect: subscribes to the session's commands. The
/// owner of the client publishes "online" once libmosquitto has returned.
void on_connect(Session& session, MqttClient& client, int flags, int rc,
                const std::string& properties);
void on_message(Session& session, MqttClient& client, const std::string& topic,
                const Bytes& payload, int qos, const MessageProperties& properties);
void on_disconnect(MqttClient& client, int packet, std::exception_ptr exc);
void on_connect(MqttClient& client, int flags, int rc, const std::string& properties);
void on_message(MqttClient& client, const std::string& topic, const Bytes& payload, int qos,
                const MessageProperties& properties);

/// The gateway's availability topic, "gw/{uid}/status" ({uid}: the board's
/// unique ID): "online" (retained, QoS 1) after every connect, "offline"
/// before a stop and, as the will, when the gateway vanishes.
std::string statusTopic(const std::string& uid);
inline constexpr std::string_view kStatusOnline = "online";
inline constexpr std::string_view kStatusOffline = "offline";
/// Makes "offline" on the status topic the will of `client`'s next connects;
/// nothing while the board's UID is unknown.
void setStatusWill(const Session& session, MqttClient& client);
/// Publishes `status` on the status topic (retained, QoS 1) if `client` is
/// connected and the board's UID is known.
void publishStatus(const Session& session, MqttClient& client, std::string_view status);
/// Takes the UID of an announcement as the gateway's: the will follows it, and
/// a UID that changed while connected (another board) moves the status and
/// the command subscription to the new one.
void takeGatewayUid(Session& session, MqttClient& client, const std::string& uid);
/// Subscribes to the session's command filter and drops the filter of the
/// other scope, which the broker's session may keep from an earlier run.
void subscribeCommands(const Session& session, MqttClient& client);

/// Board kind: true on a Raspberry Pi (a "Hardware" line naming a BCM part).
bool isRaspi(const std::string& cpuinfoPath = "/proc/cpuinfo");
void hardResetHat();
/// Answers the board's "Press..." prompts until it reports "Gateway Module started up".
Awaitable<void> waitForHatStartup(std::shared_ptr<SerialLink> ser);
/// Puts the board in standby if a protocol object exists.
void shutdownRadio(Session& session);
void shutdownRadio();
void emptyFunc();

/// Throws std::runtime_error naming `dir` unless the account the gateway runs
/// as (the service account when started as root) may create files in it.
void checkStatusDirWritable(const std::string& dir);

/// Switches the process to the service account "tlv" when started as root.
void dropRootPrivileges();

/// Prints the error of a failed loop pass with its trace and pauses `pause`
/// before the next pass. Cancellation during the pause reaches the caller.
Awaitable<void> reportAndPause(std::exception_ptr error, Duration pause);

}  // namespace vantro
