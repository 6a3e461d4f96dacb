#pragma once
// Decoders of the records the Duzediv Eri sends (after the two-letter marker)
// and builders of the control commands the host sends. Pure functions over
// byte spans; a field beyond the bytes read raises std::out_of_range.
#include <cstdint>
#include <string>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

/// "SD"/"SI" payload (the N bytes after the length byte), version 1 layout.
struct ValidRx {
  std::uint32_t senderUID = 0;
  int msgsender = 0;
  int rssi = 0;  // minus the magnitude byte
};
/// Decodes positions 0-3 (UID), 4 (node id) and 6 (signal magnitude).
ValidRx decodeValidRx(ByteView payload);

/// "SX" payload, version 1 layout.
struct InvalidRx {
  int msgsender = 0;
  int recipient = 0;
  int rssi = 0;
  int connIdx = 0;
};
InvalidRx decodeInvalidRx(ByteView payload);

/// "ST" statistics record (8 bytes).
struct Statistics {
  std::uint32_t numReceived = 0;
  std::uint32_t numMissed = 0;
};
Statistics decodeStatistics(ByteView payload);

/// Text of a serial line: UTF-8 with undecodable bytes dropped.
std::string decodeText(ByteView bytes);
/// `s` without white space at both ends (as the board pads its log lines).
std::string strip(const std::string& s);

/// "LS": local node set-up. Throws std::out_of_range for ids outside 0..255.
Bytes buildLocalSetup(long long nodeId, long long networkId);
/// "PS": peer set-up, 19 bytes followed by the key.
Bytes buildPeerSetup(std::uint32_t localStartupCounter, std::uint32_t peerUid,
                     std::uint32_t peerStartupCounter, std::uint32_t peerMessageCounter,
                     ByteView key);

}  // namespace vantro
