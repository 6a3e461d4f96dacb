#include "vantro/time/date/DateRecord.hpp"

#include <gtest/gtest.h>

namespace vantro {
namespace {

DateTime at(int y, int mo, int d, int h, int mi, int s, int us = 0) {
  return DateTime{y, mo, d, h, mi, s, us};
}

TEST(ParseDate, DecodesBcdFieldsAndMilliseconds) {
  const Bytes leapDay{0x24, 0x02, 0x29, 0x00, 0x00, 0x12, 0x01, 0xF4};
  EXPECT_EQ(parseDate(leapDay), at(2024, 2, 29, 12, 0, 0, 500000));
  EXPECT_EQ(toString(parseDate(leapDay)), "2024-02-29 12:00:00.500000");

  // Seconds, minutes, hours come in that order.
  const Bytes lastMoment{0x99, 0x12, 0x31, 0x59, 0x59, 0x23, 0x03, 0xE7};
  EXPECT_EQ(parseDate(lastMoment), at(2099, 12, 31, 23, 59, 59, 999000));
  const Bytes distinct{0x07, 0x03, 0x04, 0x05, 0x06, 0x08, 0x00, 0x00};
  EXPECT_EQ(parseDate(distinct), at(2007, 3, 4, 8, 6, 5));
  EXPECT_EQ(parseDate(Bytes{0x00, 0x02, 0x29, 0, 0, 0, 0, 0}), at(2000, 2, 29, 0, 0, 0));

  // Bytes past the record are not looked at.
  const Bytes longer{0x24, 0x02, 0x29, 0x00, 0x00, 0x12, 0x01, 0xF4, 0xFF, 0xFF};
  EXPECT_EQ(parseDate(longer), at(2024, 2, 29, 12, 0, 0, 500000));
}

TEST(ParseDate, RefusesBytesThatAreNotBcd) {
  const Bytes good{0x24, 0x02, 0x29, 0x00, 0x00, 0x12, 0x00, 0x00};
  for (std::size_t pos = 0; pos < 6; ++pos) {
    for (Byte bad : {Byte{0x1A}, Byte{0xA1}, Byte{0xFF}}) {
      Bytes b = good;
      b[pos] = bad;
      EXPECT_THROW(parseDate(b), std::invalid_argument) << "position " << pos;
    }
  }
  try {
    Bytes b = good;
    b[4] = 0x1A;
    parseDate(b);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("0x1A at position 4"), std::string::npos) << e.what();
  }
}

TEST(ParseDate, RefusesDatesAndTimesThatDoNotExist) {
  const auto refused = [](Bytes b) { EXPECT_THROW(parseDate(b), std::out_of_range); };
  refused({0x23, 0x02, 0x29, 0x00, 0x00, 0x12, 0x00, 0x00});  // 29 February 2023
  refused({0x24, 0x00, 0x10, 0x00, 0x00, 0x12, 0x00, 0x00});  // month 0
  refused({0x24, 0x13, 0x10, 0x00, 0x00, 0x12, 0x00, 0x00});  // month 13
  refused({0x24, 0x04, 0x31, 0x00, 0x00, 0x12, 0x00, 0x00});  // 31 April
  refused({0x24, 0x04, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00});  // day 0
  refused({0x24, 0x04, 0x10, 0x00, 0x00, 0x24, 0x00, 0x00});  // hour 24
  refused({0x24, 0x04, 0x10, 0x00, 0x60, 0x12, 0x00, 0x00});  // minute 60
  refused({0x24, 0x04, 0x10, 0x60, 0x00, 0x12, 0x00, 0x00});  // second 60
  refused({0x24, 0x04, 0x10, 0x00, 0x00, 0x12, 0x03, 0xE8});  // 1000 ms
  refused({0x24, 0x04, 0x10, 0x00, 0x00, 0x12, 0xFF, 0xFF});
}

TEST(ParseDate, RefusesShortRecords) {
  const Bytes full{0x24, 0x02, 0x29, 0x00, 0x00, 0x12, 0x01, 0xF4};
  for (std::size_t n = 0; n < full.size(); ++n) {
    EXPECT_THROW(parseDate(ByteView(full).first(n)), std::out_of_range) << n << " bytes";
  }
}

TEST(SetTimeCommand, CarriesWeekdayAndBinaryFields) {
  // Sunday; the fraction of the second is dropped.
  EXPECT_EQ(buildSetTimeCommand(at(2026, 12, 6, 15, 30, 45, 900000)),
            (Bytes{'S', 'T', 7, 6, 12, 26, 15, 30, 45}));
  EXPECT_EQ(buildSetTimeCommand(at(2026, 12, 7, 0, 0, 0)),
            (Bytes{'S', 'T', 1, 7, 12, 26, 0, 0, 0}));
  EXPECT_EQ(buildSetTimeCommand(at(2000, 1, 1, 23, 59, 59)),
            (Bytes{'S', 'T', 6, 1, 1, 0, 23, 59, 59}));
  EXPECT_EQ(buildSetTimeCommand(at(2255, 12, 31, 0, 0, 0)).at(5), 255);
  EXPECT_EQ(buildSetTimeCommand(at(2024, 2, 29, 0, 0, 0)).size(), kSetTimeCommandSize);
}

TEST(SetTimeCommand, RefusesYearsTheYearByteCannotHold) {
  EXPECT_THROW(buildSetTimeCommand(at(1999, 12, 31, 23, 59, 59)), std::out_of_range);
  EXPECT_THROW(buildSetTimeCommand(at(2256, 1, 1, 0, 0, 0)), std::out_of_range);
  EXPECT_THROW(buildSetTimeCommand(at(1970, 1, 1, 0, 0, 0)), std::out_of_range);
}

}  // namespace
}  // namespace vantro
