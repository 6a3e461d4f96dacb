// The outbox end to end: readings counted by the sequence number the
// simulated board puts in them, through a daemon killed with SIGKILL, a
// broker that is away, a backlog far larger than the in-flight window, a
// damaged database and a full disk.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/e2e/Rig.hpp"

using namespace std::chrono_literals;
using vantro::test::Process;
using vantro::test::Rig;

namespace {

// Whether the daemon was built with a sanitizer (g++ and clang say so differently).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

std::string context(Rig& rig) {
  return "--- gateway ---\n" + rig.gateway().output() + "--- board ---\n" + rig.board().output();
}

// "Sender 10: distance distance_mm=5 battery_mv=1 \t RSSI: -60": 65541.
std::vector<long> printedSequences(const Process& gw) {
  std::vector<long> out;
  for (const auto& line : gw.lines()) {
    unsigned id = 0;
    long low = 0;
    long high = 0;
    if (std::sscanf(line.c_str(), "Sender %u: distance distance_mm=%ld battery_mv=%ld", &id, &low,
                    &high) == 3) {
      out.push_back(low + 65536 * high);
    }
  }
  return out;
}

// The subscriber's "sensor/1000/distance {...}" lines, in arrival order.
std::vector<long> receivedSequences(const std::vector<std::string>& lines) {
  std::vector<long> out;
  for (const auto& line : lines) {
    const auto json = nlohmann::json::parse(line.substr(line.find(' ') + 1), nullptr, false);
    if (json.is_discarded() || !json.contains("distance_mm")) continue;
    out.push_back(json["distance_mm"].get<long>() + 65536 * json["battery_mv"].get<long>());
  }
  return out;
}

std::vector<std::string> boardArgs(long firstSequence, int count) {
  return {"--protocol",        "1",
          "--flood",           "--only-sd",
          "--nodes",           "1",
          "--count",           std::to_string(count),
          "--sequence-values", std::to_string(firstSequence)};
}

// Waits until the gateway has printed at least `n` readings.
bool waitForReadings(const Process& gw, std::size_t n, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (printedSequences(gw).size() < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

void replaceBoard(Rig& rig, long firstSequence, int count) {
  rig.board().signal(SIGTERM);
  ASSERT_TRUE(rig.board().wait(10s).has_value());
  std::filesystem::remove(rig.linkPath());
  rig.startBoard(boardArgs(firstSequence, count));
}

long residentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(Outbox, DaemonKilledWithTheBrokerUpAndThenDownLosesNoPrintedReading) {
  Rig rig;
  rig.startSubscriber("sensor/#", "e2e-outbox-kill");
  // First run: the broker takes the flood as it comes; killed in the middle.
  rig.startBoard(boardArgs(1, 20000));
  rig.startGateway();
  ASSERT_TRUE(waitForReadings(rig.gateway(), 1500, 30s)) << context(rig);
  rig.gateway().signal(SIGKILL);
  ASSERT_TRUE(rig.gateway().wait(5s).has_value());
  std::set<long> read;
  for (long s : printedSequences(rig.gateway())) read.insert(s);
  std::vector<std::string> arrived = rig.received("sensor/");
  rig.subscriber().signal(SIGTERM);
  ASSERT_TRUE(rig.subscriber().wait(5s).has_value());

  // Second run: the broker is away; killed again with everything on disk.
  rig.broker().stop();
  replaceBoard(rig, 1000001, 20000);
  rig.startGateway();
  ASSERT_TRUE(waitForReadings(rig.gateway(), 1500, 30s)) << context(rig);
  rig.gateway().signal(SIGKILL);
  ASSERT_TRUE(rig.gateway().wait(5s).has_value());
  for (long s : printedSequences(rig.gateway())) read.insert(s);

  // Third run: the broker is back; everything read before arrives.
  rig.broker().start();
  rig.startSubscriber("sensor/#", "e2e-outbox-kill");
  replaceBoard(rig, 2000001, 100);
  rig.startGateway();
  ASSERT_GE(rig.gateway().waitForPart("readings waiting for the broker", 15s), 0) << context(rig);
  std::set<long> seen;
  std::size_t total = 0;
  for (int i = 0; i < 600; ++i) {
    std::vector<std::string> lines = arrived;
    const auto now = rig.received("sensor/");
    lines.insert(lines.end(), now.begin(), now.end());
    const std::vector<long> got = receivedSequences(lines);
    seen = std::set<long>(got.begin(), got.end());
    total = got.size();
    if (std::includes(seen.begin(), seen.end(), read.begin(), read.end())) break;
    std::this_thread::sleep_for(100ms);
  }
  std::vector<long> missing;
  std::set_difference(read.begin(), read.end(), seen.begin(), seen.end(),
                      std::back_inserter(missing));
  EXPECT_TRUE(missing.empty()) << missing.size() << " of " << read.size()
                               << " readings missing, the first " << missing.front() << "\n"
                               << context(rig);
  // Delivery is at least once: a reading in flight at a kill comes again.
  std::cout << "[ figures  ] read " << read.size() << ", arrived " << total << ", duplicates "
            << total - seen.size() << "\n";
  rig.gateway().signal(SIGTERM);
  EXPECT_EQ(rig.gateway().wait(15s), 0) << context(rig);
}

TEST(Outbox, BacklogBuiltWhileTheBrokerIsAwayLeavesInOrderWithoutGrowingTheDaemon) {
  Rig rig;
  rig.startSubscriber("sensor/#", "e2e-outbox-backlog");
  rig.subscriber().signal(SIGTERM);
  ASSERT_TRUE(rig.subscriber().wait(5s).has_value());
  rig.broker().stop();

  constexpr int kBacklog = 50000;
  // 5,000 a second: the first fifth of the backlog warms the daemon up
  // (several syncs of the outbox, every code path of a pass run) before its
  // size is taken.
  std::vector<std::string> args = boardArgs(1, kBacklog);
  std::replace(args.begin(), args.end(), std::string("--flood"), std::string("--rate=5000"));
  rig.startBoard(args);
  rig.startGateway({"--outbox-sync-interval", "1"});
  ASSERT_TRUE(waitForReadings(rig.gateway(), kBacklog / 5, 30s)) << context(rig);
  const long before = residentKb(rig.gateway().pid());
  ASSERT_TRUE(waitForReadings(rig.gateway(), kBacklog, 120s)) << context(rig);
  const long after = residentKb(rig.gateway().pid());
  // A sanitizer keeps freed memory in quarantine: only a plain build tells.
  if (!kSanitized) {
    EXPECT_LE(after - before, 5 * 1024) << "resident " << before << " kB, then " << after << " kB";
  }
  if (const char* dump = std::getenv("VANTRO_SMAPS_DUMP")) {
    std::ifstream in("/proc/" + std::to_string(rig.gateway().pid()) + "/smaps");
    std::ofstream out(dump);
    out << in.rdbuf();
  }
  std::cout << "[ figures  ] resident " << before << " kB after " << kBacklog / 5 << " readings, "
            << after << " kB with " << kBacklog << " waiting\n";

  rig.broker().start();
  rig.startSubscriber("sensor/#", "e2e-outbox-backlog");
  std::vector<long> got;
  for (int i = 0; i < 1200 && got.size() < static_cast<std::size_t>(kBacklog); ++i) {
    std::this_thread::sleep_for(100ms);
    got = receivedSequences(rig.received("sensor/"));
  }
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kBacklog)) << context(rig);
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
  EXPECT_EQ(got.front(), 1);
  EXPECT_EQ(got.back(), kBacklog);
  rig.gateway().signal(SIGTERM);
  EXPECT_EQ(rig.gateway().wait(15s), 0) << context(rig);
}

TEST(Outbox, DamagedDatabaseIsMovedAsideAndReadingsStillGoOut) {
  Rig rig;
  const std::filesystem::path file = rig.statusDir() + "/outbox.sqlite";
  {
    std::ofstream junk(file, std::ios::binary);
    junk << std::string(8192, 'U');
  }
  const int uid = vantro::test::unprivilegedUid();
  if (uid >= 0) {
    ASSERT_EQ(::chown(file.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(uid)), 0);
  }
  rig.startSubscriber("sensor/#");
  rig.startBoard({"--protocol", "1", "--rate", "50", "--only-sd"});
  rig.startGateway();
  ASSERT_GE(rig.gateway().waitForPart("is damaged", 15s), 0) << context(rig);
  ASSERT_GE(rig.subscriber().waitForPart("sensor/", 15s), 0) << context(rig);
  bool aside = false;
  for (const auto& e : std::filesystem::directory_iterator(rig.statusDir())) {
    aside = aside || e.path().filename().string().rfind("outbox.sqlite.corrupt-", 0) == 0;
  }
  EXPECT_TRUE(aside);
  rig.gateway().signal(SIGTERM);
  EXPECT_EQ(rig.gateway().wait(15s), 0) << context(rig);
}

TEST(Outbox, FullDiskIsReportedOnceAndReadingsStillGoOut) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  // A mount namespace of this test program's own: the small file system is
  // seen by it and the daemon it starts, by nothing else.
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  Rig rig;
  const int uid = std::max(vantro::test::unprivilegedUid(), 0);
  const std::string options = "size=1m,mode=0755,uid=" + std::to_string(uid);
  ASSERT_EQ(::mount("tmpfs", rig.statusDir().c_str(), "tmpfs", 0, options.c_str()), 0);
  rig.startSubscriber("sensor/#");
  rig.startBoard({"--protocol", "1", "--rate", "200", "--only-sd"});
  rig.startGateway();
  ASSERT_GE(rig.gateway().waitForPart("readings waiting for the broker", 15s), 0) << context(rig);
  ASSERT_GE(rig.subscriber().waitForPart("sensor/", 15s), 0) << context(rig);
  {
    // Fill what is left.
    std::ofstream filler(rig.statusDir() + "/filler", std::ios::binary);
    const std::string block(64 * 1024, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
  }
  const int failed = rig.gateway().waitForPart("database or disk is full", 15s);
  ASSERT_GE(failed, 0) << context(rig);
  const auto count = rig.received("sensor/").size();
  std::this_thread::sleep_for(2s);
  EXPECT_GT(rig.received("sensor/").size(), count + 100) << context(rig);
  int lines = 0;
  for (const auto& l : rig.gateway().lines()) lines += l.find("disk is full") != std::string::npos;
  EXPECT_EQ(lines, 1) << context(rig);
  rig.gateway().signal(SIGTERM);
  EXPECT_EQ(rig.gateway().wait(15s), 0) << context(rig);
  ::umount2(rig.statusDir().c_str(), MNT_DETACH);
}

}  // namespace
