#pragma once
// The reset line through libgpiod's C++ binding (character device
// /dev/gpiochipN, no sysfs).
#include <memory>

#include "vantro/HatControl/GpioSetting.hpp"

namespace vantro::hat {

/// Requests `setting.line` of `setting.chip` as an output with value
/// `initial`, as consumer "vantro". Throws std::system_error whose message
/// names the chip, the line and libgpiod's reason.
std::unique_ptr<ResetLine> openGpiodResetLine(const GpioSetting& setting, int initial);

}  // namespace vantro::hat
