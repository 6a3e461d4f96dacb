#include "vantro/HatControl/GpioSetting.hpp"

#include <mutex>
#include <utility>

#include "vantro/HatControl/GpiodResetLine.hpp"

namespace vantro {
namespace {

struct State {
  std::mutex mutex;
  GpioSetting setting;
  bool hasSetting = false;
  ResetLineFactory factory;
};

State& state() {
  static State s;
  return s;
}

}  // namespace

// Both defaults are pin 15 of the 40-pin header: BCM GPIO22 on the Raspberry
// Pi, PA3 (port A, pin 3) of the Allwinner H3/H5 on the Orange Pi.
GpioSetting defaultRaspiGpioSetting() {
  return {"gpiochip0", 22, false};
}
GpioSetting defaultOrangePiGpioSetting() {
  return {"gpiochip0", 3, false};
}

void setGpioSetting(const GpioSetting& setting) {
  std::lock_guard lock(state().mutex);
  state().setting = setting;
  state().hasSetting = true;
}

void clearGpioSetting() {
  std::lock_guard lock(state().mutex);
  state().setting = GpioSetting{};
  state().hasSetting = false;
}

bool hasGpioSetting() {
  std::lock_guard lock(state().mutex);
  return state().hasSetting;
}

const GpioSetting& gpioSetting() {
  std::lock_guard lock(state().mutex);
  return state().setting;
}

GpioSetting effectiveGpioSetting(const GpioSetting& boardDefault) {
  std::lock_guard lock(state().mutex);
  if (!state().hasSetting) return boardDefault;
  GpioSetting s = state().setting;
  if (s.chip.empty()) {
    s.chip = boardDefault.chip;
    s.line = boardDefault.line;
  }
  return s;
}

void setResetLineFactory(ResetLineFactory factory) {
  std::lock_guard lock(state().mutex);
  state().factory = std::move(factory);
}

std::unique_ptr<ResetLine> openResetLine(const GpioSetting& setting, int initial) {
  ResetLineFactory factory;
  {
    std::lock_guard lock(state().mutex);
    factory = state().factory;
  }
  if (factory) return factory(setting, initial);
  return hat::openGpiodResetLine(setting, initial);
}

}  // namespace vantro
