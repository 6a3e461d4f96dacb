#pragma once
// Module-level state of the main module. It lives for the whole process and is
// never reset between runs of startVantro.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "vantro/link/SerialLink.hpp"
#include "vantro/runtime/Bytes.hpp"

namespace vantro {

class TelvariSpeakV1;
class IntelHex;

/// Node UID to network id. Read by node commands on the transmit worker and
/// filled on the event-loop thread from received messages, hence the lock.
class NodeIdTable {
 public:
  /// The network id of `uid`, or 255 when it is not known.
  int get(std::uint32_t uid) const;
  void set(std::uint32_t uid, int nodeId);
  std::map<std::uint32_t, int> snapshot() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::map<std::uint32_t, int> map_;
};

/// Hand-over of the three-byte reply to "PM" from the receive loop (the only
/// reader of the serial link) to setPeerMode on the transmit worker.
class PeerModeReply {
 public:
  /// Worker: announce that a reply is awaited (before writing "PM").
  void expect();
  /// Receive loop: true while a reply is awaited.
  bool awaiting() const;
  /// Receive loop: hands over the reply bytes (the marker "PM" and the third byte).
  void deliver(Bytes reply);
  /// Worker: waits for the reply for at most `timeout`; returns what was
  /// delivered, or nothing on time-out. Ends the expectation either way.
  Bytes wait(std::chrono::milliseconds timeout);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool awaiting_ = false;
  bool delivered_ = false;
  Bytes reply_;
};

/// The status directory: the gateway UID file and one ".status" file per peer.
/// The daemon may point it elsewhere before the first run.
extern std::string statusDir;
/// The radio protocol object, or empty before the board announced itself.
extern std::shared_ptr<TelvariSpeakV1> myProtocol;
/// The serial port of the current run.
extern std::shared_ptr<SerialLink> ser;
/// MQTT topic to the last payload received on it (loop thread only).
extern std::map<std::string, Bytes> txMsgQueue;
extern NodeIdTable uid2id;
/// Firmware images by file path (transmit worker only).
extern std::map<std::string, std::shared_ptr<IntelHex>> ihexCache;
/// State of the firmware transfer in progress (transmit worker only).
extern nlohmann::json flashUpdateStatus;
extern PeerModeReply peerModeReply;

/// Releases the protocol object and the serial link. They outlive a run but
/// hold timers and sockets of the event loop, so the owner of the loop calls
/// this before the loop goes rather than leaving them to process exit.
void releaseLoopBoundState();

}  // namespace vantro
