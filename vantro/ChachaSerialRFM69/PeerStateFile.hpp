#pragma once
// Content of a peer state file "{uid}.status" (25 bytes, big-endian):
//   0  4  magic "VPST"
//   4  1  format version, 1
//   5  4  local start-up counter    } the layout of the board's "SP" record
//   9  4  peer UID                  } and of bytes 2 to 18 of the "PS"
//  13  4  peer start-up counter     } command (without the byte that
//  17  4  peer message counter      } follows the local counter there)
//  21  4  CRC-32 (IEEE, as zlib's crc32) of bytes 0 to 20
#include <cstddef>
#include <cstdint>

#include "vantro/runtime/Bytes.hpp"

namespace vantro::peerlink {

struct PeerState {
  std::uint32_t localStartupCounter = 0;
  std::uint32_t uid = 0;
  std::uint32_t peerStartupCounter = 0;
  std::uint32_t peerMessageCounter = 0;
};

inline constexpr std::size_t kStateFileSize = 25;
inline constexpr Byte kStateFileVersion = 1;

std::uint32_t crc32(ByteView data);

Bytes encodePeerState(const PeerState& state);

/// Throws std::invalid_argument naming what is wrong: empty, truncated or too
/// long content, bad magic, unknown version or a checksum mismatch.
PeerState decodePeerState(ByteView content);

}  // namespace vantro::peerlink
