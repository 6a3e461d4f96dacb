// Version 1 records from the board: dispatch, decoding, the node table and publishing.
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

#include "tests/protocol/ProtocolFixture.hpp"
#include "vantro/ChachaSerialRFM69/ChachaSerialRFM69.hpp"

namespace vantro::test {
namespace {

constexpr Byte kSentinel = 0x7E;

std::int64_t nowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

/// A "SP" body: local start-up counter 7, UID 258, peer counters 3 and 99.
const Bytes kStoreStateBody{0, 0, 0, 7, 0xAA, 0, 0, 1, 2, 0, 0, 0, 3, 0, 0, 0, 99};

using Receive = ProtocolFixture<TelvariSpeakV1>;

TEST_F(Receive, UnknownMarkerReadsNothing) {
  board(Bytes{kSentinel});
  EXPECT_FALSE(process("XY"));
  EXPECT_FALSE(process("HL"));
  EXPECT_FALSE(process("RT"));  // a version 2 record
  EXPECT_EQ(nextByte(), kSentinel);
}

TEST_F(Receive, EveryMarkerConsumesExactlyItsBody) {
  const std::vector<std::pair<std::string, Bytes>> records{
      {"SD", nodeRecord(5, 70, kClimateBody)},
      {"SI", nodeRecord(5, 70, kClimateBody)},
      {"SX", {4, 1, 2, 60, 3}},
      {"SP", kStoreStateBody},
      {"ST", {0, 0, 1, 0, 0, 0, 0, 2}},
      {"LG", toBytes("abc\r\n")},
  };
  for (const auto& [marker, body] : records) {
    SCOPED_TRACE(marker);
    board(concat(body, {kSentinel}));
    EXPECT_TRUE(process(marker));
    EXPECT_EQ(nextByte(), kSentinel);
  }
  EXPECT_EQ(mqtt->publications.size(), 1U);
  EXPECT_TRUE(std::filesystem::exists(statusDir / "258.status"));
}

TEST_F(Receive, NodeMessageLearnsTheNodeAndPublishesWithTheHostTime) {
  board(nodeRecord(5, 70, kClimateBody));
  const std::int64_t before = nowMillis();
  EXPECT_TRUE(process("SD"));
  const std::int64_t after = nowMillis();

  EXPECT_EQ(proto->uid2id->snapshot(), (std::map<std::uint32_t, int>{{258, 5}}));
  ASSERT_EQ(mqtt->publications.size(), 1U);
  const auto& pub = mqtt->publications[0];
  EXPECT_EQ(pub.topic, "sensor/258/climate");
  EXPECT_EQ(pub.qos, 1);
  EXPECT_TRUE(pub.retain);
  const std::string prefix = "{\"ts\":";
  ASSERT_EQ(pub.payload.rfind(prefix, 0), 0U) << pub.payload;
  const std::int64_t ts = std::stoll(pub.payload.substr(prefix.size()));
  EXPECT_GE(ts, before);
  EXPECT_LE(ts, after);
  EXPECT_NE(pub.payload.find("\"rssi\":-70,"), std::string::npos) << pub.payload;
  EXPECT_EQ(printed.lines(),
            std::vector<std::string>{"Sender 5: " + kClimateText + " \t RSSI: -70"});

  // The same UID with another node id takes over the entry.
  board(nodeRecord(9, 0, kClimateBody));
  EXPECT_TRUE(process("SD"));
  EXPECT_EQ(proto->uid2id->get(258), 9);
  EXPECT_TRUE(printed.contains("Sender 9: " + kClimateText + " \t RSSI: 0"));
}

TEST_F(Receive, DuplicateIsReportedButNeitherLearnedNorPublished) {
  proto->uid2id->set(258, 4);
  board(nodeRecord(5, 70, kClimateBody));
  EXPECT_TRUE(process("SI"));
  EXPECT_EQ(proto->uid2id->snapshot(), (std::map<std::uint32_t, int>{{258, 4}}));
  EXPECT_TRUE(mqtt->publications.empty());
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"Sender 5: Duplicate msg \t RSSI: -70 "});

  // A duplicate that no parser understands is reported as not parsable.
  printed.clear();
  board(nodeRecord(5, 70, {0x01, 0x02}));
  EXPECT_TRUE(process("SI"));
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"Sender 5: Could not parse msg. RSSI: -70"});
}

TEST_F(Receive, UnparsableBodiesAreReportedAfterTheNodeIsLearned) {
  board(nodeRecord(5, 70, {}));  // N = 7: empty body
  EXPECT_TRUE(process("SD"));
  board(nodeRecord(6, 71, {0x09, 1, 2, 3, 4}));  // unknown type
  EXPECT_TRUE(process("SD"));
  EXPECT_EQ(printed.lines(),
            (std::vector<std::string>{"Sender 5: Could not parse msg. RSSI: -70",
                                      "Sender 6: Could not parse msg. RSSI: -71"}));
  EXPECT_EQ(proto->uid2id->get(258), 6);
  EXPECT_TRUE(mqtt->publications.empty());
}

