#include "vantro/ihex/IntelHex.hpp"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <fmt/format.h>
#include "vantro/runtime/HexDigit.hpp"

namespace vantro {
namespace {

constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

std::string describeChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u < 0x20 || u >= 0x7f) return fmt::format("byte 0x{:02X}", u);
  return fmt::format("'{}'", c);
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::system_error(errno, std::generic_category(),
                            fmt::format("cannot open Intel HEX file {}", path));
  }
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) {
    throw std::system_error(errno, std::generic_category(),
                            fmt::format("cannot read Intel HEX file {}", path));
  }
  return std::move(content).str();
}

}  // namespace

IntelHex::IntelHex(std::string path) : path_(std::move(path)) {
  const std::string text = readWholeFile(path_);
  // Lines end with "\n", "\r\n" or a lone "\r".
  std::size_t lineNo = 0;
  std::size_t pos = 0;
  while (pos < text.size() && !ended_) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    ++lineNo;
    decodeLine(text.substr(pos, end - pos), lineNo);
    pos = end;
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;
  }
}

void IntelHex::fail(std::size_t lineNo, const std::string& what) const {
  throw std::runtime_error(fmt::format("{}, line {}: {}", path_, lineNo, what));
}

void IntelHex::decodeLine(const std::string& line, std::size_t lineNo) {
  if (line.empty()) return;
  if (line[0] != ':') fail(lineNo, "record does not start with ':'");
  const std::size_t digits = line.size() - 1;
  if (digits % 2 != 0) fail(lineNo, fmt::format("odd number of hex digits ({})", digits));
  Bytes rec;
  rec.reserve(digits / 2);
  for (std::size_t i = 1; i < line.size(); i += 2) {
    const int hi = hexDigitValue(line[i]);
    const int lo = hexDigitValue(line[i + 1]);
    if (hi < 0 || lo < 0) {
      const std::size_t col = hi < 0 ? i : i + 1;
      fail(lineNo, fmt::format("bad hex digit {} in column {}", describeChar(line[col]), col + 1));
    }
    rec.push_back(static_cast<Byte>(hi * 16 + lo));
  }
  if (rec.size() < 5) {
    fail(lineNo, fmt::format("record of {} bytes is too short (at least 5)", rec.size()));
  }
  const std::size_t count = rec[0];
  if (rec.size() != count + 5) {
    fail(lineNo, fmt::format("length field says {} data bytes, the record holds {}", count,
                             rec.size() - 5));
  }
  const unsigned address = (unsigned{rec[1]} << 8) | rec[2];
  const unsigned type = rec[3];
  if (type > 5) fail(lineNo, fmt::format("unknown record type 0x{:02X}", type));
  unsigned sum = 0;
  for (Byte b : rec) sum += b;
  if ((sum & 0xFF) != 0) {
    unsigned others = 0;
    for (std::size_t i = 0; i + 1 < rec.size(); ++i) others += rec[i];
    fail(lineNo, fmt::format("bad checksum 0x{:02X} (should be 0x{:02X})", rec.back(),
                             (0x100 - (others & 0xFF)) & 0xFF));
  }
  const ByteView data(rec.data() + 4, count);
  switch (type) {
    case 0x00:
      storeData(offset_ + address, data, lineNo);
      break;
    case 0x01:
      if (count != 0) fail(lineNo, "end-of-file record carries data");
      ended_ = true;
      break;
    case 0x02:
      if (count != 2 || address != 0) {
        fail(lineNo, "extended segment address record needs 2 data bytes and address 0");
      }
      offset_ = std::uint64_t{readU16BE(data, 0)} * 16;
      break;
    case 0x04:
      if (count != 2 || address != 0) {
        fail(lineNo, "extended linear address record needs 2 data bytes and address 0");
      }
      offset_ = std::uint64_t{readU16BE(data, 0)} << 16;
      break;
    default:  // 0x03, 0x05: start address, not needed for a transfer
      if (count != 4 || address != 0) {
        fail(lineNo, "start address record needs 4 data bytes and address 0");
      }
      break;
  }
}

void IntelHex::storeData(std::uint64_t addr, ByteView data, std::size_t lineNo) {
  if (data.empty()) return;
  if (addr + data.size() > kAddressSpace) {
    fail(lineNo, fmt::format("data at 0x{:X} runs past the 32-bit address space", addr));
  }
  const auto start = static_cast<std::uint32_t>(addr);
  const std::uint64_t end = addr + data.size();
  auto next = runs_.upper_bound(start);
  auto prev = next == runs_.begin() ? runs_.end() : std::prev(next);
  if (prev != runs_.end() && prev->first + std::uint64_t{prev->second.size()} > addr) {
    fail(lineNo, fmt::format("data overlaps earlier data at address 0x{:X}", addr));
  }
  if (next != runs_.end() && next->first < end) {
    fail(lineNo, fmt::format("data overlaps earlier data at address 0x{:X}", next->first));
  }
  auto run = prev;
  if (run != runs_.end() && run->first + std::uint64_t{run->second.size()} == addr) {
    run->second.insert(run->second.end(), data.begin(), data.end());
  } else {
    run = runs_.emplace_hint(next, start, Bytes(data.begin(), data.end()));
  }
  if (next != runs_.end() && next->first == end) {
    run->second.insert(run->second.end(), next->second.begin(), next->second.end());
    runs_.erase(next);
  }
  size_ += data.size();
}

std::uint32_t IntelHex::minaddr() const {
  if (runs_.empty()) throw std::runtime_error(fmt::format("{}: the image holds no data", path_));
  return runs_.begin()->first;
}

std::uint32_t IntelHex::maxaddr() const {
  if (runs_.empty()) throw std::runtime_error(fmt::format("{}: the image holds no data", path_));
  const auto& last = *runs_.rbegin();
  return static_cast<std::uint32_t>(last.first + last.second.size() - 1);
}

Bytes IntelHex::tobinarray(std::uint32_t start, std::size_t size) const {
  Bytes out(size, kPadding);
  const std::uint64_t end = std::uint64_t{start} + size;
  auto it = runs_.upper_bound(start);
  if (it != runs_.begin()) --it;
  for (; it != runs_.end() && it->first < end; ++it) {
    const std::uint64_t runStart = it->first;
    const std::uint64_t runEnd = runStart + it->second.size();
    const std::uint64_t from = std::max<std::uint64_t>(runStart, start);
    const std::uint64_t to = std::min(runEnd, end);
    if (from >= to) continue;
    std::copy(it->second.begin() + static_cast<std::ptrdiff_t>(from - runStart),
              it->second.begin() + static_cast<std::ptrdiff_t>(to - runStart),
              out.begin() + static_cast<std::ptrdiff_t>(from - start));
  }
  return out;
}

}  // namespace vantro
