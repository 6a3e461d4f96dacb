#include "vantro/HatControl/ResetSequence.hpp"

#include <stdexcept>
#include <thread>

namespace vantro::hat {

std::unique_ptr<ResetLine> requestResetLine(const GpioSetting& boardDefault) {
  const GpioSetting setting = effectiveGpioSetting(boardDefault);
  if (setting.noReset) return nullptr;
  return openResetLine(setting, kIdleLevel);
}

void pulseReset(std::unique_ptr<ResetLine>& line, const GpioSetting& boardDefault) {
  if (!line) {
    if (effectiveGpioSetting(boardDefault).noReset) return;
    throw std::logic_error("HatControl::reset() needs initPins() first");
  }
  // Whatever fails, the line is released when `held` goes, which hands it
  // back to the pull-up and so ends a reset that was left active.
  std::unique_ptr<ResetLine> held = std::move(line);
  held->set(kResetLevel);
  std::this_thread::sleep_for(kResetPulse);
  held->set(kIdleLevel);
  held->release();
  std::this_thread::sleep_for(kSettleTime);
}

}  // namespace vantro::hat
