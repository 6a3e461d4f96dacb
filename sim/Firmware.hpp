#pragma once
// The firmware reassembler: collects the data chunks of an over-the-air
// transfer and hands back the image when the final frame arrives.
#include <map>
#include <optional>
#include <string>

#include "sim/Commands.hpp"

namespace sim {

/// A reassembled image, as it would sit in the node's flash from address 0.
struct FirmwareImage {
  Byte msgId = 0;
  Byte nodeId = 0;
  Bytes data;               // address 0 up to the highest byte received
  std::size_t missing = 0;  // bytes below the highest address that no chunk carried
  Bytes token;              // the authentication token of the final frame
};

/// Filler of addresses that no chunk carried (erased flash).
constexpr Byte kErasedByte = 0xFF;

class FirmwareAssembler {
 public:
  /// Takes one "TB" frame. A data chunk is stored (a repeated address
  /// overwrites); a chunk of another transfer id discards the partial image
  /// first. The final frame returns the image and starts afresh.
  std::optional<FirmwareImage> add(const FirmwareChunk& chunk);
  std::size_t bytesHeld() const { return bytes_.size(); }
  void reset();

 private:
  std::optional<Byte> msgId_;
  std::map<std::uint32_t, Byte> bytes_;  // address to byte
};

/// Writes the image to `path` and its token to `path` + ".token" (raw bytes).
/// Throws std::system_error naming the file when it cannot be written.
void writeFirmware(const std::string& path, const FirmwareImage& image);

}  // namespace sim
