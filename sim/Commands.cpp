#include "sim/Commands.hpp"

#include <ctime>
#include <string_view>

#include <fmt/format.h>

namespace sim {

namespace {

enum class Size { Unknown, NeedMore };

/// Total size of the frame at the start of `b` (at least 2 bytes), or why not.
std::variant<std::size_t, Size> frameSize(ByteView b) {
  const std::string_view m(reinterpret_cast<const char*>(b.data()), 2);
  if (m == "TC" || m == "SC") return std::size_t{2};
  if (m == "PM") return std::size_t{4};
  if (m == "LS") return std::size_t{8};
  if (m == "ST") return std::size_t{9};
  if (m == "PS") return std::size_t{19 + kPeerKeySize};
  if (m == "TX" || m == "PP" || m == "TB") {
    if (b.size() < 3) return Size::NeedMore;
    return std::size_t{3} + b[2];
  }
  return Size::Unknown;
}

bool startsAMarker(Byte c) {
  return std::string_view("TSLPM").find(static_cast<char>(c)) != std::string_view::npos;
}

void needSize(ByteView frame, std::size_t n, std::string_view what) {
  if (frame.size() != n)
    throw FrameError(fmt::format("{} frame of {} bytes, expected {}", what, frame.size(), n));
}

}  // namespace

std::vector<Piece> FrameSplitter::feed(ByteView in, SteadyTime now) {
  buffer_.insert(buffer_.end(), in.begin(), in.end());
  if (!in.empty()) lastByte_ = now;
  std::vector<Piece> out;
  auto garbage = [&](std::size_t n) {
    if (out.empty() || out.back().kind != Piece::Kind::Garbage)
      out.push_back({Piece::Kind::Garbage, {}});
    auto& g = out.back().bytes;
    g.insert(g.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
  };
  while (!buffer_.empty()) {
    if (buffer_.size() == 1) {
      if (!startsAMarker(buffer_[0])) garbage(1);
      break;
    }
    const auto size = frameSize(buffer_);
    if (std::holds_alternative<Size>(size)) {
      if (std::get<Size>(size) == Size::NeedMore) break;
      garbage(1);  // slide past one byte and look again
      continue;
    }
    const std::size_t n = std::get<std::size_t>(size);
    if (buffer_.size() < n) break;
    out.push_back({Piece::Kind::Frame,
                   Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n))});
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return out;
}

std::optional<Piece> FrameSplitter::expire(SteadyTime now) {
  if (buffer_.empty() || now < lastByte_ + kFrameGap) return std::nullopt;
  Piece p{Piece::Kind::Incomplete, std::move(buffer_)};
  buffer_.clear();
  return p;
}

std::optional<SteadyTime> FrameSplitter::deadline() const {
  if (buffer_.empty()) return std::nullopt;
  return lastByte_ + kFrameGap;
}

Byte crcsum(ByteView data) {
  unsigned sum = 0;
  for (Byte b : data) sum += b;
  return static_cast<Byte>(((sum & 0xFF) ^ 0xFF) + 1);
}

LocalSetup decodeLocalSetup(ByteView frame) {
  needSize(frame, 8, "LS");
  return {frame[2], frame[3], frame[4] == 0 && frame[5] == 0 && frame[6] == 0 && frame[7] == 0};
}

PeerSetup decodePeerSetup(ByteView frame) {
  needSize(frame, 19 + kPeerKeySize, "PS");
  if (frame[6] != 0) throw FrameError(fmt::format("PS spare byte is {}, expected 0", frame[6]));
  PeerSetup p;
  p.state = {readU32(frame, 2), readU32(frame, 7), readU32(frame, 11), readU32(frame, 15)};
  p.key.assign(frame.begin() + 19, frame.end());
  return p;
}

std::string NodeMessage::describe() const {
  switch (message[0]) {
    case 11:
      return fmt::format("output level {}", readU16(message, 1));
    case 10:
      return fmt::format("water temperature {}", message[1]);
    default:
      return fmt::format("command {}", message[0]);
  }
}

NodeMessage decodeNodeMessage(ByteView frame) {
  if (frame.size() < 3 || frame.size() != 3u + frame[2])
    throw FrameError("TX length byte does not match the frame");
  if (frame[2] < 7) throw FrameError(fmt::format("TX length {} leaves no node message", frame[2]));
  NodeMessage m{readU16(frame, 3), readU32(frame, 5), Bytes(frame.begin() + 9, frame.end())};
  const std::size_t expected = m.message[0] == 11    ? 3
                               : m.message[0] == 10  ? 2
                               : m.message[0] == 204 ? 1
                                                     : 0;
  if (expected == 0) throw FrameError(fmt::format("TX node message type {} unknown", m.message[0]));
  if (m.message.size() != expected)
    throw FrameError(fmt::format("TX node message type {} of {} bytes, expected {}", m.message[0],
                                 m.message.size(), expected));
  return m;
}

SensorConfig decodeSensorConfig(ByteView frame) {
  if (frame.size() < 3 || frame.size() != 3u + frame[2])
    throw FrameError("PP length byte does not match the frame");
  if (frame[2] < 4)
    throw FrameError(fmt::format("PP length {} too short for the channel", frame[2]));
  SensorConfig c{readU32(frame, 3), Bytes(frame.begin() + 7, frame.end())};
  if (c.config.size() != 3 && c.config.size() != 4)
    throw FrameError(fmt::format("PP configuration of {} bytes, expected 3 or 4", c.config.size()));
  return c;
}

PeerMode decodePeerMode(ByteView frame) {
  needSize(frame, 4, "PM");
  return {frame[2], frame[3]};
}

FirmwareChunk decodeFirmwareChunk(ByteView frame) {
  if (frame.size() < 3 || frame.size() != 3u + frame[2])
    throw FrameError("TB length byte does not match the frame");
  // L counts the header, the payload and the checksum; the checksum covers the
  // length byte up to the end of the payload.
  const std::size_t len = frame[2];
  if (len < 5) throw FrameError(fmt::format("TB length {} leaves no payload", len));
  const Byte expected = crcsum(frame.subspan(2, len));
  const Byte got = frame[2 + len];
  if (got != expected)
    throw FrameError(fmt::format("TB checksum 0x{:02x}, expected 0x{:02x}", got, expected));
  FirmwareChunk c;
  c.msgId = frame[3];
  c.ackTimeoutTens = frame[4];
  c.nodeId = frame[5];
  c.type = frame[6];
  const ByteView payload = frame.subspan(7, len - 5);  // after the type byte
  if (c.type == FirmwareChunk::kData) {
    if (payload.size() < 2) throw FrameError("TB data chunk without an address");
    c.address = readU16(payload, 0);
    c.data.assign(payload.begin() + 2, payload.end());
    if (std::size_t{c.address} + c.data.size() > 0x10000)
      throw FrameError(fmt::format("TB chunk at 0x{:04x} of {} bytes runs past 64 KiB", c.address,
                                   c.data.size()));
  } else if (c.type == FirmwareChunk::kFinal) {
    c.data.assign(payload.begin(), payload.end());
  } else {
    throw FrameError(fmt::format("TB payload type {} unknown", c.type));
  }
  return c;
}

SetTime decodeSetTime(ByteView frame) {
  needSize(frame, 9, "ST");
  SetTime t{frame[2], frame[3], frame[4], 2000 + frame[5], frame[6], frame[7], frame[8]};
  auto check = [](int v, int lo, int hi, std::string_view name) {
    if (v < lo || v > hi) throw FrameError(fmt::format("ST {} {} not {}-{}", name, v, lo, hi));
  };
  check(t.weekday, 1, 7, "weekday");
  check(t.month, 1, 12, "month");
  check(t.year, 2000, 2099, "year");  // the board's clock holds two BCD digits
  check(t.hour, 0, 23, "hour");
  check(t.minute, 0, 59, "minute");
  check(t.second, 0, 59, "second");
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = t.year % 4 == 0;  // exact for 2000-2099
  const int days = t.month == 2 && !leap ? 28 : kDays[t.month - 1];
  check(t.day, 1, days, "day");
  return t;
}

}  // namespace sim
