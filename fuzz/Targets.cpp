#include "fuzz/Targets.hpp"

#include <array>

#include "vantro/runtime/Print.hpp"

namespace vantro::fuzz {
namespace {

// The serial targets write their input through a pseudo-terminal, whose
// buffer holds a few kilobytes before a writer would wait for the reader.
constexpr std::array kTargets{
    Target{"records", &fuzzRecords, 2048},    Target{"sensor_msg", &fuzzSensorMsg, 64},
    Target{"rx_loop", &fuzzRxLoop, 1024},     Target{"commands", &fuzzCommands, 4096},
    Target{"ihex", &fuzzIntelHex, 16384},     Target{"config", &fuzzConfig, 4096},
    Target{"peer_state", &fuzzPeerState, 64}, Target{"outbox", &fuzzOutbox, 65536},
};

void dropLine(std::string_view, void*) {}

}  // namespace

void check(bool ok, const std::string& what) {
  if (!ok) throw Fault(what);
}

std::span<const Target> targets() {
  return kTargets;
}

const Target* findTarget(std::string_view name) {
  for (const Target& t : kTargets) {
    if (name == t.name) return &t;
  }
  return nullptr;
}

void silencePrinting() {
  setPrintSink(&dropLine, nullptr);
}

}  // namespace vantro::fuzz
