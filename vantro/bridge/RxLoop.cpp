// The serial receive loop: a two-byte window slides over what the board sends.
// Before a protocol object exists it only looks for the announcement "HL";
// afterwards every two-character start goes to the protocol object, which
// reads the rest of its record itself.
//
// The loop never goes deaf: a board that announces itself again (it rebooted)
// is set up again, and a serial device that goes away is reopened under the
// same path, with back-off, and the board started up again.
#include <stdexcept>
#include <vector>

#include "vantro/HatControl/GpioSetting.hpp"
#include "vantro/bridge/Bridge.hpp"
#include "vantro/bridge/GatewayIdentity.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/protocol/TelvariSpeakV2/TelvariSpeakV2.hpp"
#include "vantro/runtime/AtomicFile.hpp"
#include "vantro/runtime/Backoff.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

using namespace std::chrono_literals;
constexpr auto kErrorPause = 100ms;
// Reopening a serial device that went away: 1 s doubling to 30 s.
constexpr auto kReopenFirst = 1s;
constexpr auto kReopenMax = 30s;

// An announcement whose identity block could not be taken in.
class AnnouncementFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Replaces the gateway UID file with exactly `bytes`, atomically, so that a
// crash never leaves it half-written. Others may read it (0644).
void writeGatewayUid(const std::string& dir, ByteView bytes) {
  writeFileAtomically(dir, "gateway.uid", bytes, AtomicWrite::Replace, {}, 0644);
}

// Hands the reply to "PM" to the node command waiting for it.
Awaitable<void> forwardPeerModeReply(SerialLink& link, PeerModeReply& peerModeReply) {
  Bytes reply{'P', 'M'};
  const Bytes third = co_await link.read_async(1);
  reply.insert(reply.end(), third.begin(), third.end());
  peerModeReply.deliver(std::move(reply));
}

long long wholeSeconds(Duration d) {
  return std::chrono::duration_cast<std::chrono::seconds>(d).count();
}

// One call of the receive loop, with what its passes share.
class RxRun {
 public:
  RxRun(Session& session, std::shared_ptr<MqttClient> client, std::string brokerHost, Args args)
      : session_(session),
        client_(std::move(client)),
        brokerHost_(std::move(brokerHost)),
        args_(std::move(args)) {}

  Awaitable<void> run();

 private:
  Awaitable<void> pass();
  Awaitable<void> handleAnnouncement();
  Awaitable<void> takeAnnouncement(Byte version);
  Awaitable<void> recoverLink(std::string reason);
  Awaitable<void> startBoardAgain();
  void rejectedStart();

  Session& session_;
  std::shared_ptr<MqttClient> client_;
  std::string brokerHost_;
  Args args_;
  std::shared_ptr<SensorMsgParser> msgParser_ = std::make_shared<SensorMsgParser>();
  std::vector<Byte> msgStart_;
  bool mqttStarted_ = false;
  // Set while the window holds a byte that is not ASCII (see run()).
  bool undecodableWindow_ = false;
};

void RxRun::rejectedStart() {
  print("garbage: {}", msgStart_.front());
  ++session_.counters->garbageBytes;
  msgStart_.erase(msgStart_.begin());
}

