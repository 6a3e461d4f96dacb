#pragma once
// Encoders of everything the board sends to the host. Each function returns one
// whole record, marker included; the line sends it in one piece. Multi-byte
// integers are big-endian unless a field says otherwise.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Byte = std::uint8_t;
using Bytes = std::vector<Byte>;
using ByteView = std::span<const Byte>;

void appendU16(Bytes& out, std::uint16_t v);
void appendU32(Bytes& out, std::uint32_t v);
std::uint16_t readU16(ByteView b, std::size_t offset);
std::uint32_t readU32(ByteView b, std::size_t offset);
/// Lower-case hexadecimal, two digits a byte, no separators.
std::string hex(ByteView b);

/// The board's identity, sent in the 30-byte block after "HL".
struct Identity {
  std::uint32_t fwRevision = 7;
  std::uint32_t uniqueId = 4242;
  Byte boardType = 3;
  std::array<Byte, 3> hwRev{1, 2, 0};
  Byte buildDay = 15;
  Byte buildMonth = 3;
  std::uint16_t buildYear = 2024;
  Byte radioSettings = 0x03;                  // bit 0: H/W radio, bit 1: 868 MHz
  std::string serialNumber = "DZE000000001";  // at most 12 ASCII characters
};

/// Size of the identity block after "HL" and the version byte.
constexpr std::size_t kIdentitySize = 30;
/// Size of the serial number field; shorter numbers are padded with blanks.
constexpr std::size_t kSerialNumberSize = 12;

/// The board's clock reading, as its real-time clock holds it (no time zone).
struct DateTime {
  int year = 2000;  // 2000 to 2099
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millis = 0;
};

/// A byte holding two decimal digits (0 to 99) in BCD.
Byte toBcd(int value);

/// The 8-byte date record: yy, month, day, second, minute, hour in BCD, then the
/// milliseconds as 16 bits.
std::array<Byte, 8> dateRecord(const DateTime& t);

/// "LG" + text + "\r\n".
Bytes logRecord(std::string_view text);

/// "HL", the protocol version byte and the identity block.
Bytes announcement(Byte protocolVersion, const Identity& id);

/// A node message as the radio delivered it ("SD", or "SI" for a duplicate).
struct NodeData {
  bool duplicate = false;
  std::uint32_t uid = 0;
  Byte nodeId = 0;
  Byte rssi = 0;  // magnitude; the host uses its negative
  Bytes body;     // the node's message, type byte first
};

/// Protocol 1: "SD"/"SI", N, uid, node id, 0x00, rssi, body.
/// Protocol 2 (when `date` is given): the date record follows the rssi byte.
Bytes nodeDataRecord(const NodeData& d, const DateTime* date);

/// A message the board could not decrypt ("SX").
struct DecryptFailure {
  Byte sender = 0;
  Byte recipient = 0;
  Byte rssi = 0;
  Byte connIdx = 0;
  Bytes rest;  // further bytes, shown by the host as they are
};

/// "SX", N, sender, recipient, rssi, connection index, [date record], rest.
Bytes decryptFailureRecord(const DecryptFailure& f, const DateTime* date);

/// A peer's encryption state, as "PS" delivers it and "SP" asks to store it.
struct PeerState {
  std::uint32_t localStartupCounter = 1;
  std::uint32_t uid = 0;
  std::uint32_t peerStartupCounter = 1;
  std::uint32_t messageCounter = 0;
};

/// "SP" + 17 bytes: local start-up counter, 0x00, uid, peer start-up counter,
/// message counter.
Bytes storeStateRecord(const PeerState& s);

/// "ST" + received count + missed count (32 bits each).
Bytes statisticsRecord(std::uint32_t numReceived, std::uint32_t numMissed);

/// "RT" + date record (protocol 2).
Bytes timeRecord(const DateTime& t);

/// Node message bodies of the sensor kinds the gateway's parser knows.
Bytes climateBody(std::int16_t centiCelsius, std::uint16_t centiPercent, std::uint16_t millivolts);
Bytes distanceBody(std::uint16_t millimetres, std::uint16_t millivolts);
Bytes waterBody(std::int16_t centiCelsius, std::uint16_t millivolts);
Bytes batteryBody(std::uint16_t millivolts);

}  // namespace sim
