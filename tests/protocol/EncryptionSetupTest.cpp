// Encryption set-up against a board played on the pseudo-terminal, and the
// log-line wait it relies on.
#include <fstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "tests/protocol/ProtocolFixture.hpp"
#include "vantro/ChachaSerialRFM69/ChachaSerialRFM69.hpp"

namespace vantro::test {
namespace {

/// A board that must not leave the set-up waiting forever in these tests.
constexpr auto kSetupLimit = 5s;

Args ids(long long nodeId, long long networkId) {
  Args a;
  a.nodeId = nodeId;
  a.networkId = networkId;
  return a;
}

const Bytes kLocalSetup{'L', 'S', 0x01, 0x64, 0, 0, 0, 0};

class EncryptionSetup : public ProtocolFixture<TelvariSpeakV1> {
 protected:
  void runSetup(const Args& args) {
    run([](TelvariSpeakV1* p, Args a) -> Awaitable<void> {
      co_await withTimeout(p->setupEncryption(a), kSetupLimit, "setup");
    }(proto.get(), args));
  }

  std::string waitFor(std::optional<std::string> awaited) {
    std::string got;
    run([](SerialLink* l, std::optional<std::string> a, std::string* out) -> Awaitable<void> {
      *out = co_await TelvariSpeakV1::waitForRxMsg(*l, std::move(a));
    }(link.get(), std::move(awaited), &got));
    return got;
  }
};

TEST_F(EncryptionSetup, EmptyStatusDirectorySendsOnlyTheLocalSetupAndWakesWithoutMqtt) {
  Bytes received;
  Bytes beforeConfirmation;
  std::thread boardSide([&] {
    received = pty.read(kLocalSetup.size(), kSetupLimit);
    beforeConfirmation = pty.readUntilQuiet(kQuiet);
    pty.write("LGLocal node setup complete\r\n");
  });
  runSetup(ids(1, 100));
  boardSide.join();

  EXPECT_EQ(received, kLocalSetup);
  EXPECT_TRUE(beforeConfirmation.empty());
  EXPECT_TRUE(proto->encryptionSetup);
  EXPECT_TRUE(proto->uid2Radio.empty());
  EXPECT_EQ(written(), "TC");
  EXPECT_EQ(printed.lines(), (std::vector<std::string>{
                                 "Sent local node setup for node 1, network 100 \n",
                                 "[GW Log] Local node setup complete", "Waking Duzediv Eri up\n"}));
}

TEST_F(EncryptionSetup, OnlyDecimalStatusFilesBecomePeersAndEachWaitsForItsConfirmation) {
  ChachaSerialRFM69::storeState(statusDir.str(), Bytes{0, 0, 0, 1},
                                Bytes{0, 0, 0, 17, 0, 0, 0, 2, 0, 0, 0, 3});
  std::ofstream(statusDir / "notes.status") << "not a peer";
  std::ofstream(statusDir / "4.2.status") << "not a peer either";

  Bytes local;
  Bytes peer;
  Bytes early;
  std::thread boardSide([&] {
    local = pty.read(kLocalSetup.size(), kSetupLimit);
    early = pty.readUntilQuiet(kQuiet);
    pty.write("garbage without the marker\r\n");
    pty.write("LGRadio init\r\n");
    pty.write("LGLocal node setup complete\r\n");
    peer = pty.read(19 + 32, kSetupLimit);
    pty.write("xxLG Peer setup complete \r\n");
  });
  runSetup(ids(1, 100));
  boardSide.join();

  EXPECT_EQ(local, kLocalSetup);
  EXPECT_TRUE(early.empty()) << "a peer set-up went out before the local one was confirmed";
  const Bytes header{'P', 'S', 0, 0, 0, 1, 0, 0, 0, 0, 17, 0, 0, 0, 2, 0, 0, 0, 3};
  ASSERT_EQ(peer.size(), header.size() + 32);
  EXPECT_EQ(Bytes(peer.begin(), peer.begin() + 19), header);
  ChachaSerialRFM69 reference(1, -80, statusDir.str());
  ASSERT_TRUE(reference.setupEncryptionForNode(17));
  EXPECT_EQ(Bytes(peer.begin() + 19, peer.end()), reference.encryptionKey);

  EXPECT_EQ(proto->uid2Radio.size(), 1U);
  EXPECT_EQ(proto->uid2Radio.count(17), 1U);
  EXPECT_TRUE(proto->encryptionSetup);
  EXPECT_EQ(written(), "TC") << "woken once, whatever MQTT does";
  EXPECT_EQ(printed.lines(),
            (std::vector<std::string>{"Sent local node setup for node 1, network 100 \n",
                                      "[GW Log] Radio init", "[GW Log] Local node setup complete",
                                      "Sent peer node setup\n", "[GW Log] Peer setup complete",
                                      "Waking Duzediv Eri up\n"}));

  proto->setMqttConnected(true);
  EXPECT_EQ(written(), "") << "a broker coming up does not wake the board again";
}

TEST_F(EncryptionSetup, IdsOutsideOneByteFailBeforeAnythingIsWritten) {
  EXPECT_THROW(runSetup(ids(256, 100)), std::out_of_range);
  EXPECT_THROW(runSetup(ids(1, -1)), std::out_of_range);
  EXPECT_EQ(written(), "");
  EXPECT_FALSE(proto->encryptionSetup);
}

TEST_F(EncryptionSetup, WaitSkipsNonLogLinesAndPrintsEveryLogLine) {
  board("no marker here\r\n");
  board("xyLG Peer setup complete\r\n");
  EXPECT_EQ(waitFor("Peer setup complete"), "Peer setup complete");
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"[GW Log] Peer setup complete"});
}

TEST_F(EncryptionSetup, WaitWithoutAwaitedTextTakesTheFirstReadEvenAnEmptyOne) {
  EXPECT_EQ(waitFor(std::nullopt), "");
  EXPECT_TRUE(printed.lines().empty());

  board("LG  abc\x1b[8m \r\n");
  EXPECT_EQ(waitFor(std::nullopt), "abc\x1b[8m");
  EXPECT_EQ(printed.lines(), std::vector<std::string>{"[GW Log] abc\\x1b[8m"});
}

TEST_F(EncryptionSetup, WaitForAnAwaitedTextOutlastsEmptyReads) {
  loop.spawn([this]() -> Awaitable<void> {
    co_await sleep(kLinkTimeout * 2);
    board("LGLocal node setup complete\r\n");
  });
  EXPECT_EQ(waitFor("Local node setup complete"), "Local node setup complete");
}

}  // namespace
}  // namespace vantro::test
