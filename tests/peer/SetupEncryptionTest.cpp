// Loading peer state: every kind of bad file is skipped with one line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "tests/peer/PeerTestUtil.hpp"
#include "tests/support/PrintCapture.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/ChachaSerialRFM69/ChachaSerialRFM69.hpp"
#include "vantro/ChachaSerialRFM69/PeerStateFile.hpp"

namespace fs = std::filesystem;
using namespace vantro;
using namespace vantro::test;

namespace {

constexpr std::uint32_t kUid = 258;

Bytes validState(std::uint32_t uid = kUid) {
  peerlink::PeerState s;
  s.localStartupCounter = 7;
  s.uid = uid;
  s.peerStartupCounter = 3;
  s.peerMessageCounter = 99;
  return peerlink::encodePeerState(s);
}

/// Runs setupEncryptionForNode(kUid) and checks that it refused with exactly
/// one line naming the UID and containing `reason`, leaving no stale members.
void expectSkipped(const TempDir& dir, const std::string& reason) {
  PrintCapture printed;
  ChachaSerialRFM69 link(1, -80, dir.str());
  // A successful earlier peer must not leave its values behind.
  EXPECT_FALSE(link.setupEncryptionForNode(kUid));
  EXPECT_TRUE(link.local.empty());
  EXPECT_TRUE(link.peer.empty());
  EXPECT_TRUE(link.encryptionKey.empty());
  const auto lines = printed.lines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_NE(lines[0].find("UID 258"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(reason), std::string::npos) << lines[0];
}

}  // namespace

TEST(SetupEncryption, SkipsMissingEmptyTruncatedAndOverlongFiles) {
  TempDir dir;
  expectSkipped(dir, "No such file or directory");

  writeFileBytes(dir / "258.status", {});
  expectSkipped(dir, "empty file");

  Bytes truncated = validState();
  truncated.pop_back();
  writeFileBytes(dir / "258.status", truncated);
  expectSkipped(dir, "truncated: 24 of 25 bytes");

  Bytes overlong = validState();
  overlong.push_back(0);
  writeFileBytes(dir / "258.status", overlong);
  expectSkipped(dir, "longer than 25 bytes");
}

TEST(SetupEncryption, SkipsBadMagicVersionAndChecksum) {
  TempDir dir;
  Bytes badMagic = validState();
  badMagic[0] = 'X';
  writeFileBytes(dir / "258.status", badMagic);
  expectSkipped(dir, "bad magic");

  Bytes badVersion = validState();
  badVersion[4] = 2;
  writeFileBytes(dir / "258.status", badVersion);
  expectSkipped(dir, "unknown format version 2");

  Bytes badCounter = validState();
  badCounter[20] ^= 0x01;  // last byte of the message counter
  writeFileBytes(dir / "258.status", badCounter);
  expectSkipped(dir, "checksum mismatch");

  Bytes badCrc = validState();
  badCrc.back() ^= 0x80;
  writeFileBytes(dir / "258.status", badCrc);
  expectSkipped(dir, "checksum mismatch");
}

TEST(SetupEncryption, SkipsAFileHoldingAnotherPeersState) {
  TempDir dir;
  writeFileBytes(dir / "258.status", validState(259));
  expectSkipped(dir, "holds the state of UID 259");
}

TEST(SetupEncryption, SkipsADirectoryInsteadOfAFile) {
  TempDir dir;
  fs::create_directory(dir / "258.status");
  expectSkipped(dir, "is a directory");
}

TEST(SetupEncryption, SkipsAnUnreadableFile) {
  TempDir dir;
  writeFileBytes(dir / "258.status", validState());
  fs::permissions(dir / "258.status", fs::perms::none);
  if (::geteuid() != 0) {
    expectSkipped(dir, "Permission denied");
    return;
  }
  // Root reads every file: try it as an unprivileged user in a child.
  fs::permissions(dir.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(4);
    PrintCapture printed;
    ChachaSerialRFM69 link(1, -80, dir.str());
    const bool ok = link.setupEncryptionForNode(kUid);
    const auto lines = printed.lines();
    const bool named = lines.size() == 1 && lines[0].find("UID 258") != std::string::npos &&
                       lines[0].find("Permission denied") != std::string::npos;
    ::_exit(!ok && named ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SetupEncryption, SkipsPeerWhenTheNetworkKeyIsDamaged) {
  TempDir dir;
  writeFileBytes(dir / "258.status", validState());
  writeFileBytes(dir / "network.key", Bytes(31, 1));
  expectSkipped(dir, "network.key holds 31 bytes instead of 32");
}

TEST(SetupEncryption, FailedPeerAfterAGoodOneClearsTheMembers) {
  TempDir dir;
  writeFileBytes(dir / "7.status", validState(7));
  PrintCapture printed;
  ChachaSerialRFM69 link(1, -80, dir.str());
  ASSERT_TRUE(link.setupEncryptionForNode(7));
  EXPECT_FALSE(link.setupEncryptionForNode(kUid));
  EXPECT_TRUE(link.peer.empty());
  EXPECT_TRUE(link.encryptionKey.empty());
}

TEST(SetupEncryption, ArbitraryContentNeverCrashesAndNeverPassesUnnoticed) {
  TempDir dir;
  PrintCapture printed;
  std::mt19937 rng(12345);
  ChachaSerialRFM69 link(1, -80, dir.str());
  const Bytes valid = validState();
  for (int i = 0; i < 500; ++i) {
    Bytes content;
    if (i % 2 == 0) {
      content.resize(rng() % 40);
      for (auto& b : content) b = static_cast<Byte>(rng());
    } else {
      // A valid file with one bit flipped anywhere.
      content = valid;
      content[rng() % content.size()] ^= static_cast<Byte>(1U << (rng() % 8));
    }
    writeFileBytes(dir / "258.status", content);
    EXPECT_FALSE(link.setupEncryptionForNode(kUid)) << "case " << i;
  }
  EXPECT_EQ(printed.lines().size(), 500U);
}

TEST(SetupEncryption, AcceptsAFileMadeByTheDocumentedPythonRecipe) {
  // struct.pack(">4I", 0, 258, 0, 0) behind b"VPST\x01", then zlib.crc32.
  const Bytes file = {0x56, 0x50, 0x53, 0x54, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf9, 0x0a, 0xb6, 0x6d};
  TempDir dir;
  writeFileBytes(dir / "258.status", file);
  ChachaSerialRFM69 link(1, -80, dir.str());
  ASSERT_TRUE(link.setupEncryptionForNode(kUid));
  EXPECT_EQ(link.peer.at("uid"), kUid);
  EXPECT_EQ(link.peer.at("messageCounter"), 0U);
  EXPECT_EQ(peerlink::encodePeerState(peerlink::decodePeerState(file)), file);
}
