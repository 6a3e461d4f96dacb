#include "vantro/HatControl/HatControl.hpp"

#include "vantro/HatControl/ResetSequence.hpp"

namespace vantro::HatControl {

HatControl::HatControl() = default;
HatControl::~HatControl() = default;

void HatControl::initPins() {
  line_.reset();  // a second initPins() must not find its own line busy
  line_ = hat::requestResetLine(defaultOrangePiGpioSetting());
}

void HatControl::reset() {
  hat::pulseReset(line_, defaultOrangePiGpioSetting());
}

}  // namespace vantro::HatControl
