// The serial receive loop: a two-byte window slides over what the board sends.
// Before a protocol object exists it only looks for the announcement "HL";
// afterwards every two-character start goes to the protocol object, which
// reads the rest of its record itself.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/protocol/TelvariSpeakV2/TelvariSpeakV2.hpp"
#include "vantro/runtime/Print.hpp"
#include "vantro/bridge/Bridge.hpp"
#include "vantro/bridge/GatewayIdentity.hpp"
#include "vantro/bridge/MqttConnect.hpp"
#include "vantro/bridge/State.hpp"

namespace vantro {
namespace {

using namespace std::chrono_literals;
constexpr auto kErrorPause = 100ms;

// Replaces the gateway UID file with exactly `bytes` (temporary file + rename,
// so that a crash never leaves it half-written).
void writeGatewayUid(const std::string& dir, ByteView bytes) {
  const std::string path = dir + "/gateway.uid";
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot write " + path);
  const ssize_t n = ::write(fd, bytes.data(), bytes.size());
  const int err = errno;
  const bool ok = n == static_cast<ssize_t>(bytes.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    throw std::system_error(ok ? errno : err, std::generic_category(), "cannot write " + path);
  }
}

void learnNodesIntoModuleTable(TelvariSpeakV1& protocol) {
  protocol.onNodeLearned = [](std::uint32_t uid, int nodeId) { uid2id.set(uid, nodeId); };
}

// Hands the reply to "PM" to the node command waiting for it.
Awaitable<void> forwardPeerModeReply(SerialLink& link) {
  Bytes reply{'P', 'M'};
  const Bytes third = co_await link.read_async(1);
  reply.insert(reply.end(), third.begin(), third.end());
  peerModeReply.deliver(std::move(reply));
}

// The announcement: protocol version, identity block, gateway UID file, MQTT
// connection, firmware revision, identity, encryption set-up.
Awaitable<void> handleAnnouncement(std::shared_ptr<MqttClient> client,
                                   const std::string& broker_host, const Args& args,
                                   const std::string& dir,
                                   std::shared_ptr<SensorMsgParser> msgParser,
                                   std::vector<Byte>& msgStart) {
  const Bytes protocolVersion = co_await ser->read_async(1);
  if (protocolVersion.size() == 1 && (protocolVersion[0] == 0x01 || protocolVersion[0] == 0x02)) {
    if (protocolVersion[0] == 0x01) {
      myProtocol = std::make_shared<TelvariSpeakV1>(ser, client, msgParser, dir);
    } else {
      myProtocol = std::make_shared<TelvariSpeakV2>(ser, client, msgParser, dir);
    }
    learnNodesIntoModuleTable(*myProtocol);
    const Bytes payloadBytes = co_await ser->read_async(30);
    const GatewayIdentity identity = decodeGatewayIdentity(payloadBytes);
    writeGatewayUid(dir, identity.uniqueIdBytes);
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
  if (myProtocol) co_await myProtocol->setupEncryption(args);
}

}  // namespace

Awaitable<void> processRxMsgs(std::shared_ptr<MqttClient> client, std::string broker_host,
                              Args args, std::string dir) {
  std::vector<Byte> msgStart;
  auto msgParser = std::make_shared<SensorMsgParser>();
  // A restarted run finds the protocol object of the earlier run: it takes over
  // this run's port and client, and the client connects, so that on_connect
  // wakes the board again.
  if (myProtocol) {
    myProtocol->rebind(ser, client, msgParser);
    learnNodesIntoModuleTable(*myProtocol);
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
        if (myProtocol) {
          bool msgSuccessfullyProcessed = false;
          if (msgStartStr == "PM" && peerModeReply.awaiting()) {
            co_await forwardPeerModeReply(*ser);
            msgSuccessfullyProcessed = true;
          } else {
            auto protocol = myProtocol;
            msgSuccessfullyProcessed = co_await protocol->processMsg(msgStartStr);
          }
          if (msgSuccessfullyProcessed) {
            msgStart.clear();
          } else {
            print("garbage: {}", msgStart.front());
            msgStart.erase(msgStart.begin());
          }
        } else if (msgStartStr == "HL") {
          co_await handleAnnouncement(client, broker_host, args, dir, msgParser, msgStart);
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
      printTrace(error);
      // A full window is emptied, so that the next byte starts a fresh one.
      if (msgStart.size() >= 2) msgStart.clear();
      if (!undecodableWindow) {
        try {
          co_await sleep(kErrorPause);
        } catch (const Cancelled&) {
          print("RX: Serial connection cancelled.");
          co_return;
        }
      }
    }
  }
}

}  // namespace vantro
