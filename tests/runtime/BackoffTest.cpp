// Reconnection back-off: 1 s doubling to 60 s, starting over after a success.
#include "vantro/runtime/Backoff.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace std::chrono_literals;
using vantro::Backoff;

TEST(Backoff, DoublesFromOneSecondAndStaysAtSixty) {
  Backoff b;
  for (auto expected : {1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s, 60s}) {
    EXPECT_EQ(b.next(), expected);
  }
}

TEST(Backoff, ResetStartsOverAtTheInitialDelay) {
  Backoff b(100ms, 250ms);
  EXPECT_EQ(b.next(), 100ms);
  EXPECT_EQ(b.next(), 200ms);
  EXPECT_EQ(b.next(), 250ms);
  b.reset();
  EXPECT_EQ(b.next(), 100ms);
}

TEST(Backoff, HugeMaximumDoesNotOverflow) {
  Backoff b(1s, Backoff::Duration::max());
  for (int i = 0; i < 200; ++i) EXPECT_GT(b.next(), Backoff::Duration::zero());
}

TEST(Backoff, RejectsNonPositiveOrInvertedDelays) {
  EXPECT_THROW(Backoff(0s, 1s), std::invalid_argument);
  EXPECT_THROW(Backoff(2s, 1s), std::invalid_argument);
}
