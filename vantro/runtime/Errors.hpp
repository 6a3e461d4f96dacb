#pragma once
#include <stdexcept>
#include <string>

namespace vantro {

/// Raised at a task's current await when the task is cancelled. Loops that catch
/// every other error let this one through (or end on it).
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "task cancelled"; }
};

/// A wait with a time-out ran out (the awaited work has been cancelled).
class TimeoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// True for Cancelled and for asio's operation_aborted, which is how a cancelled
/// asio operation surfaces when it is not awaited through the runtime.
bool isCancellation(std::exception_ptr e);

}  // namespace vantro
