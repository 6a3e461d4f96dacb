// Version 2 records: the board's reception date in node messages and decrypt reports.
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "tests/protocol/ProtocolFixture.hpp"
#include "vantro/protocol/TelvariSpeakV2/TelvariSpeakV2.hpp"

namespace vantro::test {
namespace {

constexpr Byte kSentinel = 0x7E;
/// 2024-02-29 12:00:00.500 as a date record.
const Bytes kLeapDayNoonHalf{0x24, 0x02, 0x29, 0x00, 0x00, 0x12, 0x01, 0xF4};
/// 2024-02-29 12:00:00 without milliseconds.
const Bytes kLeapDayNoon{0x24, 0x02, 0x29, 0x00, 0x00, 0x12, 0x00, 0x00};

using V2Receive = ProtocolFixture<TelvariSpeakV2>;
using V1Object = ProtocolFixture<TelvariSpeakV1>;

TEST_F(V2Receive, DateRecordIsOnlyAVersion2Marker) {
  board(concat(kLeapDayNoonHalf, {kSentinel}));
  EXPECT_TRUE(process("RT"));
  EXPECT_EQ(nextByte(), kSentinel);
  EXPECT_FALSE(process("XY"));
  EXPECT_TRUE(printed.lines().empty());
}

TEST_F(V1Object, DoesNotKnowTheDateRecord) {
  board(concat(kLeapDayNoonHalf, {kSentinel}));
  EXPECT_FALSE(process("RT"));
  EXPECT_EQ(nextByte(), kLeapDayNoonHalf[0]);
}

TEST_F(V2Receive, NodeMessageIsStampedWithTheBoardDateAsUtcInAnyTimeZone) {
  for (const char* tz : {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3"}) {
    SCOPED_TRACE(tz);
    ScopedTimeZone zone(tz);
    mqtt->publications.clear();
    board(nodeRecord(5, 70, concat(kLeapDayNoonHalf, kClimateBody)));
    EXPECT_TRUE(process("SD"));
    ASSERT_EQ(mqtt->publications.size(), 1U);
    EXPECT_EQ(mqtt->publications[0].topic, "sensor/258/climate");
    EXPECT_EQ(mqtt->publications[0].payload.rfind("{\"ts\":1709208000500,\"rssi\":-70,", 0), 0U)
        << mqtt->publications[0].payload;
  }
  EXPECT_EQ(proto->uid2id->get(258), 5);
  EXPECT_TRUE(printed.contains("Sender 5: " + kClimateText + " \t RSSI: -70"));
}

TEST_F(V2Receive, EmptyBodyAndDuplicate) {
  board(nodeRecord(5, 70, kLeapDayNoonHalf));  // N = 15
  EXPECT_TRUE(process("SD"));
  EXPECT_EQ(proto->uid2id->get(258), 5);

  board(nodeRecord(6, 71, concat(kLeapDayNoonHalf, kClimateBody)));
  EXPECT_TRUE(process("SI"));
  EXPECT_EQ(proto->uid2id->get(258), 5) << "a duplicate must not update the table";
  EXPECT_TRUE(mqtt->publications.empty());
  EXPECT_EQ(printed.lines(), (std::vector<std::string>{"Sender 5: Could not parse msg. RSSI: -70",
                                                       "Sender 6: Duplicate msg \t RSSI: -71 "}));
}

TEST_F(V2Receive, BrokenOrShortDateFailsBeforeTheTableIsTouched) {
  Bytes badDigit = kLeapDayNoonHalf;
  badDigit[4] = 0x1A;
  board(nodeRecord(5, 70, concat(badDigit, kClimateBody)));
  EXPECT_THROW(process("SD"), std::invalid_argument);

  const Bytes commonLeapDay{0x23, 0x02, 0x29, 0x00, 0x00, 0x12, 0x00, 0x00};
  board(nodeRecord(5, 70, concat(commonLeapDay, kClimateBody)));
  EXPECT_THROW(process("SD"), std::out_of_range);

  board(concat(nodeRecord(5, 70, {0x24, 0x02, 0x29}), {kSentinel}));  // date cut short
  EXPECT_THROW(process("SD"), std::out_of_range);
  EXPECT_EQ(nextByte(), kSentinel);

  board(Bytes{5, 0, 0, 1, 2, 5});  // no signal byte
  EXPECT_THROW(process("SI"), std::out_of_range);

  EXPECT_TRUE(proto->uid2id->empty());
  EXPECT_TRUE(mqtt->publications.empty());
  EXPECT_TRUE(printed.lines().empty());
}

TEST_F(V2Receive, DecryptFailureCarriesTheBoardDate) {
  board(concat(Bytes{12, 1, 2, 60, 3}, kLeapDayNoonHalf));  // N = 12: no extra bytes
  EXPECT_TRUE(process("SX"));
  board(concat(concat(Bytes{15, 1, 2, 0, 3}, kLeapDayNoon), {12, 0, 255}));
  EXPECT_TRUE(process("SX"));
  EXPECT_EQ(printed.lines(),
            (std::vector<std::string>{"TX 1 -> RX 2: Decrypt Failed. [] Connection index: 3 \t "
                                      "RSSI: -60\t 2024-02-29 12:00:00.500000",
                                      "TX 1 -> RX 2: Decrypt Failed. [12, 0, 255] Connection "
                                      "index: 3 \t RSSI: 0\t 2024-02-29 12:00:00"}));

  printed.clear();
  Bytes n11 = concat(Bytes{11, 1, 2, 60, 3}, kLeapDayNoonHalf);
  n11.pop_back();
  board(concat(n11, {kSentinel}));
  EXPECT_THROW(process("SX"), std::out_of_range);
  EXPECT_EQ(nextByte(), kSentinel);
  EXPECT_TRUE(printed.lines().empty());
}

}  // namespace
}  // namespace vantro::test
