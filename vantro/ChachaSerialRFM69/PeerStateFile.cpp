#include "vantro/ChachaSerialRFM69/PeerStateFile.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

#include <fmt/format.h>

namespace vantro::peerlink {
namespace {

constexpr std::array<Byte, 4> kMagic = {'V', 'P', 'S', 'T'};
constexpr std::size_t kChecksumOffset = kStateFileSize - 4;

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1U) ? (0xEDB88320U ^ (c >> 1)) : (c >> 1);
    table[i] = c;
  }
  return table;
}

constexpr auto kCrcTable = makeCrcTable();

}  // namespace

std::uint32_t crc32(ByteView data) {
  std::uint32_t c = 0xFFFFFFFFU;
  for (Byte b : data) c = kCrcTable[(c ^ b) & 0xFFU] ^ (c >> 8);
  return c ^ 0xFFFFFFFFU;
}

Bytes encodePeerState(const PeerState& state) {
  Bytes out(kMagic.begin(), kMagic.end());
  out.push_back(kStateFileVersion);
  appendU32BE(out, state.localStartupCounter);
  appendU32BE(out, state.uid);
  appendU32BE(out, state.peerStartupCounter);
  appendU32BE(out, state.peerMessageCounter);
  appendU32BE(out, crc32(out));
  return out;
}

PeerState decodePeerState(ByteView content) {
  if (content.empty()) throw std::invalid_argument("empty file");
  if (content.size() < kStateFileSize) {
    throw std::invalid_argument(
        fmt::format("truncated: {} of {} bytes", content.size(), kStateFileSize));
  }
  if (content.size() > kStateFileSize) {
    throw std::invalid_argument(
        fmt::format("too long: {} bytes instead of {}", content.size(), kStateFileSize));
  }
  if (!std::equal(kMagic.begin(), kMagic.end(), content.begin())) {
    throw std::invalid_argument("not a peer state file (bad magic)");
  }
  if (content[4] != kStateFileVersion) {
    throw std::invalid_argument(fmt::format("unknown format version {}", content[4]));
  }
  const std::uint32_t stored = readU32BE(content, kChecksumOffset);
  const std::uint32_t actual = crc32(content.first(kChecksumOffset));
  if (stored != actual) {
    throw std::invalid_argument(
        fmt::format("checksum mismatch (stored {:08x}, computed {:08x})", stored, actual));
  }
  PeerState state;
  state.localStartupCounter = readU32BE(content, 5);
  state.uid = readU32BE(content, 9);
  state.peerStartupCounter = readU32BE(content, 13);
  state.peerMessageCounter = readU32BE(content, 17);
  return state;
}

}  // namespace vantro::peerlink
