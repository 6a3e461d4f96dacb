// Writing peer state: content, sizes, file modes and crash safety.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "tests/peer/PeerTestUtil.hpp"
#include "tests/support/PrintCapture.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/ChachaSerialRFM69/ChachaSerialRFM69.hpp"
#include "vantro/ChachaSerialRFM69/PeerStateFile.hpp"

namespace fs = std::filesystem;
using namespace vantro;
using namespace vantro::test;

namespace {

void store(const TempDir& dir, const SpBlocks& b) {
  ChachaSerialRFM69::storeState(dir.str(), b.first, b.second);
}

peerlink::PeerState stateOnDisk(const fs::path& p) {
  return peerlink::decodePeerState(readFileBytes(p));
}

}  // namespace

TEST(StoreState, RoundTripGivesBackTheCountersAndAKey) {
  TempDir dir;
  PrintCapture printed;
  store(dir, spBlocks(7, 258, 3, 0x01020304));
  ASSERT_TRUE(fs::exists(dir / "258.status"));
  EXPECT_EQ(readFileBytes(dir / "258.status").size(), peerlink::kStateFileSize);

  ChachaSerialRFM69 link(1, -80, dir.str());
  ASSERT_TRUE(link.setupEncryptionForNode(258));
  EXPECT_EQ(link.local.at("startupCounter"), 7U);
  EXPECT_EQ(link.peer.at("uid"), 258U);
  EXPECT_EQ(link.peer.at("startupCounter"), 3U);
  EXPECT_EQ(link.peer.at("messageCounter"), 0x01020304U);
  EXPECT_EQ(link.encryptionKey.size(), 32U);
  EXPECT_TRUE(printed.lines().empty());
}

TEST(StoreState, FullRangeCountersSurvive) {
  TempDir dir;
  store(dir, spBlocks(0xFFFFFFFF, 0xFFFFFFFF, 0x80000000, 0));
  ChachaSerialRFM69 link(1, -80, dir.str());
  ASSERT_TRUE(link.setupEncryptionForNode(0xFFFFFFFF));
  EXPECT_EQ(link.local.at("startupCounter"), 0xFFFFFFFFU);
  EXPECT_EQ(link.peer.at("startupCounter"), 0x80000000U);
  EXPECT_EQ(link.peer.at("messageCounter"), 0U);
  EXPECT_TRUE(fs::exists(dir / "4294967295.status"));
}

TEST(StoreState, LaterStoreReplacesTheOldStateAndLeavesNoStrayFiles) {
  TempDir dir;
  store(dir, spBlocks(1, 42, 1, 10));
  store(dir, spBlocks(2, 42, 5, 99));
  EXPECT_EQ(stateOnDisk(dir / "42.status").peerMessageCounter, 99U);
  EXPECT_EQ(stateOnDisk(dir / "42.status").localStartupCounter, 2U);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(StoreState, RejectsBlocksOfTheWrongSize) {
  TempDir dir;
  const SpBlocks ok = spBlocks(1, 42, 1, 1);
  const Bytes three(3, 0), five(5, 0), eleven(11, 0), thirteen(13, 0);
  EXPECT_THROW(ChachaSerialRFM69::storeState(dir.str(), three, ok.second), std::invalid_argument);
  EXPECT_THROW(ChachaSerialRFM69::storeState(dir.str(), five, ok.second), std::invalid_argument);
  EXPECT_THROW(ChachaSerialRFM69::storeState(dir.str(), ok.first, eleven), std::invalid_argument);
  EXPECT_THROW(ChachaSerialRFM69::storeState(dir.str(), ok.first, thirteen), std::invalid_argument);
  EXPECT_THROW(ChachaSerialRFM69::storeState(dir.str(), {}, {}), std::invalid_argument);
  try {
    ChachaSerialRFM69::storeState(dir.str(), ok.first, eleven);
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("12 bytes"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("got 11"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(StoreState, MissingDirectoryIsASystemErrorNamingThePath) {
  TempDir dir;
  const SpBlocks b = spBlocks(1, 42, 1, 1);
  const std::string missing = (dir / "nope").string();
  try {
    ChachaSerialRFM69::storeState(missing, b.first, b.second);
    FAIL() << "no error";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
  }
}

TEST(StoreState, FilesAreCreatedWithMode0600WhateverTheUmask) {
  TempDir dir;
  const mode_t old = ::umask(0);
  store(dir, spBlocks(1, 42, 1, 1));
  ChachaSerialRFM69 link(1, -80, dir.str());
  const bool ok = link.setupEncryptionForNode(42);
  ::umask(old);
  ASSERT_TRUE(ok);
  EXPECT_EQ(fileMode(dir / "42.status"), 0600U);
  EXPECT_EQ(fileMode(dir / "network.key"), 0600U);

  // Replacing a file that someone made world-readable tightens it again.
  fs::permissions(dir / "42.status", fs::perms::all);
  store(dir, spBlocks(2, 42, 1, 1));
  EXPECT_EQ(fileMode(dir / "42.status"), 0600U);
}

TEST(StoreState, CrashBeforeTheRenameLeavesTheOldStateIntact) {
  TempDir dir;
  store(dir, spBlocks(1, 42, 1, 10));

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const SpBlocks b = spBlocks(2, 42, 2, 20);
    try {
      // Dies the way a killed process would: the new state is written and
      // synced to its temporary file but never renamed.
      ChachaSerialRFM69::storeState(dir.str(), b.first, b.second,
                                    [](const std::string&) { ::_exit(0); });
    } catch (...) {
    }
    ::_exit(3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "child did not reach the commit point";

  // The stray temporary file is hidden and does not look like a state file.
  int stray = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    if (name == "42.status") continue;
    ++stray;
    EXPECT_EQ(name.front(), '.') << name;
    EXPECT_NE(e.path().extension(), ".status") << name;
  }
  EXPECT_EQ(stray, 1);

  PrintCapture printed;
  ChachaSerialRFM69 link(1, -80, dir.str());
  ASSERT_TRUE(link.setupEncryptionForNode(42));
  EXPECT_EQ(link.peer.at("messageCounter"), 10U);
  EXPECT_EQ(link.local.at("startupCounter"), 1U);

  store(dir, spBlocks(3, 42, 3, 30));
  EXPECT_EQ(stateOnDisk(dir / "42.status").peerMessageCounter, 30U);
}

TEST(StoreState, FailureAtTheCommitPointRemovesTheTemporaryFile) {
  TempDir dir;
  store(dir, spBlocks(1, 42, 1, 10));
  const SpBlocks b = spBlocks(2, 42, 2, 20);
  EXPECT_THROW(ChachaSerialRFM69::storeState(
                   dir.str(), b.first, b.second,
                   [](const std::string&) { throw std::runtime_error("disk on fire"); }),
               std::runtime_error);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
  EXPECT_EQ(stateOnDisk(dir / "42.status").peerMessageCounter, 10U);
}
