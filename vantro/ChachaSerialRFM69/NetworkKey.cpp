#include "vantro/ChachaSerialRFM69/NetworkKey.hpp"

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

#include "vantro/runtime/AtomicFile.hpp"

namespace vantro::peerlink {

static_assert(kNetworkKeySize == crypto_kdf_KEYBYTES);
static_assert(sizeof(kKeyContext) - 1 == crypto_kdf_CONTEXTBYTES);
static_assert(kPeerKeySize >= crypto_kdf_BYTES_MIN && kPeerKeySize <= crypto_kdf_BYTES_MAX);

SecretBytes::~SecretBytes() {
  sodium_memzero(bytes_.data(), bytes_.size());
}

void initSodium() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = sodium_init() >= 0; });
  if (!ok) throw std::runtime_error("libsodium could not be initialised");
}

namespace {

/// Reads an existing key file into `key`; false when there is none.
bool readNetworkKey(const std::string& path, SecretBytes& key) {
  Bytes content;
  try {
    content = readSmallFile(path, kNetworkKeySize);
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::no_such_file_or_directory) return false;
    throw;
  }
  const std::size_t size = content.size();
  std::copy(content.begin(), content.end(), key.data());
  sodium_memzero(content.data(), content.size());
  if (size != kNetworkKeySize) {
    throw std::runtime_error(
        fmt::format("{} holds {} bytes instead of {}", path, size, kNetworkKeySize));
  }
  return true;
}

}  // namespace

void loadOrCreateNetworkKey(const std::string& statusDir, SecretBytes& key) {
  initSodium();
  if (key.size() != kNetworkKeySize) throw std::invalid_argument("network key buffer size");
  const std::string path = statusDir + "/" + kNetworkKeyFile;
  if (readNetworkKey(path, key)) return;

  SecretBytes fresh(kNetworkKeySize);
  randombytes_buf(fresh.data(), fresh.size());
  if (writeFileAtomically(statusDir, kNetworkKeyFile, fresh.bytes(), AtomicWrite::CreateOnly)) {
    std::copy(fresh.bytes().begin(), fresh.bytes().end(), key.data());
    return;
  }
  // Another process created the key first: use that one.
  if (!readNetworkKey(path, key)) {
    throw std::system_error(ENOENT, std::generic_category(),
                            fmt::format("{} vanished while it was created", path));
  }
}

Bytes derivePeerKey(const SecretBytes& networkKey, std::uint32_t uid) {
  initSodium();
  Bytes out(kPeerKeySize);
  if (crypto_kdf_derive_from_key(out.data(), out.size(), uid, kKeyContext, networkKey.data()) !=
      0) {
    throw std::runtime_error(fmt::format("cannot derive the key of peer {}", uid));
  }
  return out;
}

}  // namespace vantro::peerlink
