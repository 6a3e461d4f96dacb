// Control commands of the version 1 object and the wake-up rule.
#include <gtest/gtest.h>

#include "tests/protocol/ProtocolFixture.hpp"

namespace vantro::test {
namespace {

using ControlCommands = ProtocolFixture<TelvariSpeakV1>;

TEST_F(ControlCommands, NewObjectStartsEmptyAndWritesNothing) {
  EXPECT_TRUE(proto->uid2id->empty());
  EXPECT_TRUE(proto->uid2Radio.empty());
  EXPECT_FALSE(proto->mqttConnected);
  EXPECT_FALSE(proto->encryptionSetup);
  EXPECT_EQ(proto->txQueue.size(), 0U);
  EXPECT_EQ(proto->txQueue.capacity(), 10U);
  EXPECT_EQ(written(), "");
}

TEST_F(ControlCommands, MqttUpWakesTheBoardOnlyOnceEncryptionIsSetUp) {
  proto->setMqttConnected(true);
  EXPECT_TRUE(proto->mqttConnected);
  EXPECT_EQ(written(), "");

  proto->encryptionSetup = true;
  proto->setMqttConnected(false);
  EXPECT_FALSE(proto->mqttConnected);
  EXPECT_EQ(written(), "");

  // Every reconnection wakes the board again.
  proto->setMqttConnected(true);
  proto->setMqttConnected(true);
  EXPECT_EQ(written(), "TCTC");
}

TEST_F(ControlCommands, PostEncryptionWakesOnlyWhileMqttIsUp) {
  proto->postEncryption();
  EXPECT_EQ(written(), "");
  proto->setMqttConnected(true);
  proto->postEncryption();
  EXPECT_EQ(written(), "TC");
}

TEST_F(ControlCommands, WakeupAndShutdownWriteExactlyTheirTwoLetters) {
  proto->wakeupRadio();
  EXPECT_EQ(written(), "TC");
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"Waking Duzediv Eri up\n"});

  printed.clear();
  proto->shutdown();
  EXPECT_EQ(written(), "SC");
  EXPECT_TRUE(printed.lines().empty());
}

TEST_F(ControlCommands, WriteOnAClosedLinkReachesTheCaller) {
  link->close();
  EXPECT_THROW(proto->shutdown(), std::system_error);
  proto->encryptionSetup = true;
  EXPECT_THROW(proto->setMqttConnected(true), std::system_error);
}

}  // namespace
}  // namespace vantro::test
