#pragma once
// The 30-byte identity block that follows the board's announcement "HL" and
// its protocol version byte.
#include <cstdint>
#include <string>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

struct GatewayIdentity {
  std::uint32_t fwRevision = 0;
  std::uint32_t uniqueId = 0;
  Bytes uniqueIdBytes;  // the 4 bytes as received (big-endian)
  int boardType = 0;
  std::string hwRev;      // "1.2.3"
  std::string buildDate;  // "7.11.2023"
  std::string serialNum;
  std::string radioDesc;  // "868 MHz, H/W " (ends with a blank)

  /// The Hat type as printed: the board's name for type 3, else the number.
  std::string hatType() const;
  /// The "Gateway Info" text printed after the announcement.
  std::string info() const;
};

/// Decodes a block of 17 to 30 bytes (the serial number holds what arrived).
/// Throws std::out_of_range for fewer than 17 bytes and std::invalid_argument
/// for a serial number that is not ASCII.
GatewayIdentity decodeGatewayIdentity(ByteView block);

}  // namespace vantro
