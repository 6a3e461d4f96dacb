// Firmware transfers from real Intel HEX files (made by objcopy) over a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>

#include "tests/commands/CommandsFixture.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/commands/NodeCommands.hpp"
#include "vantro/commands/NodeFrames.hpp"
#include "vantro/ihex/IntelHex.hpp"

namespace vantro::test {
namespace {

class FirmwareTransfer : public CommandsTest {
 protected:
  // An image of `size` bytes (byte i holds i) from address `base` on.
  std::string makeImage(const std::string& name, int size, unsigned base = 0) {
    const auto bin = dir / (name + ".bin");
    const auto hex = dir / (name + ".hex");
    {
      std::ofstream out(bin, std::ios::binary);
      for (int i = 0; i < size; ++i) out.put(static_cast<char>(i));
    }
    const std::string cmd = fmt::format("objcopy -I binary -O ihex --change-addresses {} '{}' '{}'",
                                        base, bin.string(), hex.string());
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("objcopy failed: " + cmd);
    return hex.string();
  }

  json start(const std::string& path, json startAddr = 0, json uid = 4711) {
    return json{{"startAddr", std::move(startAddr)},
                {"filePath", path},
                {"msgtype", 1},
                {"toNodeUID", std::move(uid)},
                {"authToken", "DE AD be ef"}};
  }

  static json with(json m, const char* key, json v) {
    m[key] = std::move(v);
    return m;
  }

  static Bytes imageBytes(int from, int count) {
    Bytes b;
    for (int i = from; i < from + count; ++i) b.push_back(static_cast<Byte>(i));
    return b;
  }

  // The whole "TB" frame expected for a data chunk.
  static Bytes dataFrame(int nodeId, int msgId, int addr, int count, int ackTimeout) {
    return buildBigMessageFrame(
        static_cast<Byte>(nodeId), static_cast<Byte>(msgId),
        dataChunkPayload(static_cast<std::uint16_t>(addr), imageBytes(addr, count)), ackTimeout);
  }

  void step(json addr, const std::string& path) {
    flashUpdateStatus["txstatus"] = "SENDING";
    txBigMessageStep(addr, path, json(7), json(1), json(4711), token);
  }

  TempDir dir;
  const Bytes token{0xDE, 0xAD, 0xBE, 0xEF};
};

TEST_F(FirmwareTransfer, WholeImageChunkByChunkThenTheToken) {
  uid2id.set(4711, 3);
  const std::string path = makeImage("fw", 100);
  txBigMessage("fw:7", start(path));

  Bytes first = written();
  ASSERT_EQ(first.size(), 52u);
  EXPECT_EQ(first, dataFrame(3, 7, 0, 42, 500));
  EXPECT_EQ(first[2], 49);
  EXPECT_EQ(first[4], 50);
  EXPECT_EQ(printed.lines(),
            (std::vector<std::string>{"Starting flash procedure to UID 4711 with network ID 3 ...",
                                      "{4711: 3}"}));
  EXPECT_EQ(flashUpdateStatus["txstatus"], "ACK_WAIT");
  EXPECT_EQ(flashUpdateStatus["numSent"], 1);
  EXPECT_EQ(flashUpdateStatus["maxAddr"], 99);
  EXPECT_EQ(flashUpdateStatus["msgId"], 7);
  EXPECT_EQ(flashUpdateStatus["startAddr"], 0);
  EXPECT_EQ(flashUpdateStatus["filePath"], path);
  EXPECT_EQ(flashUpdateStatus["toNodeUID"], 4711);
  EXPECT_EQ(static_cast<const Bytes&>(flashUpdateStatus["authToken"].get_binary()), token);
  EXPECT_GT(flashUpdateStatus["startTime"].get<double>(), 1.6e9);
  for (const char* counter : {"noAckError", "crcError", "tryOnMsgReceive", "abortOnNoAck"}) {
    EXPECT_EQ(flashUpdateStatus[counter], 0) << counter;
  }
  ASSERT_TRUE(ihexCache.count(path));

  step(42, path);
  const Bytes second = written();
  EXPECT_EQ(second, dataFrame(3, 7, 42, 50, 40));
  EXPECT_EQ(second[2], 57);
  EXPECT_EQ(second[4], 4);
  EXPECT_EQ(flashUpdateStatus["numSent"], 2);

  step("92", path);
  EXPECT_EQ(written(), dataFrame(3, 7, 92, 8, 40));
  EXPECT_EQ(flashUpdateStatus["numSent"], 3);

  // Not acknowledged yet: the closing message waits.
  txBigMessageStep(json(100), path, json(7), json(1), json(4711), token);
  EXPECT_TRUE(written().empty());

  printed.clear();
  step(100, path);
  EXPECT_EQ(written(), frame("TB", {0x09, 0x07, 0x04, 0x03, 0xCA, 0xDE, 0xAD, 0xBE, 0xEF, 0xE7}));
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"Sent last data chunk."});
  EXPECT_EQ(flashUpdateStatus["numSent"], 4);
  EXPECT_EQ(flashUpdateStatus["txstatus"], "ACK_WAIT");
}

TEST_F(FirmwareTransfer, StartPastTheImageSendsTheTokenAtOnce) {
  const std::string path = makeImage("fw", 100);
  txBigMessage("fw:7", start(path, 150));
  EXPECT_EQ(written(), frame("TB", {0x09, 0x07, 0x04, 0xFF, 0xCA, 0xDE, 0xAD, 0xBE, 0xEF, 0xEB}));
  EXPECT_TRUE(printed.contains("Sent last data chunk."));
  EXPECT_EQ(flashUpdateStatus["numSent"], 1);
}

