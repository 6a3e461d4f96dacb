#include "vantro/runtime/Backoff.hpp"

#include <algorithm>
#include <stdexcept>

namespace vantro {

Backoff::Backoff(Duration initial, Duration maximum)
    : initial_(initial), maximum_(maximum), current_(initial) {
  if (initial <= Duration::zero() || maximum < initial) {
    throw std::invalid_argument("Backoff needs 0 < initial delay <= maximum delay");
  }
}

Backoff::Duration Backoff::next() {
  const Duration delay = current_;
  current_ = current_ > maximum_ / 2 ? maximum_ : std::min(current_ * 2, maximum_);
  return delay;
}

}  // namespace vantro
