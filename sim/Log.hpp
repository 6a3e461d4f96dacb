#pragma once
// What the simulator tells the outside world.
//
// Standard output carries one event line per state change that a test or a
// demo script may wait for ("PTY /dev/pts/7", "ANNOUNCED", "REBOOT", ...);
// every line is flushed at once. Standard error carries the diagnostics: the
// commands the board understood and every problem it found in them.
#include <cstdio>
#include <string_view>

#include <fmt/format.h>

namespace sim {

void writeLine(std::FILE* to, std::string_view line);

/// One event line on standard output.
template <typename... Args>
void event(fmt::format_string<Args...> f, Args&&... args) {
  writeLine(stdout, fmt::format(f, std::forward<Args>(args)...));
}

/// One diagnostic line on standard error, led by "sim: ".
template <typename... Args>
void note(fmt::format_string<Args...> f, Args&&... args) {
  writeLine(stderr, "sim: " + fmt::format(f, std::forward<Args>(args)...));
}

/// A problem in what the host sent, on standard error, led by "sim: problem: ".
template <typename... Args>
void problem(fmt::format_string<Args...> f, Args&&... args) {
  writeLine(stderr, "sim: problem: " + fmt::format(f, std::forward<Args>(args)...));
}

}  // namespace sim
