#include "tests/support/PrintCapture.hpp"

#include <algorithm>
#include <iostream>

#include "vantro/runtime/Print.hpp"

namespace vantro::test {

PrintCapture::PrintCapture() {
  setPrintSink(&PrintCapture::sink, this);
}
PrintCapture::~PrintCapture() {
  flushPrinted();
  setPrintSink(nullptr, nullptr);
}

void PrintCapture::sink(std::string_view line, void* ctx) {
  auto* self = static_cast<PrintCapture*>(ctx);
  std::lock_guard lock(self->mutex_);
  self->lines_.emplace_back(line);
  if (self->echo_) std::cerr << "[print] " << line << "\n";
}

std::vector<std::string> PrintCapture::lines() const {
  flushPrinted();  // what this thread printed in the loop's current pass
  std::lock_guard lock(mutex_);
  return lines_;
}

bool PrintCapture::contains(const std::string& line) const {
  flushPrinted();  // what this thread printed in the loop's current pass
  std::lock_guard lock(mutex_);
  return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

bool PrintCapture::containsPart(const std::string& part) const {
  flushPrinted();  // what this thread printed in the loop's current pass
  std::lock_guard lock(mutex_);
  return std::any_of(lines_.begin(), lines_.end(),
                     [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

void PrintCapture::clear() {
  flushPrinted();  // what this thread printed in the loop's current pass
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace vantro::test
