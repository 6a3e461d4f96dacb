#include "vantro/runtime/Print.hpp"

#include <cxxabi.h>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <typeinfo>

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

}  // namespace

void printLine(std::string_view line) {
  std::lock_guard lock(printMutex());
  if (gSink) {
    gSink(line, gSinkCtx);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
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
