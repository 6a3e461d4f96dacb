#pragma once
// The board's real-time clock. It runs at the host's pace with an offset of its
// own, which the host sets with "ST"; the board dates its records from it.
#include <cstdint>

#include "sim/Commands.hpp"

namespace sim {

class BoardClock {
 public:
  /// Starts at the host's local wall time plus `offsetSeconds`, as a board
  /// whose clock was set some time ago would.
  explicit BoardClock(std::int64_t offsetSeconds);
  DateTime now() const;
  /// Sets the clock to the command's date and time, with 0 milliseconds now.
  void set(const SetTime& t);

 private:
  std::int64_t offsetNs_ = 0;  // board time (as if UTC) minus CLOCK_REALTIME
};

/// Day of the week, 1 = Monday ... 7 = Sunday.
int weekdayOf(int year, int month, int day);

}  // namespace sim
