// The privilege drop, run in a forked child so that the test runner keeps its
// own identity. The account database is a stand-in; the set-id calls are real.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "tests/support/PrintCapture.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/bridge/PrivilegeDrop.hpp"

namespace {

class FakeAccounts : public vantro::AccountDatabase {
 public:
  std::map<std::string, uid_t> users;
  std::map<std::string, gid_t> groups;
  std::vector<std::pair<gid_t, std::vector<std::string>>> members;

  uid_t userId(const std::string& n) const override {
    auto it = users.find(n);
    if (it == users.end()) throw std::runtime_error("getpwnam(): name not found: '" + n + "'");
    return it->second;
  }
  gid_t groupId(const std::string& n) const override {
    auto it = groups.find(n);
    if (it == groups.end()) throw std::runtime_error("getgrnam(): name not found: '" + n + "'");
    return it->second;
  }
  std::vector<gid_t> groupsListing(const std::string& m) const override {
    std::vector<gid_t> out;
    for (const auto& [gid, names] : members) {
      for (const auto& n : names) {
        if (n == m) {
          out.push_back(gid);
          break;
        }
      }
    }
    return out;
  }
};

FakeAccounts standardAccounts() {
  FakeAccounts db;
  db.users["tlv"] = 1001;
  db.groups["tlv"] = 1001;
  db.members = {{20, {"pi", "tlv"}}, {30, {"tlvx", "TLV"}}, {44, {"tlv"}}};
  return db;
}

struct ChildResult {
  int status = -1;
  std::vector<std::string> lines;
};

// Runs the drop in a child; its printed lines and what it checked come back in a file.
ChildResult runInChild(const FakeAccounts& db, bool keepSysTime) {
  vantro::test::TempDir dir;
  std::filesystem::permissions(dir.path(),
                               std::filesystem::perms::all);  // the child writes as 1001
  const std::string out = (dir / "out").string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    int rc = 0;
    {
      vantro::test::PrintCapture capture;
      try {
        vantro::dropPrivilegesTo("tlv", db, keepSysTime);
      } catch (const std::exception& e) {
        capture.lines();
        rc = 3;
      }
      std::ofstream f(out);
      for (const auto& l : capture.lines()) f << l << "\n";
      f << "UID " << ::getuid() << "\n";
    }
    ::_exit(rc);
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  ChildResult r;
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  std::ifstream f(out);
  for (std::string l; std::getline(f, l);) r.lines.push_back(l);
  return r;
}

TEST(PrivilegeDrop, AsAnOrdinaryUserDoesNothingAndPrintsNothing) {
  if (::getuid() == 0) GTEST_SKIP() << "runs as root; the root cases cover the switch";
  const auto r = runInChild(standardAccounts(), true);
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.lines.size(), 1u);  // only the child's own UID line
}

TEST(PrivilegeDrop, AsRootSwitchesToTheAccountWithItsListedGroups) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root";
  const auto r = runInChild(standardAccounts(), false);
  EXPECT_EQ(r.status, 0);
  ASSERT_GE(r.lines.size(), 4u);
  EXPECT_EQ(r.lines[0], "Dropped root privileges");
  EXPECT_EQ(r.lines[1], "user ID real/effective/saved (1001, 1001, 1001)");
  // Groups listing a longer name or the name in capitals do not count.
  EXPECT_EQ(r.lines[2], "Suppl. groups [20, 44], effective group 1001, real group 1001");
  EXPECT_EQ(r.lines[3], "UID 1001");
}

TEST(PrivilegeDrop, KeepsOnlyTheClockCapability) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root";
  vantro::test::TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
  const std::string out = (dir / "caps").string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    vantro::test::PrintCapture capture;
    vantro::dropPrivilegesTo("tlv", standardAccounts(), true);
    ::prctl(PR_SET_DUMPABLE, 1L, 0L, 0L, 0L);  // the change of user made /proc/self root's
    std::ifstream status("/proc/self/status");
    std::ofstream f(out);
    for (std::string l; std::getline(status, l);) {
      if (l.rfind("Cap", 0) == 0) f << l << "\n";
    }
    f.close();
    ::_exit(0);
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  std::ifstream f(out);
  std::map<std::string, std::string> caps;
  std::string all;
  for (std::string l; std::getline(f, l);) {
    all += l + "\n";
    caps[l.substr(0, l.find(':'))] = l.substr(l.find_last_of('\t') + 1);
  }
  // CAP_SYS_TIME is bit 25.
  EXPECT_EQ(caps["CapPrm"], "0000000002000000") << all;
  EXPECT_EQ(caps["CapEff"], "0000000002000000");
  EXPECT_EQ(caps["CapInh"], "0000000002000000");
  EXPECT_EQ(caps["CapAmb"], "0000000002000000");
}

TEST(PrivilegeDrop, MissingGroupReportsAndChangesNothing) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root";
  auto db = standardAccounts();
  db.groups.clear();
  const auto r = runInChild(db, true);
  EXPECT_EQ(r.status, 3);
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(r.lines[0], "Could not set effective group/user id");
  EXPECT_EQ(r.lines[1], "UID 0");
}

TEST(PrivilegeDrop, AnAccountWithUserIdZeroFailsWithoutReport) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root";
  auto db = standardAccounts();
  db.users["tlv"] = 0;
  db.groups["tlv"] = 0;
  const auto r = runInChild(db, false);
  EXPECT_EQ(r.status, 3);
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0], "UID 0");
}

}  // namespace
