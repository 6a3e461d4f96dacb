// Encryption set-up: hands the Duzediv Eri the gateway's radio identity and the
// stored state of every peer, one confirmed command at a time.
#include <dirent.h>

#include <cerrno>
#include <charconv>
#include <memory>
#include <system_error>
#include <vector>

#include "vantro/protocol/TelvariSpeakV1/Records.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

constexpr std::string_view kStatusSuffix = ".status";

// UIDs of the "{uid}.status" files in `dir`, in directory order. Names that are
// not a decimal UID are skipped.
std::vector<std::uint32_t> storedPeers(const std::string& dir) {
  std::vector<std::uint32_t> uids;
  const std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), &::closedir);
  if (!d) throw std::system_error(errno, std::generic_category(), "cannot list " + dir);
  // readdir ends with null both at the end and on an error; only errno tells
  // them apart, and a listing cut short would leave peers without their state.
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d.get());
    if (e == nullptr) {
      if (errno != 0) throw std::system_error(errno, std::generic_category(), "cannot list " + dir);
      break;
    }
    const std::string_view name(e->d_name);
    if (name.empty() || name.front() == '.') continue;  // hidden files do not match *.status
    if (name.size() <= kStatusSuffix.size() || !name.ends_with(kStatusSuffix)) continue;
    // The number runs up to the last dot: "4.2.status" gives "4.2", which is not one.
    const std::string_view stem = name.substr(0, name.rfind('.'));
    std::uint32_t uid = 0;
    const auto [ptr, ec] = std::from_chars(stem.data(), stem.data() + stem.size(), uid);
    if (ec == std::errc() && ptr == stem.data() + stem.size()) uids.push_back(uid);
  }
  return uids;
}

}  // namespace

Awaitable<void> TelvariSpeakV1::setupEncryption(const Args& args) {
  const std::vector<std::uint32_t> uidList = storedPeers(statusDir);
  const int nodeId = static_cast<int>(args.nodeId);
  ChachaSerialRFM69 localLink(nodeId, kPeerRssiThreshold, statusDir);

  writeCommand(buildLocalSetup(args.nodeId, args.networkId));
  print("Sent local node setup for node {}, network {} \n", args.nodeId, args.networkId);
  co_await waitForRxMsg(*ser, "Local node setup complete");

  for (const std::uint32_t uid : uidList) {
    auto myradio = std::make_unique<ChachaSerialRFM69>(nodeId, kPeerRssiThreshold, statusDir);
    if (!myradio->setupEncryptionForNode(uid)) continue;
    const Bytes command =
        buildPeerSetup(myradio->local.at("startupCounter"), myradio->peer.at("uid"),
                       myradio->peer.at("startupCounter"), myradio->peer.at("messageCounter"),
                       myradio->encryptionKey);
    uid2Radio[uid] = std::move(myradio);
    writeCommand(command);
    print("Sent peer node setup\n");
    co_await waitForRxMsg(*ser, "Peer setup complete");
  }
  encryptionSetup = true;
  postEncryption();
}

void TelvariSpeakV1::postEncryption() {
  // Readings are kept while MQTT is away, so the board need not wait for it.
  wakeupRadio();
}

}  // namespace vantro
