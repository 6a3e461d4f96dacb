// The transmit queue between the event-loop thread and the transmit worker.
#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/protocol/ProtocolFixture.hpp"

namespace vantro::test {
namespace {

using TransmitQueue = ProtocolFixture<TelvariSpeakV1>;

TEST_F(TransmitQueue, EleventhJobWaitsForTheWorkerAndJobsRunInOrder) {
  std::mutex m;
  std::vector<int> ran;
  auto job = [&](int i) {
    return [&, i] {
      std::lock_guard lock(m);
      ran.push_back(i);
    };
  };
  for (int i = 0; i < 10; ++i) proto->scheduleTx(job(i));
  EXPECT_EQ(proto->txQueue.size(), 10U);

  std::atomic<bool> queued{false};
  std::thread producer([&] {
    proto->scheduleTx(job(10));
    queued = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(queued) << "a full queue took an eleventh job";

  proto->txQueuedMsgs();
  producer.join();
  EXPECT_TRUE(queued);
  while (proto->txQueue.size() > 0) proto->txQueuedMsgs();

  std::vector<int> expected;
  for (int i = 0; i <= 10; ++i) expected.push_back(i);
  EXPECT_EQ(ran, expected);
}

TEST_F(TransmitQueue, WorkerOnAnEmptyQueueWaitsForOneJobAndRunsOnlyIt) {
  std::atomic<int> runs{0};
  auto worker = std::async(std::launch::async, [&] { proto->txQueuedMsgs(); });
  EXPECT_EQ(worker.wait_for(100ms), std::future_status::timeout);

  proto->scheduleTx([&] { ++runs; });
  worker.get();
  EXPECT_EQ(runs, 1);

  proto->scheduleTx([&] { runs += 10; });
  EXPECT_EQ(runs, 1) << "queued jobs run only on the worker";
  EXPECT_EQ(proto->txQueue.size(), 1U);
}

TEST_F(TransmitQueue, JobErrorReachesTheWorkerAndTheNextCallTakesTheNextJob) {
  bool secondRan = false;
  proto->scheduleTx([] { throw std::runtime_error("serial write failed"); });
  proto->scheduleTx([&] { secondRan = true; });

  EXPECT_THROW(
      {
        try {
          proto->txQueuedMsgs();
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "serial write failed");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_EQ(proto->txQueue.size(), 1U);
  proto->txQueuedMsgs();
  EXPECT_TRUE(secondRan);
}

}  // namespace
}  // namespace vantro::test
