#pragma once
// Capped exponential back-off for reconnection attempts: the first delay is
// `initial`, each later one twice the one before, never more than `maximum`.
#include <chrono>

namespace vantro {

class Backoff {
 public:
  using Duration = std::chrono::steady_clock::duration;

  explicit Backoff(Duration initial = std::chrono::seconds(1),
                   Duration maximum = std::chrono::seconds(60));

  /// The delay before the next attempt; the one after it doubles (up to the maximum).
  Duration next();
  /// Starts over at the initial delay (after a successful attempt).
  void reset() { current_ = initial_; }

 private:
  Duration initial_;
  Duration maximum_;
  Duration current_;
};

}  // namespace vantro
