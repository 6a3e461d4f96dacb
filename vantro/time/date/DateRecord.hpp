#pragma once
// The two date encodings of the board's serial protocol: the 8-byte BCD date
// record the board sends, and the binary set-time command "ST" the host sends.
#include "vantro/runtime/Bytes.hpp"
#include "vantro/time/date/DateTime.hpp"

namespace vantro {

/// Size of a date record on the serial line.
inline constexpr std::size_t kDateRecordSize = 8;

/// Decodes a date record: BCD year-2000, month, day, second, minute, hour, then
/// the milliseconds as a 16-bit big-endian number. Only positions 0-7 are used.
/// Throws std::invalid_argument for a byte that is not two BCD digits,
/// std::out_of_range for a date or time that does not exist (29 February of a
/// common year, hour 24, 1000 milliseconds, ...) and for fewer than 8 bytes.
DateTime parseDate(ByteView payload);

/// Size of the set-time command.
inline constexpr std::size_t kSetTimeCommandSize = 9;

/// The set-time command for the local date and time `local`: "ST", then the day
/// of the week (1 = Monday ... 7 = Sunday), day, month, year - 2000, hour, minute
/// and second as binary bytes; the fraction of the second is dropped. The whole
/// command is built before anything is written, so a year outside 2000-2255,
/// which the year byte cannot hold, throws std::out_of_range and nothing goes out.
Bytes buildSetTimeCommand(const DateTime& local);

}  // namespace vantro
