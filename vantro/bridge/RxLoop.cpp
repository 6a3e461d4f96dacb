// The serial receive loop: a two-byte window slides over what the board sends.
// Before a protocol object exists it only looks for the announcement "HL";
// afterwards every two-character start goes to the protocol object, which
// reads the rest of its record itself.
#include <vector>

#include "vantro/bridge/Bridge.hpp"
#include "vantro/bridge/GatewayIdentity.hpp"
#include "vantro/bridge/MqttConnect.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/protocol/TelvariSpeakV2/TelvariSpeakV2.hpp"
#include "vantro/runtime/AtomicFile.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

using namespace std::chrono_literals;
constexpr auto kErrorPause = 100ms;

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

// The announcement: protocol version, identity block, gateway UID file, MQTT
// connection, firmware revision, identity, encryption set-up.
Awaitable<void> handleAnnouncement(Session& session, std::shared_ptr<MqttClient> client,
                                   const std::string& broker_host, const Args& args,
                                   std::shared_ptr<SensorMsgParser> msgParser,
                                   std::vector<Byte>& msgStart) {
  const std::shared_ptr<SerialLink> ser = session.ser;
  const Bytes protocolVersion = co_await ser->read_async(1);
  if (protocolVersion.size() == 1 && (protocolVersion[0] == 0x01 || protocolVersion[0] == 0x02)) {
    if (protocolVersion[0] == 0x01) {
      session.myProtocol = std::make_shared<TelvariSpeakV1>(ser, client, msgParser,
                                                            session.statusDir, session.uid2id);
    } else {
      session.myProtocol = std::make_shared<TelvariSpeakV2>(ser, client, msgParser,
                                                            session.statusDir, session.uid2id);
    }
    session.intake.wake();
    const Bytes payloadBytes = co_await ser->read_async(30);
    const GatewayIdentity identity = decodeGatewayIdentity(payloadBytes);
    writeGatewayUid(session.statusDir, identity.uniqueIdBytes);
    co_await connectMqtt(client, broker_host, args.brokerPort);
    client->publish(fmt::format("gw/{}/firmware/revision", identity.uniqueId),
                    static_cast<long long>(identity.fwRevision), 1, true);
    printLine(identity.info());
  } else {
    print("Unexpected protocol version {}", bytesLiteral(protocolVersion));
  }
  msgStart.clear();
  // Without a protocol object there is nothing to set up; the loop keeps
  // waiting for the next announcement.
  const std::shared_ptr<TelvariSpeakV1> protocol = session.myProtocol;
  if (protocol) co_await protocol->setupEncryption(args);
}

}  // namespace

Awaitable<void> processRxMsgs(Session& session, std::shared_ptr<MqttClient> client,
                              std::string broker_host, Args args) {
  std::vector<Byte> msgStart;
  auto msgParser = std::make_shared<SensorMsgParser>();
  // A restarted run finds the protocol object of the earlier run: it takes over
  // this run's port and client, and the client connects, so that on_connect
  // wakes the board again.
  const std::shared_ptr<SerialLink> ser = session.ser;
  if (session.myProtocol) {
    session.myProtocol->rebind(ser, client, msgParser);
    std::exception_ptr error;
    try {
      co_await connectMqtt(client, broker_host, args.brokerPort);
    } catch (const Cancelled&) {
      print("RX: Serial connection cancelled.");
      co_return;
    } catch (...) {
      error = std::current_exception();
    }
    if (error) printTrace(error);
  }
  for (;;) {
    std::exception_ptr error;
    // A window with a byte that is not ASCII is line noise already consumed:
    // its error is printed but costs no pause, since the line has no flow
    // control and pausing per noise byte would let noise back up real records.
    bool undecodableWindow = false;
    try {
      const Bytes bytesRead = co_await ser->read_async(1);
      if (!bytesRead.empty()) msgStart.push_back(bytesRead[0]);
      if (msgStart.size() == 2) {
        if (msgStart[0] >= 0x80 || msgStart[1] >= 0x80) {
          undecodableWindow = true;
          throw std::invalid_argument(fmt::format(
              "'ascii' codec can't decode {}: ordinal not in range(128)", bytesLiteral(msgStart)));
        }
        const std::string msgStartStr(msgStart.begin(), msgStart.end());
        PeerModeReply& peerModeReply = session.commander.peerModeReply;
        if (session.myProtocol) {
          bool msgSuccessfullyProcessed = false;
          if (msgStartStr == "PM" && peerModeReply.awaiting()) {
            co_await forwardPeerModeReply(*ser, peerModeReply);
            msgSuccessfullyProcessed = true;
          } else {
            auto protocol = session.myProtocol;
            msgSuccessfullyProcessed = co_await protocol->processMsg(msgStartStr);
          }
          if (msgSuccessfullyProcessed) {
            msgStart.clear();
          } else {
            print("garbage: {}", msgStart.front());
            msgStart.erase(msgStart.begin());
          }
        } else if (msgStartStr == "HL") {
          co_await handleAnnouncement(session, client, broker_host, args, msgParser, msgStart);
        } else {
          print("garbage: {}", msgStart.front());
          msgStart.erase(msgStart.begin());
        }
      }
    } catch (const Cancelled&) {
      print("RX: Serial connection cancelled.");
      co_return;
    } catch (...) {
      error = std::current_exception();
    }
    if (error) {
      // A full window is emptied, so that the next byte starts a fresh one.
      if (msgStart.size() >= 2) msgStart.clear();
      try {
        co_await reportAndPause(error, undecodableWindow ? Duration::zero() : kErrorPause);
      } catch (const Cancelled&) {
        print("RX: Serial connection cancelled.");
        co_return;
      }
    }
  }
}

}  // namespace vantro

namespace vantro {

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
