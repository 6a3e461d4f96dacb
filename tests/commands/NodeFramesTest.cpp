// The frames byte for byte, without a serial line.
#include "vantro/commands/NodeFrames.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

#include "tests/commands/CommandsFixture.hpp"
#include "vantro/commands/NodeCommand.hpp"

namespace vantro {
namespace {

using nlohmann::json;
using test::frame;

TEST(NodeAddressing, UidLookupAnswers255ForUnknownNodes) {
  NodeIdTable uid2id;
  EXPECT_EQ(nodeIdOfUID(json("17"), uid2id), 255);
  uid2id.set(17, 3);
  EXPECT_EQ(nodeIdOfUID(json("17"), uid2id), 3);
  EXPECT_EQ(nodeIdOfUID(json(17), uid2id), 3);
  EXPECT_EQ(nodeIdOfUID(json(-1), uid2id), 255);
  EXPECT_EQ(nodeIdOfUID(json(4294967296), uid2id), 255);
  EXPECT_THROW(nodeIdOfUID(json("node17"), uid2id), std::invalid_argument);
}

TEST(Checksum, TwosComplementOfTheByteSum) {
  EXPECT_EQ(crcsum(toBytes("abc")), 218);
  EXPECT_EQ(crcsum(Bytes{0x01, 0xFF}), 0);
  EXPECT_EQ(crcsum(Bytes{}), 0);
  EXPECT_EQ(crcsum(Bytes{0x80, 0x80}), 0);
  EXPECT_EQ(crcsum(Bytes{0x01}), 0xFF);
}

TEST(TxFrames, ControlMessagesOfEachType) {
  auto tx = messageCommand("tx:5", json{{"msgtype", 11}, {"outputLevel", 300}, {"toid", 7}});
  ASSERT_TRUE(tx);
  EXPECT_EQ(tx->frame, frame("TX", {0x09, 0x00, 0x05, 0, 0, 0, 0x07, 0x0B, 0x01, 0x2C}));
  EXPECT_EQ(tx->sentLine, "Sent message to node with ID 7 of length 8");

  tx = messageCommand("tx:5", json{{"msgtype", "10"}, {"waterTemp", "42"}, {"toid", "7"}});
  ASSERT_TRUE(tx);
  EXPECT_EQ(tx->frame, frame("TX", {0x08, 0x00, 0x05, 0, 0, 0, 0x07, 0x0A, 0x2A}));

  tx = messageCommand("tx:5", json{{"msgtype", 204}, {"toid", 0xA1B2C3D4u}});
  ASSERT_TRUE(tx);
  EXPECT_EQ(tx->frame, frame("TX", {0x07, 0x00, 0x05, 0xA1, 0xB2, 0xC3, 0xD4, 0xCC}));

  tx = messageCommand("300", json{{"msgtype", 204}, {"toid", 1}});
  ASSERT_TRUE(tx);
  EXPECT_EQ(tx->frame, frame("TX", {0x07, 0x01, 0x2C, 0, 0, 0, 1, 0xCC}));
}

TEST(TxFrames, UnknownTypeOrEmptyMapMakeNoFrame) {
  EXPECT_FALSE(messageCommand("tx:5", json{{"msgtype", 12}, {"toid", 7}}));
  EXPECT_FALSE(messageCommand("tx:5", json::object()));
  EXPECT_FALSE(messageCommand("tx:5", json()));
  // Only the matching type's key is read.
  EXPECT_EQ(txMsg2Bytes(json{{"msgtype", 10}, {"waterTemp", 1}, {"outputLevel", "x"}}),
            (Bytes{10, 1}));
}

TEST(TxFrames, EveryFieldIsCheckedBeforeAFrameExists) {
  const json good{{"msgtype", 10}, {"waterTemp", 42}, {"toid", 7}};
  auto with = [&](const char* key, json v) {
    json m = good;
    m[key] = std::move(v);
    return m;
  };
  EXPECT_THROW(messageCommand("tx:5", with("waterTemp", 256)), std::out_of_range);
  EXPECT_THROW(messageCommand("tx:5", with("waterTemp", -1)), std::out_of_range);
  EXPECT_THROW(messageCommand("tx:5", json{{"msgtype", 11}, {"outputLevel", 65536}, {"toid", 7}}),
               std::out_of_range);
  EXPECT_THROW(messageCommand("tx:5", with("toid", 4294967296)), std::out_of_range);
  EXPECT_THROW(messageCommand("tx:5", with("toid", "seven")), std::invalid_argument);
  EXPECT_THROW(messageCommand("tx:abc", good), std::invalid_argument);
  EXPECT_THROW(messageCommand("tx:65536", good), std::out_of_range);
  EXPECT_THROW(messageCommand("tx:5", json{{"msgtype", 10}, {"toid", 7}}), std::invalid_argument);
  EXPECT_THROW(messageCommand("tx:5", json{{"msgtype", 10}, {"waterTemp", 1}}),
               std::invalid_argument);
  EXPECT_THROW(messageCommand("tx:5", json::array({1})), std::invalid_argument);
}

const json kType1{{"sensorType", 1},
                  {"sleepCycles", 3},
                  {"useLed", 1},
                  {"txPower", 2},
                  {"preBatteryMeasurementDelayMin", 600}};
const json kType3{{"sensorType", 3},
                  {"sleepCycles", 1},
                  {"useLed", 0},
                  {"txPower", 3},
                  {"vcselPeriodPreRange", 14},
                  {"vcselPeriodFinalRange", 10},
                  {"signalRateLimit", 0.25},
                  {"measurementTimingBudget", 33}};

json with(json m, const char* key, json v) {
  m[key] = std::move(v);
  return m;
}

TEST(PpFrames, SensorTypesOneAndFive) {
  EXPECT_EQ(getSensorConfig(kType1), (Bytes{0xA3, 0x02, 0x58}));
  EXPECT_EQ(getSensorConfig(with(kType1, "sensorType", 5)), (Bytes{0xA3, 0x02, 0x58}));
  EXPECT_EQ(sensorConfigCommand("cfg:9", kType1)->frame,
            frame("PP", {0x07, 0, 0, 0, 0x09, 0xA3, 0x02, 0x58}));
  EXPECT_EQ(sensorConfigCommand("cfg:4294967295", kType1)->frame,
            frame("PP", {0x07, 0xFF, 0xFF, 0xFF, 0xFF, 0xA3, 0x02, 0x58}));
}

TEST(PpFrames, SensorTypeThree) {
  EXPECT_EQ(getSensorConfig(kType3), (Bytes{0x31, 0x19, 0x6C, 0x21}));
  EXPECT_EQ(sensorConfigCommand("cfg:1", kType3)->frame,
            frame("PP", {0x08, 0, 0, 0, 1, 0x31, 0x19, 0x6C, 0x21}));
  // The scaled signal rate limit is cut, not rounded.
  EXPECT_EQ(getSensorConfig(with(kType3, "signalRateLimit", 0.29))[1], 28);
  EXPECT_EQ(getSensorConfig(with(kType3, "signalRateLimit", "2.55"))[1], 254);
}

TEST(PpFrames, GeneralConfigIsNotMasked) {
  json m = with(with(kType1, "sleepCycles", 16), "txPower", 0);
  EXPECT_EQ(getSensorConfig(m)[0], 0x90);  // bit 4 from sleepCycles, bit 7 from useLed
}

TEST(PpFrames, FieldsOutsideTheirBytesAndUnknownTypesAreErrors) {
  EXPECT_THROW(getSensorConfig(with(kType3, "vcselPeriodPreRange", 10)), std::out_of_range);
  EXPECT_THROW(getSensorConfig(with(kType3, "vcselPeriodPreRange", 19)), std::out_of_range);
  EXPECT_THROW(getSensorConfig(with(kType3, "vcselPeriodFinalRange", 6)), std::out_of_range);
  // Hostile numbers are refused before any arithmetic (no overflow under UBSan).
  for (const char* key : {"vcselPeriodPreRange", "vcselPeriodFinalRange", "sleepCycles"}) {
    for (const json& v : {json(INT64_MIN), json(INT64_MAX), json("-9223372036854775808")}) {
      EXPECT_THROW(getSensorConfig(with(kType3, key, v)), std::out_of_range) << key << v;
    }
  }
  EXPECT_EQ(getSensorConfig(
                with(with(kType3, "vcselPeriodPreRange", 11), "vcselPeriodFinalRange", 70))[2],
            0xFC);
  EXPECT_THROW(getSensorConfig(with(kType3, "signalRateLimit", 2.56)), std::out_of_range);
  EXPECT_THROW(getSensorConfig(with(kType3, "signalRateLimit", -0.5)), std::out_of_range);
  EXPECT_THROW(getSensorConfig(with(kType3, "signalRateLimit", "fast")), std::invalid_argument);
  EXPECT_THROW(getSensorConfig(with(kType3, "measurementTimingBudget", 256)), std::out_of_range);
  EXPECT_EQ(getSensorConfig(with(kType1, "txPower", 8))[0], 0x83);  // spills into bit 7
  EXPECT_THROW(getSensorConfig(with(kType1, "txPower", 16)), std::out_of_range);
  EXPECT_THROW(getSensorConfig(with(kType1, "useLed", 2)), std::out_of_range);
  EXPECT_THROW(getSensorConfig(with(kType1, "sleepCycles", -1)), std::out_of_range);
  EXPECT_THROW(getSensorConfig(with(kType1, "preBatteryMeasurementDelayMin", 65536)),
               std::out_of_range);
  json missing = kType1;
  missing.erase("preBatteryMeasurementDelayMin");
  EXPECT_THROW(getSensorConfig(missing), std::invalid_argument);

  EXPECT_TRUE(getSensorConfig(with(kType1, "sensorType", 7)).empty());
  try {
    sensorConfigCommand("cfg:9", with(kType1, "sensorType", 7));
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "unknown sensor type 7");
  }
  EXPECT_THROW(sensorConfigCommand("cfg:x", kType1), std::invalid_argument);
  EXPECT_FALSE(sensorConfigCommand("cfg:9", json::object()));
}

TEST(PmFrames, NodeIdAndMode) {
  EXPECT_EQ(buildPeerModeFrame(3, 1), frame("PM", {3, 1}));
  EXPECT_EQ(buildPeerModeFrame(255, 0), frame("PM", {0xFF, 0}));
  NodeIdTable nodes;
  nodes.set(4711, 3);
  EXPECT_EQ(peerModeCommand(json("4711"), json(1), nodes).nodeId, 3);
  EXPECT_THROW(peerModeCommand(json(4711), json(256), nodes), std::out_of_range);
  EXPECT_THROW(peerModeCommand(json(4711), json(-1), nodes), std::out_of_range);
}

TEST(TbFrames, DataChunkAndFinalMessage) {
  const Bytes data{0xAA, 0xBB};
  EXPECT_EQ(buildBigMessageFrame(3, 7, dataChunkPayload(0x0100, data), 40),
            frame("TB", {0x09, 0x07, 0x04, 0x03, 0xC9, 0x01, 0x00, 0xAA, 0xBB, 0xBA}));
  const Bytes token{0xDE, 0xAD};
  EXPECT_EQ(buildBigMessageFrame(3, 7, finalChunkPayload(token), 500),
            frame("TB", {0x07, 0x07, 0x32, 0x03, 0xCA, 0xDE, 0xAD, 0x68}));
}

TEST(TbFrames, FieldsOutsideOneByteAndHighAddressesAreErrors) {
  const Bytes p = dataChunkPayload(0, Bytes{1});
  EXPECT_THROW(buildBigMessageFrame(3, 7, p, 2560), std::out_of_range);
  EXPECT_THROW(buildBigMessageFrame(3, 7, Bytes(252, 0), 40), std::length_error);
  EXPECT_EQ(buildBigMessageFrame(3, 7, Bytes(251, 0), 40)[2], 255);
  EXPECT_EQ(dataChunkPayload(65535, Bytes{}), (Bytes{201, 0xFF, 0xFF}));
}

}  // namespace
}  // namespace vantro
