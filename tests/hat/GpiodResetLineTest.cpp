// The libgpiod reset line on a machine that lacks the chip.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "vantro/HatControl/GpioSetting.hpp"
#include "vantro/RaspiHatControl/RaspiHatControl.hpp"

using namespace vantro;

namespace {

std::string initPinsError(const GpioSetting& setting) {
  setResetLineFactory(nullptr);
  setGpioSetting(setting);
  RaspiHatControl::HatControl hat;
  std::string message;
  try {
    hat.initPins();
  } catch (const std::system_error& e) {
    message = e.what();
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory) << message;
  }
  clearGpioSetting();
  return message;
}

}  // namespace

TEST(GpiodResetLine, MissingChipNamesChipLineAndReason) {
  const std::string message = initPinsError({"vantro-test-no-such-chip", 7, false});
  EXPECT_NE(message.find("reset line 7 of GPIO chip vantro-test-no-such-chip"), std::string::npos)
      << message;
  EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
}

TEST(GpiodResetLine, DefaultChipIsMissingOnThisMachine) {
  if (std::filesystem::exists("/dev/gpiochip0")) GTEST_SKIP() << "this machine has gpiochip0";
  const std::string message = initPinsError({"", 0, false});
  EXPECT_NE(message.find("cannot open reset line 22 of GPIO chip gpiochip0"), std::string::npos)
      << message;
  EXPECT_NE(message.find("cannot open GPIO device gpiochip0: No such file or directory"),
            std::string::npos)
      << message;
}
