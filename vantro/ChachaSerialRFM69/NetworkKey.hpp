#pragma once
// The network master key "{statusDir}/network.key" (32 random bytes, mode
// 0600) and the per-peer keys derived from it with libsodium's
// crypto_kdf_derive_from_key: subkey id = peer UID, context "vantropk".
#include <cstddef>
#include <cstdint>
#include <string>

#include "vantro/runtime/Bytes.hpp"

namespace vantro::peerlink {

inline constexpr std::size_t kNetworkKeySize = 32;
inline constexpr std::size_t kPeerKeySize = 32;
inline constexpr char kNetworkKeyFile[] = "network.key";
inline constexpr char kKeyContext[] = "vantropk";  // exactly crypto_kdf_CONTEXTBYTES

/// Key bytes that are wiped when they go out of scope.
class SecretBytes {
 public:
  explicit SecretBytes(std::size_t size) : bytes_(size) {}
  ~SecretBytes();
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  Byte* data() { return bytes_.data(); }
  const Byte* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  Bytes& bytes() { return bytes_; }

 private:
  Bytes bytes_;
};

/// Initialises libsodium once per process. Throws std::runtime_error if it cannot.
void initSodium();

/// Reads the network master key, creating it from the system random source
/// when the file does not exist yet. Creation is atomic: when two processes
/// race, both end up with the key that reached the file first. Throws
/// std::system_error for I/O errors and std::runtime_error for a file of the
/// wrong size.
void loadOrCreateNetworkKey(const std::string& statusDir, SecretBytes& key);

/// The 32-byte key of peer `uid`.
Bytes derivePeerKey(const SecretBytes& networkKey, std::uint32_t uid);

}  // namespace vantro::peerlink