TEST_F(Receive, ShortNodeRecordFailsAndLeavesTheRestInTheStream) {
  // Payloads of 0, 3, 4 and 6 bytes miss the UID, the node id or the signal byte.
  for (const Bytes& record :
       {Bytes{0}, Bytes{3, 0, 1, 2}, Bytes{4, 0, 0, 1, 2}, Bytes{6, 0, 0, 1, 2, 5, 0}}) {
    SCOPED_TRACE(record.size());
    board(concat(record, {kSentinel}));
    EXPECT_THROW(process("SD"), std::out_of_range);
    EXPECT_EQ(nextByte(), kSentinel);
  }
  EXPECT_TRUE(proto->uid2id->empty());
  EXPECT_TRUE(mqtt->publications.empty());
  EXPECT_TRUE(printed.lines().empty());
}

TEST_F(Receive, MissingLengthByteFails) {
  EXPECT_THROW(process("SD"), std::out_of_range);
  EXPECT_THROW(process("SX"), std::out_of_range);
  EXPECT_TRUE(printed.lines().empty());
}

TEST_F(Receive, BodyCutShortByTheReadTimeoutIsHandledAsAShorterRecord) {
  Bytes record = nodeRecord(5, 70, kClimateBody);
  record.resize(record.size() - 3);  // the link's time-out ends the read
  board(record);
  EXPECT_TRUE(process("SD"));
  EXPECT_EQ(proto->uid2id->get(258), 5);
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"Sender 5: Could not parse msg. RSSI: -70"});
}

TEST_F(Receive, DecryptFailureIsPrintedWithItsExtraBytes) {
  board(Bytes{7, 1, 2, 60, 3, 12, 0, 255});
  EXPECT_TRUE(process("SX"));
  board(Bytes{4, 250, 0, 0, 9});
  EXPECT_TRUE(process("SX"));
  EXPECT_EQ(printed.lines(),
            (std::vector<std::string>{
                "TX 1 -> RX 2: Decrypt Failed. [12, 0, 255] Connection index: 3 \t RSSI: -60",
                "TX 250 -> RX 0: Decrypt Failed. [] Connection index: 9 \t RSSI: 0"}));
  EXPECT_TRUE(proto->uid2id->empty());
  EXPECT_TRUE(mqtt->publications.empty());

  board(Bytes{3, 1, 2, 60, kSentinel});
  EXPECT_THROW(process("SX"), std::out_of_range);
  EXPECT_EQ(nextByte(), kSentinel);
}

TEST_F(Receive, StatisticsAreUnsignedBigEndian) {
  board(Bytes{0, 0, 1, 0, 0, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0});
  EXPECT_TRUE(process("ST"));
  EXPECT_TRUE(process("ST"));
  EXPECT_EQ(printed.lines(),
            (std::vector<std::string>{"Num RX: 256, Num Lost Packets: 2",
                                      "Num RX: 4294967295, Num Lost Packets: 2147483648"}));

  board(Bytes{0, 0, 0, 1, 0, 0, 0});  // one byte short
  EXPECT_THROW(process("ST"), std::out_of_range);
}

TEST_F(Receive, LogLineLosesItsLineEndAndUndecodableBytesAndShowsControlsEscaped) {
  board("abc\r\n");
  EXPECT_TRUE(process("LG"));
  board(Bytes{'a', 0xFF, 'b', 0xC3, 0xA9, '\r', '\n'});  // 0xC3 0xA9 is "é"
  EXPECT_TRUE(process("LG"));
  board("\n");
  EXPECT_TRUE(process("LG"));
  // A terminal showing the journal must not obey the board: no raw ESC, BEL or CSI.
  board(
      "\x1b]0;owned\x07\x1b[2J\xC2\x9b"
      "1mok\r\n");
  EXPECT_TRUE(process("LG"));
  EXPECT_EQ(printed.lines(),
            (std::vector<std::string>{"[GW Log] abc", "[GW Log] ab\xC3\xA9", "[GW Log] ",
                                      "[GW Log] \\x1b]0;owned\\x07\\x1b[2J\\u009b1mok"}));
}

TEST_F(Receive, StoredPeerStateIsReadableByThePeerLink) {
  board(kStoreStateBody);
  EXPECT_TRUE(process("SP"));
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"Storing state for UID 258."});

  ChachaSerialRFM69 peerLink(1, -80, statusDir.str());
  ASSERT_TRUE(peerLink.setupEncryptionForNode(258));
  EXPECT_EQ(peerLink.local.at("startupCounter"), 7U);
  EXPECT_EQ(peerLink.peer.at("uid"), 258U);
  EXPECT_EQ(peerLink.peer.at("startupCounter"), 3U);
  EXPECT_EQ(peerLink.peer.at("messageCounter"), 99U);
}

TEST_F(Receive, ShortPeerStateStoresNothing) {
  board(Bytes(kStoreStateBody.begin(), kStoreStateBody.begin() + 8));  // UID incomplete
  EXPECT_THROW(process("SP"), std::out_of_range);
  EXPECT_TRUE(printed.lines().empty());
  EXPECT_TRUE(std::filesystem::is_empty(statusDir.path()));
}

}  // namespace
}  // namespace vantro::test
