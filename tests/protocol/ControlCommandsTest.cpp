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

TEST_F(ControlCommands, MqttStateIsRecordedButNeverWakesTheBoard) {
  proto->setMqttConnected(true);
  EXPECT_TRUE(proto->mqttConnected);
  proto->encryptionSetup = true;
  proto->setMqttConnected(false);
  EXPECT_FALSE(proto->mqttConnected);
  proto->setMqttConnected(true);
  EXPECT_EQ(written(), "");
}

TEST_F(ControlCommands, PostEncryptionWakesWhetherOrNotMqttIsUp) {
  proto->postEncryption();
  EXPECT_EQ(written(), "TC");
  proto->setMqttConnected(true);
  proto->postEncryption();
  EXPECT_EQ(written(), "TC");
}

TEST_F(ControlCommands, RebindWakesABoardSetUpEarlierAndNeverThrows) {
  proto->rebind(link, mqtt, parser);
  EXPECT_EQ(written(), "") << "nothing set up yet";
  proto->encryptionSetup = true;
  proto->rebind(link, mqtt, parser);
  EXPECT_EQ(written(), "TC");
  EXPECT_FALSE(proto->mqttConnected);

  printed.clear();
  link->close();
  EXPECT_NO_THROW(proto->rebind(link, mqtt, parser));
  ASSERT_EQ(printed.lines().size(), 2U);
  EXPECT_EQ(printed.lines()[1].rfind("Could not wake the Duzediv Eri: ", 0), 0U)
      << printed.lines()[1];
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
  EXPECT_THROW(proto->postEncryption(), std::system_error);
}

}  // namespace
}  // namespace vantro::test
