#pragma once
// Command-line options of vantro-hat-sim.
#include <cstdint>
#include <string>
#include <variant>

#include "sim/Records.hpp"
#include "sim/Traffic.hpp"

namespace sim {

/// How the board behaves when it starts (and when it reboots).
enum class StartMode {
  Prompt,    // "Press ..." every 0.5 s until it gets "r", then announces
  Announce,  // announces at once
  Running,   // already running: silent, takes commands at once
};

struct Options {
  std::string linkPath;
  Byte protocol = 1;
  StartMode start = StartMode::Prompt;
  Identity identity;
  TrafficSettings traffic;
  double rate = 5.0;  // records per second
  bool flood = false;
  std::uint64_t count = 0;  // stop after this many "SD" records (0: no limit)
  bool pmSilent = false;
  std::string fwOut;
  double rtEvery = 0;  // seconds, 0: never
  bool rtAfterTc = false;
  std::int64_t clockOffset = 0;
  unsigned garbageEvery = 0;
  unsigned truncateEvery = 0;
  double rebootAfter = 0;
  double hangupAfter = 0;
  double replugAfter = 0;
  std::string rxLog;
  std::string txLog;
  bool verbose = false;
};

/// The options, or the exit code when the program should end at once (help,
/// bad options; the message has been printed).
std::variant<Options, int> parseOptions(int argc, char** argv);

}  // namespace sim