TEST_F(FirmwareTransfer, SecondStartSwitchesThePreviousTargetOffFirst) {
  uid2id.set(4711, 3);
  uid2id.set(4712, 4);
  const std::string a = makeImage("a", 100);
  const std::string b = makeImage("b", 60);
  txBigMessage("fw:7", start(a));
  written();
  ASSERT_TRUE(ihexCache.count(a));

  Bytes command;
  std::thread board = answerPeerMode("PMS", &command);
  txBigMessage("fw:8", start(b, 0, "4712"));
  board.join();
  EXPECT_EQ(command, frame("PM", {0x03, 0x00}));
  EXPECT_EQ(written(), dataFrame(4, 8, 0, 42, 500));
  EXPECT_TRUE(printed.contains("Set keep-peer-in-rx mode for node ID 3 to 0"));
  EXPECT_TRUE(printed.contains("{4711: 3, 4712: 4}"));
  EXPECT_FALSE(ihexCache.count(a));
  EXPECT_TRUE(ihexCache.count(b));
  EXPECT_EQ(flashUpdateStatus["toNodeUID"], 4712);
  EXPECT_EQ(flashUpdateStatus["numSent"], 1);
  EXPECT_EQ(flashUpdateStatus["maxAddr"], 59);
}

TEST_F(FirmwareTransfer, MissingFileSendsNothing) {
  for (const std::string& path : {(dir / "none.hex").string(), std::string()}) {
    flashUpdateStatus = json::object();  // no previous target to switch off
    txBigMessage("fw:7", start(path));
    EXPECT_TRUE(written().empty());
  }
  EXPECT_FALSE(printed.contains("Sent last data chunk."));
  EXPECT_EQ(flashUpdateStatus["txstatus"], "SENDING");
  EXPECT_EQ(flashUpdateStatus["numSent"], 0);
  EXPECT_FALSE(flashUpdateStatus.contains("maxAddr"));
  EXPECT_TRUE(ihexCache.empty());
}

TEST_F(FirmwareTransfer, RejectedStartLeavesTheTransferInProgressAlone) {
  const std::string path = makeImage("fw", 100);
  txBigMessage("fw:7", start(path));
  written();
  const json before = flashUpdateStatus;

  json badToken = start(path);
  badToken["authToken"] = "DE AD B";
  json badAddr = start(path, "zero");
  json noFile = start(path);
  noFile.erase("filePath");
  json badUid = start(path, 0, "node");
  EXPECT_THROW(txBigMessage("fw:7", badToken), std::invalid_argument);
  EXPECT_THROW(txBigMessage("fw:7", badAddr), std::invalid_argument);
  EXPECT_THROW(txBigMessage("fw:7", noFile), std::invalid_argument);
  EXPECT_THROW(txBigMessage("fw:7", badUid), std::invalid_argument);
  EXPECT_THROW(txBigMessage("fw:seven", start(path)), std::invalid_argument);
  txBigMessage("fw:7", json::object());

  EXPECT_TRUE(written().empty());  // in particular no "PM"
  EXPECT_EQ(flashUpdateStatus, before);
  EXPECT_TRUE(ihexCache.count(path));
}

TEST_F(FirmwareTransfer, FieldsOutsideTheFrameFailBeforeTheFrame) {
  const std::string path = makeImage("fw", 100);
  EXPECT_THROW(txBigMessage("fw:256", start(path)), std::out_of_range);
  flashUpdateStatus = json::object();
  EXPECT_THROW(txBigMessage("fw:7", with(start(path), "msgtype", 256)), std::out_of_range);
  flashUpdateStatus = json::object();
  uid2id.set(4711, 300);
  EXPECT_THROW(txBigMessage("fw:7", start(path)), std::out_of_range);
  EXPECT_TRUE(written().empty());
  EXPECT_EQ(flashUpdateStatus, json::object());
}

TEST_F(FirmwareTransfer, ChunkAddressAbove65535IsAnError) {
  const std::string path = makeImage("high", 10, 0x10000);
  EXPECT_THROW(txBigMessage("fw:7", start(path, 0x10000)), std::out_of_range);
  flashUpdateStatus = json::object();
  // A negative start is refused before the transfer state is touched.
  EXPECT_THROW(txBigMessage("fw:7", start(path, -2)), std::out_of_range);
  EXPECT_TRUE(written().empty());
  EXPECT_EQ(flashUpdateStatus, json::object());
}

TEST_F(FirmwareTransfer, BadOrEmptyImagesAreErrorsAndNotCached) {
  const auto bad = (dir / "bad.hex").string();
  std::ofstream(bad) << ":0300000001020300\n";
  try {
    txBigMessage("fw:7", start(bad));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(bad + ", line 1: bad checksum"), std::string::npos);
  }
  const auto empty = (dir / "empty.hex").string();
  std::ofstream(empty) << ":00000001FF\n";
  flashUpdateStatus = json::object();
  EXPECT_THROW(txBigMessage("fw:7", start(empty)), std::runtime_error);
  EXPECT_TRUE(ihexCache.empty());
  EXPECT_TRUE(written().empty());
}

}  // namespace
}  // namespace vantro::test
