#pragma once
// Peer link component: the encryption state of each radio peer, kept in the
// status directory as one file per peer ("{uid}.status"), and the per-peer key
// derived from the network master key ("network.key").
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

class ChachaSerialRFM69 {
 public:
  /// `nodeId` is the gateway's node id, `rssiThreshold` the weakest signal (dBm)
  /// the link accepts. Has no effect on the serial line or the files.
  ChachaSerialRFM69(int nodeId, int rssiThreshold, std::string statusDir);

  /// Loads the state of peer `uid` from "{statusDir}/{uid}.status" and derives
  /// its key. Returns false, after printing one line naming the UID and the
  /// reason, for a missing, unreadable, truncated or corrupt file or one whose
  /// UID does not match its name. Never throws on file content.
  bool setupEncryptionForNode(std::uint32_t uid);

  /// After a successful setupEncryptionForNode: "startupCounter".
  std::map<std::string, std::uint32_t> local;
  /// After a successful setupEncryptionForNode: "uid", "startupCounter", "messageCounter".
  std::map<std::string, std::uint32_t> peer;
  /// The 32-byte key of the pairing.
  Bytes encryptionKey;

  /// Persists a peer's state: `first` is the 4-byte local start-up counter,
  /// `second` the peer's UID (big-endian) followed by its start-up and message
  /// counters (12 bytes). Writes "{statusDir}/{uid}.status" atomically (temporary
  /// file, fsync, rename, fsync of the directory), mode 0600. Throws
  /// std::invalid_argument for blocks of the wrong size, std::system_error on I/O errors.
  static void storeState(const std::string& statusDir, ByteView first, ByteView second);
  /// As above; `beforeCommit` runs with the temporary file's path once it is
  /// written and synced, before it replaces the old state (lets tests stop there).
  static void storeState(const std::string& statusDir, ByteView first, ByteView second,
                         const std::function<void(const std::string& tempPath)>& beforeCommit);

  /// "{statusDir}/{uid}.status".
  static std::string statePath(const std::string& statusDir, std::uint32_t uid);

  int nodeId() const { return nodeId_; }
  int rssiThreshold() const { return rssiThreshold_; }
  const std::string& statusDir() const { return statusDir_; }

 private:
  int nodeId_;
  int rssiThreshold_;
  std::string statusDir_;
};

}  // namespace vantro
