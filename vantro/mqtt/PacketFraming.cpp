#include "vantro/mqtt/PacketFraming.hpp"

namespace vantro::mqtt {

std::size_t wholePackets(ByteView bytes) {
  constexpr std::size_t kMaxLengthBytes = 4;
  std::size_t count = 0;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t at = pos + 1;  // past the fixed header byte
    std::size_t remaining = 0;
    std::size_t shift = 0;
    for (std::size_t i = 0;; ++i) {
      if (i == kMaxLengthBytes || at >= bytes.size()) return count;
      const Byte b = bytes[at++];
      remaining |= static_cast<std::size_t>(b & 0x7F) << shift;
      shift += 7;
      if ((b & 0x80) == 0) break;
    }
    if (bytes.size() - at < remaining) return count;
    pos = at + remaining;
    ++count;
  }
  return count;
}

}  // namespace vantro::mqtt
