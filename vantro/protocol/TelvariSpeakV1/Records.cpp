#include "vantro/protocol/TelvariSpeakV1/Records.hpp"

#include <fmt/format.h>

#include <stdexcept>

namespace vantro {

ValidRx decodeValidRx(ByteView payload) {
  ValidRx r;
  r.senderUID = readU32BE(payload, 0);
  r.msgsender = byteAt(payload, 4);
  r.rssi = -static_cast<int>(byteAt(payload, 6));
  return r;
}

InvalidRx decodeInvalidRx(ByteView payload) {
  InvalidRx r;
  r.msgsender = byteAt(payload, 0);
  r.recipient = byteAt(payload, 1);
  r.rssi = -static_cast<int>(byteAt(payload, 2));
  r.connIdx = byteAt(payload, 3);
  return r;
}

Statistics decodeStatistics(ByteView payload) {
  return Statistics{readU32BE(payload, 0), readU32BE(payload, 4)};
}

std::string decodeText(ByteView b) {
  std::string out;
  std::size_t i = 0;
  while (i < b.size()) {
    const Byte c = b[i];
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07u;
    } else {
      ++i;  // not a lead byte: dropped
      continue;
    }
    bool ok = i + len <= b.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      ok = (b[i + k] & 0xC0) == 0x80;
      cp = (cp << 6) | (b[i + k] & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF do not decode either.
    if (ok) {
      ok = !((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
             (cp >= 0xD800 && cp <= 0xDFFF));
    }
    if (ok) {
      out.append(reinterpret_cast<const char*>(&b[i]), len);
      i += len;
    } else {
      ++i;
    }
  }
  return out;
}

std::string strip(const std::string& s) {
  const char* ws = " \t\n\r\f\v";
  const auto begin = s.find_first_not_of(ws);
  if (begin == std::string::npos) return {};
  const auto end = s.find_last_not_of(ws);
  return s.substr(begin, end - begin + 1);
}

static Byte idByte(long long v, const char* what) {
  if (v < 0 || v > 255) {
    throw std::out_of_range(fmt::format("{} {} does not fit in one byte (0 to 255)", what, v));
  }
  return static_cast<Byte>(v);
}

Bytes buildLocalSetup(long long nodeId, long long networkId) {
  Bytes out{'L', 'S', idByte(nodeId, "node id"), idByte(networkId, "network id"), 0, 0, 0, 0};
  return out;
}

Bytes buildPeerSetup(std::uint32_t localStartupCounter, std::uint32_t peerUid,
                     std::uint32_t peerStartupCounter, std::uint32_t peerMessageCounter,
                     ByteView key) {
  Bytes out{'P', 'S'};
  appendU32BE(out, localStartupCounter);
  out.push_back(0);
  appendU32BE(out, peerUid);
  appendU32BE(out, peerStartupCounter);
  appendU32BE(out, peerMessageCounter);
  out.insert(out.end(), key.begin(), key.end());
  return out;
}

}  // namespace vantro
