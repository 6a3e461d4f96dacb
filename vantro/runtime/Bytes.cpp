#include "vantro/runtime/Bytes.hpp"

#include <stdexcept>

#include <fmt/format.h>

namespace vantro {

std::string bytesLiteral(ByteView b) {
  // Python picks single quotes unless the bytes contain ' and no ".
  bool hasSingle = false;
  bool hasDouble = false;
  for (Byte c : b) {
    hasSingle = hasSingle || c == '\'';
    hasDouble = hasDouble || c == '"';
  }
  const char quote = (hasSingle && !hasDouble) ? '"' : '\'';
  std::string out = "b";
  out += quote;
  for (Byte c : b) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c == static_cast<Byte>(quote)) {
          out += '\\';
          out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
          out += fmt::format("\\x{:02x}", c);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += quote;
  return out;
}

std::string bytesList(ByteView b) {
  std::string out = "[";
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(b[i]);
  }
  out += "]";
  return out;
}

static void need(ByteView b, std::size_t offset, std::size_t size) {
  if (offset > b.size() || b.size() - offset < size) {
    throw std::out_of_range(fmt::format("{}-byte field at offset {} is beyond the {} bytes read",
                                        size, offset, b.size()));
  }
}

Byte byteAt(ByteView b, std::size_t offset) {
  need(b, offset, 1);
  return b[offset];
}

std::uint16_t readU16BE(ByteView b, std::size_t offset) {
  need(b, offset, 2);
  return static_cast<std::uint16_t>((b[offset] << 8) | b[offset + 1]);
}

std::uint32_t readU32BE(ByteView b, std::size_t offset) {
  need(b, offset, 4);
  return (std::uint32_t{b[offset]} << 24) | (std::uint32_t{b[offset + 1]} << 16) |
         (std::uint32_t{b[offset + 2]} << 8) | std::uint32_t{b[offset + 3]};
}

void appendU16BE(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<Byte>(v >> 8));
  out.push_back(static_cast<Byte>(v));
}

void appendU32BE(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<Byte>(v >> 24));
  out.push_back(static_cast<Byte>(v >> 16));
  out.push_back(static_cast<Byte>(v >> 8));
  out.push_back(static_cast<Byte>(v));
}

}  // namespace vantro
