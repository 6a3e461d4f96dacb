// txMessage, txSensorConfig and setPeerMode on a real pseudo-terminal.
#include "vantro/commands/NodeCommands.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/commands/CommandsFixture.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro::test {
namespace {

using TxMessage = CommandsTest;
using SensorConfig = CommandsTest;
using PeerMode = CommandsTest;
using OnTheLoopThread = CommandsTest;

TEST_F(TxMessage, WritesTheFrameAndReportsNodeAndLength) {
  txMessage("tx:5", json{{"msgtype", 11}, {"outputLevel", 300}, {"toid", 7}});
  EXPECT_EQ(written(), frame("TX", {0x09, 0x00, 0x05, 0, 0, 0, 0x07, 0x0B, 0x01, 0x2C}));
  EXPECT_EQ(printed.lines(),
            std::vector<std::string>{"Sent message to node with ID 7 of length 8"});

  txMessage("tx:5", json{{"msgtype", "10"}, {"waterTemp", "42"}, {"toid", "7"}});
  EXPECT_EQ(written(), frame("TX", {0x08, 0x00, 0x05, 0, 0, 0, 0x07, 0x0A, 0x2A}));
  EXPECT_TRUE(printed.contains("Sent message to node with ID 7 of length 7"));
}

TEST_F(TxMessage, NothingForAnUnknownTypeOrAnEmptyMap) {
  txMessage("tx:5", json{{"msgtype", 12}, {"toid", 7}});
  txMessage("tx:5", json::object());
  EXPECT_TRUE(written().empty());
  EXPECT_TRUE(printed.lines().empty());
}

TEST_F(TxMessage, RejectedCommandsLeaveTheLineUntouched) {
  const json bad[] = {
      {{"msgtype", 10}, {"waterTemp", 256}, {"toid", 7}},
      {{"msgtype", 11}, {"outputLevel", 65536}, {"toid", 7}},
      {{"msgtype", 10}, {"waterTemp", 1}, {"toid", "x7"}},
      {{"msgtype", 10}, {"waterTemp", 1}, {"toid", -1}},
      {{"msgtype", 10}, {"waterTemp", 1}},
      {{"msgtype", "ten"}, {"waterTemp", 1}, {"toid", 7}},
  };
  for (const auto& m : bad) EXPECT_ANY_THROW(txMessage("tx:5", m)) << m.dump();
  EXPECT_THROW(txMessage("tx:five", json{{"msgtype", 204}, {"toid", 7}}), std::invalid_argument);
  EXPECT_TRUE(written().empty());
  EXPECT_TRUE(printed.lines().empty());
}

TEST_F(TxMessage, NoPortIsAnError) {
  ser.reset();
  EXPECT_THROW(txMessage("tx:5", json{{"msgtype", 204}, {"toid", 7}}), std::runtime_error);
}

TEST_F(SensorConfig, WritesTheFrameAndNamesTheWholeKey) {
  txSensorConfig("cfg:9", json{{"sensorType", 1},
                               {"sleepCycles", 3},
                               {"useLed", 1},
                               {"txPower", 2},
                               {"preBatteryMeasurementDelayMin", 600}});
  EXPECT_EQ(written(), frame("PP", {0x07, 0, 0, 0, 0x09, 0xA3, 0x02, 0x58}));
  EXPECT_EQ(printed.lines(),
            std::vector<std::string>{"Sent sensor config from channel cfg:9 to Duzediv Eri"});
}

TEST_F(SensorConfig, RejectedConfigurationsLeaveTheLineUntouched) {
  const json base{{"sensorType", 3},
                  {"sleepCycles", 1},
                  {"useLed", 0},
                  {"txPower", 3},
                  {"vcselPeriodPreRange", 14},
                  {"vcselPeriodFinalRange", 10},
                  {"signalRateLimit", 0.25},
                  {"measurementTimingBudget", 33}};
  for (const auto& [key, value] :
       std::vector<std::pair<const char*, json>>{{"vcselPeriodPreRange", 10},
                                                 {"vcselPeriodPreRange", 19},
                                                 {"signalRateLimit", 2.56},
                                                 {"sensorType", 7},
                                                 {"measurementTimingBudget", nullptr}}) {
    json m = base;
    m[key] = value;
    EXPECT_ANY_THROW(txSensorConfig("cfg:9", m)) << key;
  }
  EXPECT_THROW(txSensorConfig("cfg:nine", base), std::invalid_argument);
  txSensorConfig("cfg:9", json::object());
  EXPECT_TRUE(written().empty());
  EXPECT_TRUE(printed.lines().empty());
}

TEST_F(PeerMode, AcceptedByTheBoard) {
  uid2id.set(4711, 3);
  Bytes command;
  std::thread board = answerPeerMode("PMS", &command);
  setPeerMode(json(4711), json(1));
  board.join();
  EXPECT_EQ(command, frame("PM", {0x03, 0x01}));
  EXPECT_EQ(printed.lines(),
            std::vector<std::string>{"Set keep-peer-in-rx mode for node ID 3 to 1"});
}

TEST_F(PeerMode, RefusedForAnUnknownNode) {
  Bytes command;
  std::thread board = answerPeerMode("PME", &command);
  setPeerMode(json("4711"), json("0"));
  board.join();
  EXPECT_EQ(command, frame("PM", {0xFF, 0x00}));
  EXPECT_EQ(printed.lines(),
            std::vector<std::string>{"Failed to set keep-peer-in-rx mode for node ID 255 to 0 - "
                                     "node not registered. Error code: b'PME'"});
}

TEST_F(PeerMode, NoAnswerWithinOneSecond) {
  uid2id.set(4711, 3);
  const auto start = std::chrono::steady_clock::now();
  setPeerMode(json(4711), json(1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
  EXPECT_EQ(written(), frame("PM", {0x03, 0x01}));
  EXPECT_EQ(printed.lines(),
            std::vector<std::string>{"Failed to set keep-peer-in-rx mode for node ID 3 to 1 - "
                                     "node not registered. Error code: b''"});
  EXPECT_FALSE(peerModeReply.awaiting());
  peerModeReply.deliver(toBytes("PMS"));  // too late: dropped
  EXPECT_TRUE(peerModeReply.wait(0ms).empty());
}

TEST_F(PeerMode, ModeOutsideOneByteWritesNothing) {
  EXPECT_THROW(setPeerMode(json(4711), json(256)), std::out_of_range);
  EXPECT_THROW(setPeerMode(json(4711), json("on")), std::invalid_argument);
  EXPECT_THROW(setPeerMode(json("uid"), json(1)), std::invalid_argument);
  EXPECT_TRUE(written().empty());
  EXPECT_FALSE(peerModeReply.awaiting());
}

TEST_F(OnTheLoopThread, NodeCommandsRefuseToBlockTheEventLoop) {
  EventLoop loop;
  loop.runUntilComplete([]() -> Awaitable<void> {
    const json m{{"msgtype", 204}, {"toid", 7}};
    // The operations over the process's session.
    for (auto* op : {+[](const json& v) { vantro::txMessage("tx:5", v); },
                     +[](const json&) {
                       vantro::txSensorConfig("cfg:9", json{{"sensorType", 1}});
                     },
                     +[](const json&) { vantro::setPeerMode(json(1), json(1)); },
                     +[](const json&) {
                       vantro::txBigMessage("fw:1", json{{"startAddr", 0}});
                     },
                     +[](const json&) {
                       vantro::txBigMessageStep(json(0), "x.hex", json(1), json(1), json(1),
                                                Bytes{});
                     },
                     +[](const json&) { vantro::txBigMessageChunk(1, 1, Bytes{1}, 40); }}) {
      try {
        op(m);
        ADD_FAILURE() << "ran on the loop thread";
      } catch (const std::logic_error& e) {
        EXPECT_NE(std::string(e.what()).find("must run on the transmit worker"), std::string::npos);
      }
    }
    co_return;
  }());
  EXPECT_TRUE(written().empty());
}

}  // namespace
}  // namespace vantro::test
