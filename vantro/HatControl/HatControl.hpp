#pragma once
// GPIO control of the Duzediv Eri on boards other than the Raspberry Pi.
#include <memory>

#include "vantro/HatControl/GpioSetting.hpp"

namespace vantro::HatControl {

class HatControl {
 public:
  HatControl();
  ~HatControl();
  /// Requests the reset line as an output (idle level). Throws std::system_error
  /// naming the chip and the reason. Does nothing with the "no reset" setting.
  void initPins();
  /// Pulses the reset line, releases it and waits for the board to settle.
  void reset();

 private:
  std::unique_ptr<ResetLine> line_;
};

}  // namespace vantro::HatControl
