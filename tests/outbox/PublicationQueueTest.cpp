// The publication queue over a real SQLite file: order across restarts, the
// disk budget, a damaged file, a disk that fails and comes back, and a writer
// killed right after its commit.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "tests/support/PrintCapture.hpp"
#include "tests/support/SourceDir.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/outbox/PublicationQueue.hpp"
#include "vantro/outbox/Sqlite.hpp"

namespace vantro::test {
namespace {

using namespace std::chrono_literals;

Publication reading(int n, std::size_t padding = 0) {
  return Publication{"sensor/1/distance", toBytes(std::to_string(n) + std::string(padding, ' ')), 1,
                     true, 0};
}

OutboxSettings settingsIn(const TempDir& dir) {
  OutboxSettings s;
  s.path = dir / "outbox.sqlite";
  s.syncInterval = 50ms;
  s.retryInterval = 0ms;
  return s;
}

// Hands over everything that waits and returns the payloads in order; with
// `acknowledge` each is done at once. A read refused while the sync thread
// restarts the journal is tried again, as the daemon's loop does.
std::vector<std::string> drain(PublicationQueue& q, bool acknowledge = true) {
  std::vector<std::string> out;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  for (;;) {
    auto h = q.next();
    if (!h) {
      if (!q.retryWanted() || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(1ms);
      continue;
    }
    const std::string text = toString(h->publication.payload);
    out.push_back(text.substr(0, text.find(' ')));
    if (acknowledge) q.done(h->ticket);
  }
  return out;
}

std::vector<std::string> numbers(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i <= to; ++i) out.push_back(std::to_string(i));
  return out;
}

TEST(PublicationQueue, OutboxKeepsOrderAndWhatWasNotAcknowledgedAcrossARestart) {
  TempDir dir;
  PrintCapture printed;
  {
    PublicationQueue q;
    q.useOutbox(settingsIn(dir));
    EXPECT_TRUE(printed.contains(fmt::format("Outbox {}: 0 readings waiting for the broker",
                                             (dir / "outbox.sqlite").string())));
    // Three passes; more than the read-ahead, so that later ones wait on disk.
    for (int i = 1; i <= 1000; ++i) {
      q.add(reading(i));
      if (i % 400 == 0) q.commit();
    }
    q.commit();
    EXPECT_EQ(q.size(), 1000u);
    // The first ten go out; five are acknowledged, five never are.
    std::vector<std::uint64_t> tickets;
    for (int i = 0; i < 10; ++i) tickets.push_back(q.next()->ticket);
    for (int i = 0; i < 5; ++i) q.done(tickets[static_cast<std::size_t>(i)]);
    q.commit();
    EXPECT_EQ(q.size(), 995u);
  }
  struct stat st {};
  ASSERT_EQ(::stat((dir / "outbox.sqlite").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  PublicationQueue again;
  again.useOutbox(settingsIn(dir));
  EXPECT_TRUE(printed.containsPart("995 readings waiting for the broker"));
  // Not overtaken by a reading made after the restart.
  again.add(reading(1001));
  again.commit();
  EXPECT_EQ(drain(again), numbers(6, 1001));
  again.commit();
  EXPECT_EQ(again.size(), 0u);
}

TEST(PublicationQueue, GivenBackPublicationsGoOutAgainAheadOfTheRest) {
  TempDir dir;
  PrintCapture printed;
  PublicationQueue q;
  q.useOutbox(settingsIn(dir));
  for (int i = 1; i <= 5; ++i) q.add(reading(i));
  q.commit();
  const auto first = q.next()->ticket;
  const auto second = q.next()->ticket;
  q.giveBack({second, first});
  EXPECT_EQ(drain(q), numbers(1, 5));
}

TEST(PublicationQueue, FullOutboxDropsTheOldestInThousandsWithALineEach) {
  TempDir dir;
  PrintCapture printed;
  OutboxSettings settings = settingsIn(dir);
  settings.maxBytes = 256 * 1024;
  // No checkpoint in between: a commit refused while the sync thread
  // restarts the journal would change how much each drop finds.
  settings.syncInterval = 1h;
  PublicationQueue q;
  q.useOutbox(settings);
  for (int i = 1; i <= 4000; ++i) {
    q.add(reading(i, 200));
    if (i % 100 == 0) q.commit();
    ASSERT_FALSE(q.retryWanted()) << i;
  }
  // One line per chunk of at most a thousand, saying how many went.
  std::size_t dropped = 0;
  for (const auto& line : printed.lines()) {
    unsigned n = 0;
    if (std::sscanf(line.c_str(), "Outbox full: dropped %u oldest readings", &n) == 1) {
      EXPECT_LE(n, 1000u);
      dropped += n;
    }
  }
  EXPECT_GE(dropped, 2000u);
  const std::vector<std::string> left = drain(q);
  ASSERT_FALSE(left.empty());
  // What is left is the newest, in order; the read-ahead is never dropped.
  EXPECT_EQ(left.back(), "4000");
  EXPECT_EQ(left.size(), 4000u - dropped);
  for (std::size_t i = 1; i < left.size(); ++i) {
    EXPECT_LT(std::stoi(left[i - 1]), std::stoi(left[i])) << i;
  }
}

TEST(PublicationQueue, DamagedFileIsMovedAsideAndANewOneServes) {
  TempDir dir;
  PrintCapture printed;
  {
    std::ofstream junk(dir / "outbox.sqlite", std::ios::binary);
    junk << std::string(8192, 'U');
  }
  PublicationQueue q;
  q.useOutbox(settingsIn(dir));
  EXPECT_TRUE(q.outboxOpen());
  EXPECT_TRUE(printed.containsPart("is damaged"));
  int aside = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    if (e.path().filename().string().rfind("outbox.sqlite.corrupt-", 0) == 0) ++aside;
  }
  EXPECT_EQ(aside, 1);
  q.add(reading(1));
  q.commit();
  EXPECT_EQ(drain(q), numbers(1, 1));
}

// A file whose header is fine but whose tree is broken (rows out of order,
// a row without values): found at open and moved aside, so that new rows
// are never numbered below old ones.
TEST(PublicationQueue, FileDamagedInsideIsMovedAside) {
  TempDir dir;
  PrintCapture printed;
  std::filesystem::copy_file(
      vantro::test::sourceDir() / "fuzz" / "regressions" / "outbox" / "broken-tree",
      dir / "outbox.sqlite");
  PublicationQueue q;
  q.useOutbox(settingsIn(dir));
  EXPECT_TRUE(q.outboxOpen());
  EXPECT_TRUE(printed.containsPart("is damaged: "));
  q.add(reading(1));
  q.commit();
  EXPECT_EQ(drain(q), numbers(1, 1));
  EXPECT_EQ(q.size(), 0U);
}

// An empty payload (an MQTT message that clears a retained one) is a value
// like any other: it neither fails the commit nor turns the outbox off.
TEST(PublicationQueue, EmptyPayloadIsKeptLikeAnyOther) {
  TempDir dir;
  PrintCapture printed;
  {
    PublicationQueue q;
    q.useOutbox(settingsIn(dir));
    q.add(reading(1));
    q.add(Publication{"gw/1/clear", {}, 1, true, 0});
    q.add(reading(2));
    q.commit();
    EXPECT_TRUE(q.outboxOpen());
    EXPECT_FALSE(printed.containsPart("failed"));
  }
  PublicationQueue again;
  again.useOutbox(settingsIn(dir));
  EXPECT_EQ(drain(again), (std::vector<std::string>{"1", "", "2"}));
}

TEST(PublicationQueue, UnavailableDiskKeepsReadingsInMemoryAndMovesThemInOnceItWorks) {
  TempDir dir;
  PrintCapture printed;
  OutboxSettings settings = settingsIn(dir);
  settings.path = dir / "not-yet" / "outbox.sqlite";
  PublicationQueue q;
  q.useOutbox(settings);
  EXPECT_FALSE(q.outboxOpen());
  ASSERT_TRUE(printed.containsPart("unavailable"));
  // A fault that stays prints no further line.
  const auto before = printed.lines().size();
  for (int i = 1; i <= 3; ++i) {
    q.add(reading(i));
    q.commit();
  }
  EXPECT_EQ(printed.lines().size(), before);
  EXPECT_EQ(q.size(), 3u);
  // One goes out from memory before the disk returns, and is acknowledged.
  const auto handed = q.next();
  ASSERT_TRUE(handed);
  q.done(handed->ticket);

  std::filesystem::create_directory(dir / "not-yet");
  q.add(reading(4));
  q.commit();
  EXPECT_TRUE(q.outboxOpen());
  EXPECT_TRUE(printed.containsPart("works again; 2 readings move into it from memory"));
  // Kept on disk now: a restart still has them, oldest first.
  PublicationQueue after;
  after.useOutbox(settings);
  EXPECT_EQ(drain(after), numbers(2, 4));
}

TEST(PublicationQueue, LockedOutboxHoldsPublicationsBackUntilTheyAreCommitted) {
  TempDir dir;
  PrintCapture printed;
  PublicationQueue q;
  q.useOutbox(settingsIn(dir));
  q.add(reading(1));
  q.commit();
  {
    // Another connection holds the write lock, as the sync thread does while
    // it starts the journal over.
    sqlite::Database other((dir / "outbox.sqlite").string());
    other.exec("BEGIN IMMEDIATE");
    q.add(reading(2));
    q.add(reading(3));
    q.commit();
    EXPECT_TRUE(q.retryWanted());
    EXPECT_EQ(drain(q), numbers(1, 1));  // only what was committed
    other.exec("COMMIT");
  }
  q.add(reading(4));
  q.commit();
  EXPECT_FALSE(q.retryWanted());
  EXPECT_EQ(drain(q), numbers(2, 4));
  EXPECT_TRUE(q.outboxOpen());
  EXPECT_FALSE(printed.containsPart("failed"));
}

TEST(PublicationQueue, JournalStartsOverUnderCommitsThatNeverPause) {
  TempDir dir;
  PrintCapture printed;
  PublicationQueue q;
  q.useOutbox(settingsIn(dir));
  const auto journal = dir / "outbox.sqlite-wal";
  // One reading per commit without a pause, so that commits come during
  // every checkpoint: the journal must still start over once it is long. A
  // journal that starts over gets new salt values in its header.
  const auto salt = [&journal] {
    std::ifstream in(journal, std::ios::binary);
    std::string header(24, '\0');
    in.read(header.data(), 24);
    return header.substr(16, 8);
  };
  bool grew = false;
  bool startedOver = false;
  std::string saltWhenLong;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (int n = 0; !startedOver && std::chrono::steady_clock::now() < deadline; ++n) {
    q.add(reading(n, 100));
    q.commit();
    drain(q);
    if (!grew && std::filesystem::file_size(journal) > 1024 * 1024) {
      grew = true;
      saltWhenLong = salt();
    }
    startedOver = grew && n % 16 == 0 && salt() != saltWhenLong;
  }
  EXPECT_TRUE(startedOver) << std::filesystem::file_size(journal);
  EXPECT_FALSE(printed.containsPart("failed"));
}

TEST(PublicationQueue, WriterKilledRightAfterItsCommitLosesNothing) {
  TempDir dir;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PublicationQueue q;
    q.useOutbox(settingsIn(dir));
    for (int i = 1; i <= 300; ++i) {
      q.add(reading(i));
      if (i % 7 == 0) q.commit();
    }
    q.commit();
    ::kill(::getpid(), SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  PrintCapture printed;
  PublicationQueue q;
  q.useOutbox(settingsIn(dir));
  EXPECT_TRUE(printed.containsPart("300 readings waiting"));
  EXPECT_EQ(drain(q), numbers(1, 300));
}

}  // namespace
}  // namespace vantro::test
