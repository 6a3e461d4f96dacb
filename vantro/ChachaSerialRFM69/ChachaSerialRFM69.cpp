#include "vantro/ChachaSerialRFM69/ChachaSerialRFM69.hpp"

#include <exception>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "vantro/ChachaSerialRFM69/NetworkKey.hpp"
#include "vantro/ChachaSerialRFM69/PeerStateFile.hpp"
#include "vantro/runtime/AtomicFile.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {

using peerlink::PeerState;

ChachaSerialRFM69::ChachaSerialRFM69(int nodeId, int rssiThreshold, std::string statusDir)
    : nodeId_(nodeId), rssiThreshold_(rssiThreshold), statusDir_(std::move(statusDir)) {}

std::string ChachaSerialRFM69::statePath(const std::string& statusDir, std::uint32_t uid) {
  return fmt::format("{}/{}.status", statusDir, uid);
}

bool ChachaSerialRFM69::setupEncryptionForNode(std::uint32_t uid) {
  local.clear();
  peer.clear();
  encryptionKey.clear();
  const std::string path = statePath(statusDir_, uid);
  try {
    PeerState state;
    try {
      state = peerlink::decodePeerState(readSmallFile(path, peerlink::kStateFileSize));
    } catch (const std::invalid_argument& e) {
      throw std::runtime_error(fmt::format("{}: {}", path, e.what()));
    }
    if (state.uid != uid) {
      throw std::runtime_error(fmt::format("{} holds the state of UID {}", path, state.uid));
    }
    peerlink::SecretBytes networkKey(peerlink::kNetworkKeySize);
    peerlink::loadOrCreateNetworkKey(statusDir_, networkKey);
    encryptionKey = peerlink::derivePeerKey(networkKey, uid);
    local["startupCounter"] = state.localStartupCounter;
    peer["uid"] = state.uid;
    peer["startupCounter"] = state.peerStartupCounter;
    peer["messageCounter"] = state.peerMessageCounter;
    return true;
  } catch (const std::exception& e) {
    print("Skipping encryption set-up of UID {}: {}", uid, e.what());
    return false;
  }
}

void ChachaSerialRFM69::storeState(const std::string& statusDir, ByteView first, ByteView second) {
  storeState(statusDir, first, second, {});
}

void ChachaSerialRFM69::storeState(const std::string& statusDir, ByteView first, ByteView second,
                                   const std::function<void(const std::string&)>& beforeCommit) {
  if (first.size() != 4) {
    throw std::invalid_argument(fmt::format(
        "storeState: the local block must be 4 bytes (start-up counter), got {}", first.size()));
  }
  if (second.size() != 12) {
    throw std::invalid_argument(fmt::format(
        "storeState: the peer block must be 12 bytes (UID, start-up and message counters), got {}",
        second.size()));
  }
  PeerState state;
  state.localStartupCounter = readU32BE(first, 0);
  state.uid = readU32BE(second, 0);
  state.peerStartupCounter = readU32BE(second, 4);
  state.peerMessageCounter = readU32BE(second, 8);
  writeFileAtomically(statusDir, fmt::format("{}.status", state.uid),
                      peerlink::encodePeerState(state), AtomicWrite::Replace, beforeCommit);
}

}  // namespace vantro
