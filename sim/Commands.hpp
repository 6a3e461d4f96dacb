#pragma once
// The command decoder: splits what the host writes into frames, and decodes
// each frame into the fields the board acts on.
//
// Host-to-board commands start with two ASCII letters. Fixed-size commands:
// "TC" (2 bytes), "SC" (2), "LS" (8), "PM" (4), "ST" (9), "PS" (19 + the
// 32-byte key). Length-prefixed ones carry a length byte L after the letters
// that counts the bytes after it, so each is 3 + L bytes long: "TX", "PP" and
// "TB" (whose L includes its trailing checksum byte).
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "sim/Records.hpp"

namespace sim {

using SteadyTime = std::chrono::steady_clock::time_point;

/// A frame the board cannot accept (bad length, checksum, field value).
class FrameError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Key length of a peer set-up: the board's ChaCha keys are 256 bits.
constexpr std::size_t kPeerKeySize = 32;
/// A frame whose rest does not arrive within this gap is dropped, so that one
/// truncated command does not swallow the next one.
constexpr std::chrono::milliseconds kFrameGap{500};

/// One piece of the incoming stream.
struct Piece {
  enum class Kind { Frame, Garbage, Incomplete };
  Kind kind = Kind::Frame;
  Bytes bytes;  // the whole frame, marker included, or the dropped bytes
  std::string marker() const {
    return bytes.size() >= 2 ? std::string(bytes.begin(), bytes.begin() + 2) : "";
  }
};

class FrameSplitter {
 public:
  /// Adds received bytes and returns the pieces that are complete now.
  std::vector<Piece> feed(ByteView in, SteadyTime now);
  /// Drops a partial frame whose rest has not come within kFrameGap.
  std::optional<Piece> expire(SteadyTime now);
  /// When expire() next has something to do, if anything is buffered.
  std::optional<SteadyTime> deadline() const;
  void reset() { buffer_.clear(); }

 private:
  Bytes buffer_;
  SteadyTime lastByte_{};
};

/// Two's complement of the 8-bit sum, so that data plus checksum sums to 0.
Byte crcsum(ByteView data);

struct LocalSetup {  // "LS"
  Byte nodeId = 0;
  Byte networkId = 0;
  bool spareBytesZero = true;
};

struct PeerSetup {  // "PS"
  PeerState state;
  Bytes key;
};

struct NodeMessage {  // "TX"
  std::uint16_t channel = 0;
  std::uint32_t target = 0;
  Bytes message;
  std::string describe() const;
};

struct SensorConfig {  // "PP"
  std::uint32_t channel = 0;
  Bytes config;
};

struct PeerMode {  // "PM"
  Byte nodeId = 0;
  Byte mode = 0;
};

struct FirmwareChunk {  // "TB"
  static constexpr Byte kData = 201;
  static constexpr Byte kFinal = 202;
  Byte msgId = 0;
  Byte ackTimeoutTens = 0;
  Byte nodeId = 0;
  Byte type = 0;
  std::uint16_t address = 0;  // data chunks only
  Bytes data;                 // chunk bytes, or the authentication token
};

struct SetTime {    // "ST", host to board
  int weekday = 1;  // 1 = Monday ... 7 = Sunday
  int day = 1;
  int month = 1;
  int year = 2000;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

/// The decoders take a whole frame as FrameSplitter delivered it and throw
/// FrameError when a field is out of its range.
LocalSetup decodeLocalSetup(ByteView frame);
PeerSetup decodePeerSetup(ByteView frame);
NodeMessage decodeNodeMessage(ByteView frame);
SensorConfig decodeSensorConfig(ByteView frame);
PeerMode decodePeerMode(ByteView frame);
FirmwareChunk decodeFirmwareChunk(ByteView frame);
SetTime decodeSetTime(ByteView frame);

}  // namespace sim
