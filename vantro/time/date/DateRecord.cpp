#include "vantro/time/date/DateRecord.hpp"

#include <stdexcept>

#include <fmt/format.h>

namespace vantro {
namespace {

// One byte of two BCD digits, high half the tens.
int bcdAt(ByteView payload, std::size_t position) {
  const Byte b = byteAt(payload, position);
  const int tens = b >> 4;
  const int units = b & 0x0F;
  if (tens > 9 || units > 9) {
    throw std::invalid_argument(
        fmt::format("date record: byte 0x{:02X} at position {} is not a BCD number", b, position));
  }
  return tens * 10 + units;
}

}  // namespace

DateTime parseDate(ByteView payload) {
  DateTime dt;
  dt.day = bcdAt(payload, 2);
  dt.month = bcdAt(payload, 1);
  dt.year = bcdAt(payload, 0) + 2000;
  dt.hour = bcdAt(payload, 5);
  dt.minute = bcdAt(payload, 4);
  dt.second = bcdAt(payload, 3);
  const int millis = readU16BE(payload, 6);
  validate(dt);
  if (millis > 999) {
    throw std::out_of_range(
        fmt::format("date record: milliseconds {} are out of range 0..999", millis));
  }
  dt.microsecond = millis * 1000;
  return dt;
}

Bytes buildSetTimeCommand(const DateTime& local) {
  if (local.year < 2000 || local.year > 2255) {
    throw std::out_of_range(fmt::format(
        "set-time command: year {} cannot be sent (the board takes 2000..2255)", local.year));
  }
  validate(local);
  Bytes out{'S', 'T'};
  out.reserve(kSetTimeCommandSize);
  for (int v : {isoWeekday(local), local.day, local.month, local.year - 2000, local.hour,
                local.minute, local.second}) {
    out.push_back(static_cast<Byte>(v));
  }
  return out;
}

}  // namespace vantro
