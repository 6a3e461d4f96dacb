// Per-peer keys: stable, distinct per UID, derived from network.key as documented.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include <fmt/format.h>

#include "tests/peer/PeerTestUtil.hpp"
#include "tests/support/PrintCapture.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/ChachaSerialRFM69/ChachaSerialRFM69.hpp"

namespace fs = std::filesystem;
using namespace vantro;
using namespace vantro::test;

namespace {

Bytes keyOf(const TempDir& dir, std::uint32_t uid) {
  if (!fs::exists(dir / fmt::format("{}.status", uid))) {
    const SpBlocks b = spBlocks(1, uid, 1, 1);
    ChachaSerialRFM69::storeState(dir.str(), b.first, b.second);
  }
  ChachaSerialRFM69 link(1, -80, dir.str());
  EXPECT_TRUE(link.setupEncryptionForNode(uid));
  return link.encryptionKey;
}

std::string hex(const Bytes& b) {
  std::string s;
  for (Byte c : b) s += fmt::format("{:02x}", c);
  return s;
}

}  // namespace

TEST(PeerKey, SameUidGivesTheSameKeyAndOtherUidsDiffer) {
  TempDir dir;
  const Bytes a = keyOf(dir, 258);
  EXPECT_EQ(keyOf(dir, 258), a);
  EXPECT_NE(keyOf(dir, 259), a);
  EXPECT_NE(keyOf(dir, 0), a);
  EXPECT_NE(keyOf(dir, 259), keyOf(dir, 0));
  // New state for the same peer keeps its key.
  const SpBlocks b = spBlocks(9, 258, 9, 9);
  ChachaSerialRFM69::storeState(dir.str(), b.first, b.second);
  EXPECT_EQ(keyOf(dir, 258), a);
}

TEST(PeerKey, NetworkKeyIsCreatedOnceAndDecidesTheKeys) {
  TempDir dir;
  EXPECT_FALSE(fs::exists(dir / "network.key"));
  const Bytes a = keyOf(dir, 258);
  ASSERT_TRUE(fs::exists(dir / "network.key"));
  EXPECT_EQ(fs::file_size(dir / "network.key"), 32U);
  const Bytes master = readFileBytes(dir / "network.key");
  keyOf(dir, 259);
  EXPECT_EQ(readFileBytes(dir / "network.key"), master);

  TempDir other;
  EXPECT_NE(keyOf(other, 258), a) << "two networks must not share keys";
}

TEST(PeerKey, MatchesTheDocumentedBlake2bDerivation) {
  // Reference values from Python's hashlib.blake2b(b"", digest_size=32,
  // key=master, salt=uid as 8 bytes little-endian + 8 zero bytes,
  // person=b"vantropk" + 8 zero bytes), with master = bytes 0..31.
  TempDir dir;
  Bytes master(32);
  for (std::size_t i = 0; i < master.size(); ++i) master[i] = static_cast<Byte>(i);
  writeFileBytes(dir / "network.key", master);
  EXPECT_EQ(hex(keyOf(dir, 258)),
            "b30ca5095754ad51e8857d64bbf398dfa7b66af12454a2d0a35dbf5c1523bbec");
  EXPECT_EQ(hex(keyOf(dir, 4294967295U)),
            "d781e5d008a7d806561c083f866abf7b2d97a935ced3c833c27c23e9a249d8f4");
}

TEST(PeerKey, ConcurrentFirstUseAgreesOnOneNetworkKey) {
  TempDir dir;
  const SpBlocks b = spBlocks(1, 258, 1, 1);
  ChachaSerialRFM69::storeState(dir.str(), b.first, b.second);
  constexpr int kChildren = 6;
  std::vector<pid_t> children;
  for (int i = 0; i < kChildren; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ChachaSerialRFM69 link(1, -80, dir.str());
      if (!link.setupEncryptionForNode(258)) ::_exit(2);
      writeFileBytes(dir / fmt::format("key{}", i), link.encryptionKey);
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  PrintCapture printed;
  const Bytes expected = keyOf(dir, 258);
  for (int i = 0; i < kChildren; ++i) {
    EXPECT_EQ(readFileBytes(dir / fmt::format("key{}", i)), expected) << "child " << i;
  }
}