Awaitable<void> RxRun::pass() {
  const std::shared_ptr<SerialLink> ser = session_.ser;
  const Bytes bytesRead = co_await ser->read_async(1);
  if (!bytesRead.empty()) msgStart_.push_back(bytesRead[0]);
  if (msgStart_.size() != 2) co_return;
  if (msgStart_[0] >= 0x80 || msgStart_[1] >= 0x80) {
    undecodableWindow_ = true;
    session_.counters->garbageBytes += msgStart_.size();
    throw std::invalid_argument(fmt::format(
        "'ascii' codec can't decode {}: ordinal not in range(128)", bytesLiteral(msgStart_)));
  }
  const std::string msgStartStr(msgStart_.begin(), msgStart_.end());
  PeerModeReply& peerModeReply = session_.commander.peerModeReply;
  const std::shared_ptr<TelvariSpeakV1> protocol = session_.myProtocol;
  if (msgStartStr == "HL") {
    // Also with a protocol object: a board that rebooted announces itself again.
    co_await handleAnnouncement();
  } else if (!protocol) {
    rejectedStart();
  } else if (msgStartStr == "PM" && peerModeReply.awaiting()) {
    co_await forwardPeerModeReply(*ser, peerModeReply);
    msgStart_.clear();
  } else {
    const bool msgSuccessfullyProcessed = co_await protocol->processMsg(msgStartStr);
    if (msgSuccessfullyProcessed) {
      session_.counters->recordRead();
      msgStart_.clear();
    } else {
      rejectedStart();
    }
  }
}

// The announcement: protocol version, identity block, gateway UID file, the
// will and the MQTT connection, firmware revision, identity, encryption set-up.
Awaitable<void> RxRun::handleAnnouncement() {
  const Bytes protocolVersion = co_await session_.ser->read_async(1);
  msgStart_.clear();
  if (protocolVersion.size() == 1 && (protocolVersion[0] == 0x01 || protocolVersion[0] == 0x02)) {
    co_await takeAnnouncement(protocolVersion[0]);
  } else {
    print("Unexpected protocol version {}", bytesLiteral(protocolVersion));
  }
}

Awaitable<void> RxRun::takeAnnouncement(Byte version) {
  const std::shared_ptr<SerialLink> ser = session_.ser;
  std::shared_ptr<TelvariSpeakV1> protocol = session_.myProtocol;
  if (protocol) print("Duzediv Eri restarted; setting it up again");
  // The identity is taken in whole before anything is set up, so that a
  // failed announcement leaves no half set-up gateway behind.
  GatewayIdentity identity;
  try {
    const Bytes payloadBytes = co_await ser->read_async(30);
    identity = decodeGatewayIdentity(payloadBytes);
    writeGatewayUid(session_.statusDir, identity.uniqueIdBytes);
  } catch (const Cancelled&) {
    throw;
  } catch (const SerialLinkLost&) {
    throw;
  } catch (const std::exception& e) {
    throw AnnouncementFailed(e.what());
  }
  const bool sameKind =
      protocol && (version == 0x02) == (dynamic_cast<TelvariSpeakV2*>(protocol.get()) != nullptr);
  if (!sameKind) {
    if (version == 0x01) {
      protocol = std::make_shared<TelvariSpeakV1>(ser, client_, msgParser_, session_.statusDir,
                                                  session_.uid2id);
    } else {
      protocol = std::make_shared<TelvariSpeakV2>(ser, client_, msgParser_, session_.statusDir,
                                                  session_.uid2id);
    }
    session_.replaceProtocol(protocol);
  }
  // Before the connect: the will names the UID.
  takeGatewayUid(session_, *client_, std::to_string(identity.uniqueId));
  if (!mqttStarted_) {
    mqttStarted_ = true;
    // In the background: the board is served while the broker is away.
    client_->connectInBackground(brokerHost_, args_.brokerPort, kMqttKeepAlive);
  }
  client_->publish(fmt::format("gw/{}/firmware/revision", identity.uniqueId),
                   static_cast<long long>(identity.fwRevision), 1, true);
  session_.operations.gatewayAnnounced(identity.uniqueId, identity.fwRevision, version);
  printLine(identity.info());
  co_await protocol->setupEncryption(args_);
}

// The board is restarted through its reset line where there is one, and its
// start-up awaited; without one the loop goes on reading, and a board that
// did restart is set up again when it announces itself.
Awaitable<void> RxRun::startBoardAgain() {
  if (gpioSetting().noReset) co_return;
  std::exception_ptr error;
  try {
    hardResetHat();
    co_await withTimeout(waitForHatStartup(session_.ser), kHatStartupTimeout, "hat-startup");
  } catch (const Cancelled&) {
    throw;
  } catch (...) {
    error = std::current_exception();
  }
  if (error) {
    print("The Duzediv Eri did not start up again ({}); waiting for its announcement",
          describe(error));
  }
}

