// Peer state files as the encryption set-up reads them from the status
// folder: "{uid}.status", and the network key beside them.
//
// Input: the content of a state file. It is decoded, written as the state of
// UID 258 (or of the UID inside, when it decodes) and set up; then written
// as the network key beside a good state file and set up again.
#include "fuzz/Support.hpp"
#include "fuzz/Targets.hpp"
#include "vantro/ChachaSerialRFM69/ChachaSerialRFM69.hpp"
#include "vantro/ChachaSerialRFM69/PeerStateFile.hpp"

namespace vantro::fuzz {
namespace {

const ScratchDir& scratch() {
  static const ScratchDir* d = new ScratchDir;
  return *d;
}

void checkSetUp(const ChachaSerialRFM69& radio, const peerlink::PeerState& s) {
  check(radio.local.at("startupCounter") == s.localStartupCounter, "local counter differs");
  check(radio.peer.at("uid") == s.uid, "peer UID differs");
  check(radio.peer.at("startupCounter") == s.peerStartupCounter, "peer counter differs");
  check(radio.peer.at("messageCounter") == s.peerMessageCounter, "message counter differs");
  check(radio.encryptionKey.size() == 32, "key is not 32 bytes");
}

}  // namespace

int fuzzPeerState(const std::uint8_t* data, std::size_t size) {
  const ByteView content(data, size);
  const ScratchDir& dir = scratch();
  dir.clear();

  std::optional<peerlink::PeerState> decoded;
  try {
    decoded = peerlink::decodePeerState(content);
  } catch (const std::invalid_argument&) {
  }
  if (decoded) {
    const Bytes again = peerlink::encodePeerState(*decoded);
    check(again.size() == size && std::equal(again.begin(), again.end(), data),
          "a decoded state does not encode to the same file");
  }
  const std::uint32_t uid = decoded ? decoded->uid : 258;
  writeFile(ChachaSerialRFM69::statePath(dir.str(), uid), content);
  ChachaSerialRFM69 radio(1, -80, dir.str());
  const bool ok = radio.setupEncryptionForNode(uid);
  check(ok == decoded.has_value(), "set-up and decoder disagree on the file");
  if (ok) checkSetUp(radio, *decoded);

  // The same bytes as the network key, beside a good state file.
  dir.clear();
  const peerlink::PeerState good{7, 258, 3, 99};
  writeFile(ChachaSerialRFM69::statePath(dir.str(), 258), peerlink::encodePeerState(good));
  writeFile(dir.path() / "network.key", content);
  ChachaSerialRFM69 second(1, -80, dir.str());
  if (second.setupEncryptionForNode(258)) checkSetUp(second, good);
  return 0;
}

}  // namespace vantro::fuzz
