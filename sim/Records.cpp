#include "sim/Records.hpp"

#include <stdexcept>

#include <fmt/format.h>

namespace sim {

void appendU16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<Byte>(v >> 8));
  out.push_back(static_cast<Byte>(v));
}

void appendU32(Bytes& out, std::uint32_t v) {
  appendU16(out, static_cast<std::uint16_t>(v >> 16));
  appendU16(out, static_cast<std::uint16_t>(v));
}

std::uint16_t readU16(ByteView b, std::size_t offset) {
  if (b.size() < offset + 2) throw std::out_of_range("16-bit field beyond the end of the frame");
  return static_cast<std::uint16_t>((b[offset] << 8) | b[offset + 1]);
}

std::uint32_t readU32(ByteView b, std::size_t offset) {
  return (std::uint32_t{readU16(b, offset)} << 16) | readU16(b, offset + 2);
}

std::string hex(ByteView b) {
  std::string s;
  for (Byte v : b) s += fmt::format("{:02x}", v);
  return s;
}

Byte toBcd(int value) {
  if (value < 0 || value > 99) throw std::out_of_range(fmt::format("BCD value {} not 0-99", value));
  return static_cast<Byte>(((value / 10) << 4) | (value % 10));
}

std::array<Byte, 8> dateRecord(const DateTime& t) {
  return {toBcd(t.year - 2000),
          toBcd(t.month),
          toBcd(t.day),
          toBcd(t.second),
          toBcd(t.minute),
          toBcd(t.hour),
          static_cast<Byte>(t.millis >> 8),
          static_cast<Byte>(t.millis)};
}

namespace {

/// A record's first bytes, with room reserved for the rest.
Bytes marker(std::string_view letters, std::size_t rest = 32) {
  Bytes out;
  out.reserve(letters.size() + rest);
  out.insert(out.end(), letters.begin(), letters.end());
  return out;
}

void append(Bytes& out, ByteView more) {
  out.insert(out.end(), more.begin(), more.end());
}

/// Records with a length byte: the length counts everything after it.
Bytes withLength(std::string_view letters, const Bytes& body) {
  if (body.size() > 255) throw std::length_error("record body longer than 255 bytes");
  Bytes out = marker(letters, body.size() + 1);
  out.push_back(static_cast<Byte>(body.size()));
  append(out, body);
  return out;
}

}  // namespace

Bytes logRecord(std::string_view text) {
  Bytes out = marker("LG", text.size() + 2);
  out.insert(out.end(), text.begin(), text.end());
  out.push_back('\r');
  out.push_back('\n');
  return out;
}

Bytes announcement(Byte protocolVersion, const Identity& id) {
  if (id.serialNumber.size() > kSerialNumberSize)
    throw std::invalid_argument(fmt::format("serial number '{}' longer than {} characters",
                                            id.serialNumber, kSerialNumberSize));
  Bytes out = marker("HL");
  out.push_back(protocolVersion);
  appendU32(out, id.fwRevision);
  appendU32(out, id.uniqueId);
  out.push_back(id.boardType);
  append(out, id.hwRev);
  out.push_back(id.buildDay);
  out.push_back(id.buildMonth);
  out.push_back(static_cast<Byte>(id.buildYear));  // the year is little-endian
  out.push_back(static_cast<Byte>(id.buildYear >> 8));
  out.push_back(id.radioSettings);
  std::string serial = id.serialNumber;
  serial.resize(kSerialNumberSize, ' ');
  out.insert(out.end(), serial.begin(), serial.end());
  out.push_back(0);  // spare
  return out;
}

Bytes nodeDataRecord(const NodeData& d, const DateTime* date) {
  Bytes body;
  appendU32(body, d.uid);
  body.push_back(d.nodeId);
  body.push_back(0);
  body.push_back(d.rssi);
  if (date) append(body, dateRecord(*date));
  append(body, d.body);
  return withLength(d.duplicate ? "SI" : "SD", body);
}

Bytes decryptFailureRecord(const DecryptFailure& f, const DateTime* date) {
  Bytes body{f.sender, f.recipient, f.rssi, f.connIdx};
  if (date) append(body, dateRecord(*date));
  append(body, f.rest);
  return withLength("SX", body);
}

Bytes storeStateRecord(const PeerState& s) {
  Bytes out = marker("SP");
  appendU32(out, s.localStartupCounter);
  out.push_back(0);
  appendU32(out, s.uid);
  appendU32(out, s.peerStartupCounter);
  appendU32(out, s.messageCounter);
  return out;
}

Bytes statisticsRecord(std::uint32_t numReceived, std::uint32_t numMissed) {
  Bytes out = marker("ST");
  appendU32(out, numReceived);
  appendU32(out, numMissed);
  return out;
}

Bytes timeRecord(const DateTime& t) {
  Bytes out = marker("RT");
  append(out, dateRecord(t));
  return out;
}

Bytes climateBody(std::int16_t centiCelsius, std::uint16_t centiPercent, std::uint16_t millivolts) {
  Bytes out{0x01};
  appendU16(out, static_cast<std::uint16_t>(centiCelsius));
  appendU16(out, centiPercent);
  appendU16(out, millivolts);
  return out;
}

Bytes distanceBody(std::uint16_t millimetres, std::uint16_t millivolts) {
  Bytes out{0x02};
  appendU16(out, millimetres);
  appendU16(out, millivolts);
  return out;
}

Bytes waterBody(std::int16_t centiCelsius, std::uint16_t millivolts) {
  Bytes out{0x03};
  appendU16(out, static_cast<std::uint16_t>(centiCelsius));
  appendU16(out, millivolts);
  return out;
}

Bytes batteryBody(std::uint16_t millivolts) {
  Bytes out{0x04};
  appendU16(out, millivolts);
  return out;
}

}  // namespace sim
