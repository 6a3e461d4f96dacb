#pragma once
// The fuzz targets: one entry function per kind of input that reaches the
// gateway from outside. Each feeds its input through the functions the daemon
// calls on that input and checks what they make. libFuzzer's main
// (FuzzMain.cpp) and the regression test of the normal build
// (tests/fuzz/) call the same entries.
//
// An entry returns 0. A fault of the code under test shows as a sanitizer
// report, a crash, or a vantro::fuzz::Fault thrown out of the entry (a result
// that breaks what the code promises).
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vantro::fuzz {

using Entry = int (*)(const std::uint8_t* data, std::size_t size);

struct Target {
  const char* name;
  Entry entry;
  /// Longest input worth trying (libFuzzer's -max_len); entries cut longer ones.
  std::size_t maxLen;
};

/// What an entry found wrong in a result of the code under test.
class Fault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

/// Throws Fault(what) unless `ok`.
void check(bool ok, const std::string& what);

/// Every target, in a fixed order.
std::span<const Target> targets();
/// The target named `name`, or nullptr.
const Target* findTarget(std::string_view name);

/// Routes the gateway's printed lines nowhere (an entry prints thousands).
void silencePrinting();

// The entries (fuzz/bodies/*.cpp).
int fuzzRecords(const std::uint8_t* data, std::size_t size);
int fuzzSensorMsg(const std::uint8_t* data, std::size_t size);
int fuzzRxLoop(const std::uint8_t* data, std::size_t size);
int fuzzCommands(const std::uint8_t* data, std::size_t size);
int fuzzIntelHex(const std::uint8_t* data, std::size_t size);
int fuzzConfig(const std::uint8_t* data, std::size_t size);
int fuzzPeerState(const std::uint8_t* data, std::size_t size);
int fuzzOutbox(const std::uint8_t* data, std::size_t size);

}  // namespace vantro::fuzz
