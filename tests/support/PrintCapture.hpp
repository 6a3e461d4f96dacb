#pragma once
// Captures the lines printed through vantro::printLine while it lives.
#include <mutex>
#include <string>
#include <vector>

namespace vantro::test {

class PrintCapture {
 public:
  PrintCapture();
  ~PrintCapture();
  PrintCapture(const PrintCapture&) = delete;
  PrintCapture& operator=(const PrintCapture&) = delete;

  std::vector<std::string> lines() const;
  /// True if some line equals `line`.
  bool contains(const std::string& line) const;
  /// True if some line contains `part`.
  bool containsPart(const std::string& part) const;
  void clear();
  /// Also echo captured lines to stderr (debugging).
  void setEcho(bool echo) { echo_ = echo; }

 private:
  static void sink(std::string_view line, void* ctx);
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  bool echo_ = false;
};

}  // namespace vantro::test
