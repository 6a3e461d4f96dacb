#pragma once
// Byte strings as they travel on the serial line and in MQTT payloads.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantro {

using Byte = std::uint8_t;
using Bytes = std::vector<Byte>;
using ByteView = std::span<const Byte>;

inline Bytes toBytes(std::string_view s) {
  return Bytes(s.begin(), s.end());
}
inline std::string toString(ByteView b) {
  return std::string(b.begin(), b.end());
}

/// Python-style literal of a byte string, e.g. b'HL\x03' or b''.
std::string bytesLiteral(ByteView b);

/// Bracketed decimal list, e.g. [12, 0, 255] or [].
std::string bytesList(ByteView b);

/// Big-endian helpers. The read functions throw std::out_of_range when the span
/// is shorter than the field.
std::uint32_t readU32BE(ByteView b, std::size_t offset);
std::uint16_t readU16BE(ByteView b, std::size_t offset);
Byte byteAt(ByteView b, std::size_t offset);
void appendU16BE(Bytes& out, std::uint16_t v);
void appendU32BE(Bytes& out, std::uint32_t v);

}  // namespace vantro
