#include "vantro/runtime/Print.hpp"

#include <cxxabi.h>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

namespace vantro {
namespace {

std::mutex& printMutex() {
  static std::mutex m;
  return m;
}
PrintSink gSink = nullptr;
void* gSinkCtx = nullptr;

std::string demangle(const char* name) {
  int status = 0;
  char* s = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = (status == 0 && s) ? s : name;
  std::free(s);
  return out;
}

void traceOne(std::exception_ptr e, int depth, std::string& out) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    const std::type_info* ti = abi::__cxa_current_exception_type();
    out += fmt::format("\n{}{}: {}", depth ? "  caused by " : "  ", ti ? demangle(ti->name()) : "?",
                       ex.what());
    try {
      std::rethrow_if_nested(ex);
    } catch (...) {
      traceOne(std::current_exception(), depth + 1, out);
    }
  } catch (...) {
    const std::type_info* ti = abi::__cxa_current_exception_type();
    out += fmt::format("\n  {}", ti ? demangle(ti->name()) : "unknown exception");
  }
}

struct HeldLines {
  bool hold = false;
  std::string text;               // the lines, each followed by a line feed
  std::vector<std::size_t> ends;  // where each line's feed is (a line may hold more)
};
thread_local HeldLines tHeld;

// Under the print lock.
void writeLines(const HeldLines& held) {
  if (gSink) {
    std::size_t begin = 0;
    for (const std::size_t end : held.ends) {
      gSink(std::string_view(held.text).substr(begin, end - begin), gSinkCtx);
      begin = end + 1;
    }
    return;
  }
  std::fwrite(held.text.data(), 1, held.text.size(), stdout);
  std::fflush(stdout);
}

void append(HeldLines& held, std::string_view line) {
  held.text.append(line);
  held.ends.push_back(held.text.size());
  held.text.push_back('\n');
}

}  // namespace

void printLine(std::string_view line) {
  if (tHeld.hold) {
    append(tHeld, line);
    return;
  }
  HeldLines one;
  append(one, line);
  std::lock_guard lock(printMutex());
  writeLines(one);
}

void holdPrinted(bool hold) {
  tHeld.hold = hold;
}

void flushPrinted() {
  if (tHeld.ends.empty()) return;
  {
    std::lock_guard lock(printMutex());
    writeLines(tHeld);
  }
  tHeld.text.clear();
  tHeld.ends.clear();
}

void printTrace(std::exception_ptr e) {
  if (!e) return;
  // One unit, so that no other line lands inside the trace.
  std::string out = "Traceback (most recent call last):";
  traceOne(e, 0, out);
  printLine(out);
}

std::string describe(std::exception_ptr e) {
  try {
    if (e) std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return x.what();
  } catch (...) {
  }
  return "unknown error";
}

void setPrintSink(PrintSink sink, void* ctx) {
  std::lock_guard lock(printMutex());
  gSink = sink;
  gSinkCtx = ctx;
}

}  // namespace vantro