Awaitable<void> RxRun::recoverLink(std::string reason) {
  const std::string path = session_.serialDevice;
  print("Serial device {} lost: {}", path, reason);
  session_.ser->close();
  Backoff backoff(kReopenFirst, kReopenMax);
  Duration delay = backoff.next();
  std::shared_ptr<SerialLink> link;
  for (;;) {
    co_await sleep(delay);
    std::string failure;
    try {
      link = std::make_shared<SerialLink>(EventLoop::running()->context(), path,
                                          session_.serialSpeed, SerialLink::kDefaultReadTimeout);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (failure.empty()) break;
    delay = backoff.next();
    print("Cannot reopen serial device {}: {}; next attempt in {} s", path, failure,
          wholeSeconds(delay));
  }
  print("Serial device {} reopened", path);
  ++session_.counters->serialReopens;
  session_.ser = link;
  if (session_.myProtocol) session_.myProtocol->rebind(link, client_, msgParser_);
  msgStart_.clear();
  co_await startBoardAgain();
}

Awaitable<void> RxRun::run() {
  // A restarted run finds the protocol object of the earlier run: it takes over
  // this run's port and client, and the client connects, so that on_connect
  // wakes the board again.
  if (session_.myProtocol) {
    session_.myProtocol->rebind(session_.ser, client_, msgParser_);
    setStatusWill(session_, *client_);
    mqttStarted_ = true;
    // In the background: the board is served while the broker is away.
    client_->connectInBackground(brokerHost_, args_.brokerPort, kMqttKeepAlive);
  }
  // A restarted run whose device was away starts by waiting for it.
  if (!session_.ser->isOpen()) co_await recoverLink("the device is not there");
  for (;;) {
    std::exception_ptr error;
    std::string linkLost;
    std::string announcementFailure;
    // A window with a byte that is not ASCII is line noise already consumed:
    // its error is printed but costs no pause, since the line has no flow
    // control and pausing per noise byte would let noise back up real records.
    undecodableWindow_ = false;
    try {
      co_await pass();
    } catch (const Cancelled&) {
      throw;
    } catch (const SerialLinkLost& e) {
      linkLost = e.what();
    } catch (const AnnouncementFailed& e) {
      announcementFailure = e.what();
    } catch (...) {
      error = std::current_exception();
    }
    if (!linkLost.empty()) {
      co_await recoverLink(linkLost);
    } else if (!announcementFailure.empty()) {
      msgStart_.clear();
      print("Announcement of the Duzediv Eri failed: {}; {}", announcementFailure,
            gpioSetting().noReset ? "waiting for the next announcement"
                                  : "resetting the Duzediv Eri");
      co_await startBoardAgain();
    } else if (error) {
      // A full window is emptied, so that the next byte starts a fresh one.
      if (msgStart_.size() >= 2) msgStart_.clear();
      co_await reportAndPause(error, undecodableWindow_ ? Duration::zero() : kErrorPause);
    }
  }
}

}  // namespace

Awaitable<void> processRxMsgs(Session& session, std::shared_ptr<MqttClient> client,
                              std::string broker_host, Args args) {
  RxRun run(session, std::move(client), std::move(broker_host), std::move(args));
  try {
    co_await run.run();
  } catch (const Cancelled&) {
  }
  print("RX: Serial connection cancelled.");
}

Awaitable<void> reportAndPause(std::exception_ptr error, Duration pause) {
  printTrace(error);
  if (pause > Duration::zero()) co_await sleep(pause);
}

Awaitable<void> processRxMsgs(std::shared_ptr<MqttClient> client, std::string broker_host,
                              Args args, std::string) {
  return processRxMsgs(processSession(), std::move(client), std::move(broker_host),
                       std::move(args));
}

}  // namespace vantro
