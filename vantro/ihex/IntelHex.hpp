#pragma once
// Reader of Intel HEX firmware images.
//
// Understands data (00), end-of-file (01), extended segment address (02) and
// extended linear address (04) records; start address records (03, 05) are
// checked for their form and otherwise ignored. Every record's checksum is
// verified. Lines after the end-of-file record are ignored, and a file without
// one is accepted (as the common Python reader does). Empty lines are skipped.
//
// The image is stored sparsely, as runs of contiguous bytes, so that a
// firmware placed at 0x08000000 costs no more than one placed at 0.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

class IntelHex {
 public:
  /// The byte that tobinarray() puts where the image holds no data.
  static constexpr Byte kPadding = 0xFF;

  /// Reads the file at `path`. Throws std::system_error when it cannot be
  /// opened or read, and std::runtime_error naming the file, the line number
  /// and the fault for a malformed record or overlapping data.
  explicit IntelHex(std::string path);

  const std::string& path() const { return path_; }
  bool empty() const { return runs_.empty(); }
  /// Number of addresses that hold data.
  std::size_t size() const { return size_; }

  /// Lowest and highest address holding data (both inclusive). Throw
  /// std::runtime_error naming the file when the image holds no data.
  std::uint32_t minaddr() const;
  std::uint32_t maxaddr() const;

  /// The `size` bytes from address `start` on; addresses without data give
  /// kPadding (also those beyond the end of the image or of the address space).
  Bytes tobinarray(std::uint32_t start, std::size_t size) const;

 private:
  void decodeLine(const std::string& line, std::size_t lineNo);
  void storeData(std::uint64_t addr, ByteView data, std::size_t lineNo);
  [[noreturn]] void fail(std::size_t lineNo, const std::string& what) const;

  std::string path_;
  /// Start address of each run of contiguous data to its bytes. Runs never
  /// touch or overlap: adjacent data is merged into one run.
  std::map<std::uint32_t, Bytes> runs_;
  std::size_t size_ = 0;
  std::uint64_t offset_ = 0;  // from the last 02 or 04 record
  bool ended_ = false;
};

}  // namespace vantro
