#include "vantro/RaspiHatControl/RaspiHatControl.hpp"

#include "vantro/HatControl/ResetSequence.hpp"

namespace vantro::RaspiHatControl {

HatControl::HatControl() = default;
HatControl::~HatControl() = default;

void HatControl::initPins() {
  line_.reset();  // a second initPins() must not find its own line busy
  line_ = hat::requestResetLine(defaultRaspiGpioSetting());
}

void HatControl::reset() {
  hat::pulseReset(line_, defaultRaspiGpioSetting());
}

}  // namespace vantro::RaspiHatControl
