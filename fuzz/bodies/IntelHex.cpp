// An Intel HEX file as a firmware command names it: read by IntelHex, then
// cut into chunks the way a firmware transfer does.
#include <algorithm>
#include <memory>

#include "fuzz/Support.hpp"
#include "fuzz/Targets.hpp"
#include "vantro/commands/NodeFrames.hpp"
#include "vantro/ihex/IntelHex.hpp"

namespace vantro::fuzz {
namespace {

// Chunks looked at per image: enough to cross a few runs and their gaps.
constexpr int kMaxChunks = 64;
constexpr std::uint32_t kChunkSize = 50;

const ScratchDir& scratch() {
  static const ScratchDir* d = new ScratchDir;
  return *d;
}

}  // namespace

int fuzzIntelHex(const std::uint8_t* data, std::size_t size) {
  const auto path = scratch().path() / "image.hex";
  writeFile(path, ByteView(data, size));
  std::unique_ptr<IntelHex> ih;
  try {
    ih = std::make_unique<IntelHex>(path.string());
  } catch (const std::runtime_error&) {
    return 0;  // refused with a reason: what the firmware command reports
  }
  if (ih->empty()) {
    check(ih->size() == 0, "an empty image has a size");
    return 0;
  }
  const std::uint32_t lo = ih->minaddr();
  const std::uint32_t hi = ih->maxaddr();
  check(lo <= hi, "lowest address above the highest");
  check(ih->size() >= 1 && ih->size() - 1 <= std::uint64_t{hi} - lo,
        "more bytes than addresses between the lowest and the highest");
  check(ih->size() <= size, "more data than the file could hold");
  check(ih->tobinarray(hi, 1).size() == 1, "tobinarray returned another size");
  check(ih->tobinarray(0xFFFFFFF0u, 32).size() == 32, "tobinarray past the address space");
  // The chunks of a transfer from the lowest address on.
  std::uint64_t addr = lo;
  for (int n = 0; n < kMaxChunks && addr <= hi; ++n) {
    const std::size_t len =
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, hi - addr + 1));
    const Bytes chunk = ih->tobinarray(static_cast<std::uint32_t>(addr), len);
    check(chunk.size() == len, "chunk of another size than asked");
    const Bytes payload = dataChunkPayload(static_cast<std::uint16_t>(addr), chunk);
    const Bytes frame = buildBigMessageFrame(5, 7, payload, 40);
    unsigned sum = 0;
    for (std::size_t k = 2; k < frame.size(); ++k) sum += frame[k];
    check(sum % 256 == 0, "TB frame checksum does not add up");
    addr += len;
  }
  return 0;
}

}  // namespace vantro::fuzz
