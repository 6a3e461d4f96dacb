#pragma once
// The system's diagnostics: one line each to standard output. Lines printed
// from different threads never interleave; those of the event loop's thread
// leave at the end of the pass that printed them.
#include <exception>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace vantro {

/// Writes `line` and a line feed to standard output as one unit and flushes.
void printLine(std::string_view line);

template <typename... Args>
void print(fmt::format_string<Args...> f, Args&&... args) {
  printLine(fmt::format(f, std::forward<Args>(args)...));
}

/// While held, lines printed on the calling thread are kept (in order) until
/// flushPrinted() writes them in one go. The event loop holds the lines of
/// each pass of its thread; other threads print at once.
void holdPrinted(bool hold);
/// Writes the lines held on the calling thread.
void flushPrinted();

/// Prints what a long-running loop caught: the exception's type and message,
/// then every nested exception, one line each, led by "Traceback".
void printTrace(std::exception_ptr e);

/// The message of `e` for a one-line report ("unknown error" when it has none).
std::string describe(std::exception_ptr e);

/// Replaces where printed lines go (tests capture them). nullptr restores stdout.
/// The sink is called under the print lock with one line, without its line feed.
using PrintSink = void (*)(std::string_view line, void* ctx);
void setPrintSink(PrintSink sink, void* ctx);

}  // namespace vantro
