// Node availability decisions, the file that keeps them over a restart, and
// the health report's figures.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "tests/support/PrintCapture.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/operations/HealthReport.hpp"
#include "vantro/operations/NodeBook.hpp"
#include "vantro/operations/StateFileWriter.hpp"

namespace vantro {
namespace {

constexpr std::int64_t kTimeout = 10'000;

TEST(NodeBook, OnlineAtTheFirstReadingAndAgainAfterTheTimeout) {
  NodeBook book;
  auto c = book.reading(5, "climate", 1000);
  EXPECT_TRUE(c.cameOnline);
  EXPECT_TRUE(c.newKind);
  c = book.reading(5, "climate", 2000);
  EXPECT_FALSE(c.cameOnline);
  EXPECT_FALSE(c.newKind);
  EXPECT_TRUE(book.reading(5, "battery", 3000).newKind);
  EXPECT_EQ(book.find(5)->kinds, (std::vector<std::string>{"climate", "battery"}));

  EXPECT_EQ(book.nextExpiry(kTimeout), 13'000);
  EXPECT_TRUE(book.expire(12'999, kTimeout).empty());
  EXPECT_EQ(book.expire(13'000, kTimeout), std::vector<std::uint32_t>{5});
  EXPECT_TRUE(book.expire(20'000, kTimeout).empty()) << "offline once";
  EXPECT_FALSE(book.nextExpiry(kTimeout));
  EXPECT_TRUE(book.reading(5, "climate", 21'000).cameOnline);
}

TEST(NodeBook, FileKeepsLastSeenAvailabilityAndKindsOverARestart) {
  NodeBook before;
  before.reading(5, "distance", 1000);
  before.reading(5, "battery", 1500);
  before.reading(6, "water", 1000);
  before.expire(11'200, kTimeout);  // 6 is offline, 5 not yet
  NodeBook after = NodeBook::fromJson(before.toJson());

  ASSERT_TRUE(after.find(5));
  EXPECT_EQ(after.find(5)->lastSeenMs, 1500);
  EXPECT_EQ(after.find(5)->kinds, (std::vector<std::string>{"distance", "battery"}));
  EXPECT_EQ(after.find(6)->availability, NodeAvailability::Offline);
  // Silent since before the restart: offline once its timeout has passed.
  EXPECT_EQ(after.expire(11'500, kTimeout), std::vector<std::uint32_t>{5});
  // Heard again: online, as after every start.
  NodeBook again = NodeBook::fromJson(before.toJson());
  EXPECT_TRUE(again.reading(5, "distance", 2000).cameOnline);

  EXPECT_THROW(NodeBook::fromJson("{\"nodes\":[{\"uid\":\"x\"}]}"), std::runtime_error);
  EXPECT_THROW(NodeBook::fromJson("not json"), std::runtime_error);
}

TEST(NodeBook, WriterKeepsTheNewestContentAndReportsAFailureOnce) {
  test::TempDir dir;
  {
    StateFileWriter writer(dir.str(), "nodes.json");
    writer.submit("first");
    writer.submit("second");
    writer.flush();
    std::ifstream in(dir / "nodes.json");
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "second");
  }
  test::PrintCapture capture;
  StateFileWriter broken((dir / "missing").string(), "nodes.json");
  broken.submit("x");
  broken.flush();
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_NE(capture.lines()[0].find("Cannot save"), std::string::npos);
}

TEST(HealthReport, CountersAndFiguresWithNullsBeforeTheBoardIsKnown) {
  GatewayCounters counters;
  counters.readingsPublished = 12;
  counters.garbageBytes = 4;
  HealthFigures f;
  f.nowMs = 100'000;
  f.uptimeSeconds = 30;
  f.outboxDepth = 3;
  f.outboxOldestMs = 40'000;
  nlohmann::json j = nlohmann::json::parse(healthJson(f, counters));
  EXPECT_EQ(j["readings_published"], 12);
  EXPECT_EQ(j["garbage_bytes"], 4);
  EXPECT_EQ(j["outbox_depth"], 3);
  EXPECT_EQ(j["outbox_oldest_age_s"], 60);
  EXPECT_TRUE(j["firmware_revision"].is_null());
  EXPECT_TRUE(j["last_record_ms"].is_null());
  counters.recordRead();
  f.firmwareRevision = 7;
  f.outboxOldestMs = 0;
  j = nlohmann::json::parse(healthJson(f, counters));
  EXPECT_EQ(j["records_read"], 1);
  EXPECT_GT(j["last_record_ms"].get<std::int64_t>(), 0);
  EXPECT_EQ(j["firmware_revision"], 7);
  EXPECT_EQ(j["outbox_oldest_age_s"], 0);
}

}  // namespace
}  // namespace vantro
