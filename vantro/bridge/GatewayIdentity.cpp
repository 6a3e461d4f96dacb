#include "vantro/bridge/GatewayIdentity.hpp"

#include <fmt/format.h>

#include <stdexcept>

#include "vantro/runtime/Escape.hpp"

namespace vantro {

std::string GatewayIdentity::hatType() const {
  return boardType == 3 ? "Telvari Duzediv Eri for Orange Pi" : std::to_string(boardType);
}

std::string GatewayIdentity::info() const {
  return fmt::format(
      "Gateway Info: \n\tFirmware Revision: {}\n\tUnique ID: {}\n\tHat Type: {}\n\tHardware "
      "Revision: {}\n\tBuild Date: {}\n\tS/N: {}\n\tRadio: {}",
      fwRevision, uniqueId, hatType(), hwRev, buildDate, escapeControls(serialNum), radioDesc);
}

GatewayIdentity decodeGatewayIdentity(ByteView block) {
  GatewayIdentity id;
  id.fwRevision = readU32BE(block, 0);
  id.uniqueId = readU32BE(block, 4);
  id.uniqueIdBytes.assign(block.begin() + 4, block.begin() + 8);
  id.boardType = byteAt(block, 8);
  id.hwRev = fmt::format("{}.{}.{}", byteAt(block, 9), byteAt(block, 10), byteAt(block, 11));
  const unsigned year = static_cast<unsigned>(byteAt(block, 14)) |
                        (static_cast<unsigned>(byteAt(block, 15)) << 8);  // little-endian
  id.buildDate = fmt::format("{}.{}.{}", byteAt(block, 12), byteAt(block, 13), year);
  const Byte radioSettings = byteAt(block, 16);
  const char* radioHW = (radioSettings & 0x01) ? "H/W" : "W";
  const char* radioFreq = (radioSettings & 0x02) ? "868 MHz" : "433 MHz";
  id.radioDesc = fmt::format("{}, {} ", radioFreq, radioHW);
  const std::size_t end = std::min<std::size_t>(block.size(), 29);
  for (std::size_t i = 17; i < end; ++i) {
    if (block[i] >= 0x80) {
      throw std::invalid_argument(
          fmt::format("serial number byte {} (0x{:02x}) is not ASCII", i - 17, block[i]));
    }
    id.serialNum += static_cast<char>(block[i]);
  }
  return id;
}

}  // namespace vantro
