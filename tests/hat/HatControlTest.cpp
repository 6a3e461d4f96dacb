// The reset sequence of both HatControl classes, through a recording fake line.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "vantro/HatControl/GpioSetting.hpp"
#include "vantro/HatControl/HatControl.hpp"
#include "vantro/HatControl/ResetSequence.hpp"
#include "vantro/RaspiHatControl/RaspiHatControl.hpp"

using namespace vantro;
using Clock = std::chrono::steady_clock;

namespace {

struct Event {
  std::string what;
  Clock::time_point at;
};

struct Journal {
  std::vector<Event> events;
  bool failSet = false;
  void add(std::string what) { events.push_back({std::move(what), Clock::now()}); }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.what);
    return out;
  }
};

class FakeLine : public ResetLine {
 public:
  explicit FakeLine(Journal& j) : j_(j) {}
  ~FakeLine() override { j_.add("destroy"); }
  void set(int value) override {
    if (j_.failSet) throw std::system_error(EIO, std::generic_category(), "fake set failed");
    j_.add("set " + std::to_string(value));
  }
  void release() override { j_.add("release"); }

 private:
  Journal& j_;
};

class HatControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearGpioSetting();
    setResetLineFactory([this](const GpioSetting& s, int initial) -> std::unique_ptr<ResetLine> {
      journal.add("open " + s.chip + " " + std::to_string(s.line) + " " + std::to_string(initial));
      return std::make_unique<FakeLine>(journal);
    });
  }
  void TearDown() override {
    setResetLineFactory(nullptr);
    clearGpioSetting();
  }

  const std::vector<std::string> fullSequence(const std::string& open) const {
    return {open, "set 0", "set 1", "release", "destroy"};
  }

  Journal journal;
};

}  // namespace

TEST_F(HatControlTest, RaspiResetsLine22OfGpiochip0ByDefault) {
  RaspiHatControl::HatControl hat;
  hat.initPins();
  EXPECT_EQ(journal.names(), std::vector<std::string>{"open gpiochip0 22 1"});
  hat.reset();
  EXPECT_EQ(journal.names(), fullSequence("open gpiochip0 22 1"));
}

TEST_F(HatControlTest, OrangePiResetsLine3OfGpiochip0ByDefault) {
  HatControl::HatControl hat;
  hat.initPins();
  hat.reset();
  EXPECT_EQ(journal.names(), fullSequence("open gpiochip0 3 1"));
}

TEST_F(HatControlTest, PulseAndSettleLastAtLeastTheirDocumentedTimes) {
  RaspiHatControl::HatControl hat;
  hat.initPins();
  hat.reset();
  const auto done = Clock::now();
  ASSERT_EQ(journal.events.size(), 5U);
  EXPECT_GE(journal.events[2].at - journal.events[1].at, hat::kResetPulse);
  EXPECT_GE(done - journal.events[3].at, hat::kSettleTime);
  EXPECT_LT(hat::kResetPulse + hat::kSettleTime, std::chrono::seconds(1));
}

TEST_F(HatControlTest, ConfiguredChipAndLineWinAndAnEmptyChipMeansTheBoardDefault) {
  setGpioSetting({"gpiochip4", 17, false});
  RaspiHatControl::HatControl raspi;
  raspi.initPins();
  HatControl::HatControl orange;
  orange.initPins();
  setGpioSetting({"", 99, false});
  RaspiHatControl::HatControl raspiDefault;
  raspiDefault.initPins();
  EXPECT_EQ(journal.names(), (std::vector<std::string>{"open gpiochip4 17 1", "open gpiochip4 17 1",
                                                       "open gpiochip0 22 1"}));
}

TEST_F(HatControlTest, NoResetTouchesNoLine) {
  setGpioSetting({"", 0, true});
  RaspiHatControl::HatControl raspi;
  raspi.initPins();
  raspi.reset();
  HatControl::HatControl orange;
  orange.initPins();
  orange.reset();
  setGpioSetting({"gpiochip1", 5, true});
  orange.initPins();
  orange.reset();
  EXPECT_TRUE(journal.events.empty());
}

TEST_F(HatControlTest, ResetWithoutInitPinsIsRefused) {
  RaspiHatControl::HatControl hat;
  EXPECT_THROW(hat.reset(), std::logic_error);
  hat.initPins();
  hat.reset();
  EXPECT_THROW(hat.reset(), std::logic_error) << "the line was released by the first reset";
  EXPECT_EQ(journal.names(), fullSequence("open gpiochip0 22 1"));
}

TEST_F(HatControlTest, LineIsReleasedWhenTheObjectGoesWithoutReset) {
  {
    HatControl::HatControl hat;
    hat.initPins();
    hat.initPins();
  }
  EXPECT_EQ(journal.names(), (std::vector<std::string>{"open gpiochip0 3 1", "destroy",
                                                       "open gpiochip0 3 1", "destroy"}));
}

TEST_F(HatControlTest, FailedSetStillFreesTheLine) {
  HatControl::HatControl hat;
  hat.initPins();
  journal.failSet = true;
  EXPECT_THROW(hat.reset(), std::system_error);
  EXPECT_EQ(journal.names(), (std::vector<std::string>{"open gpiochip0 3 1", "destroy"}));
}

TEST_F(HatControlTest, OpenErrorsReachTheCallerUnchanged) {
  setResetLineFactory([](const GpioSetting&, int) -> std::unique_ptr<ResetLine> {
    throw std::system_error(EBUSY, std::generic_category(), "line busy");
  });
  RaspiHatControl::HatControl hat;
  try {
    hat.initPins();
    FAIL() << "no error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EBUSY);
  }
}
