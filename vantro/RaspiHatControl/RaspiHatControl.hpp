#pragma once
// GPIO control of the Duzediv Eri on the Raspberry Pi.
#include <memory>

#include "vantro/HatControl/GpioSetting.hpp"

namespace vantro::RaspiHatControl {

class HatControl {
 public:
  HatControl();
  ~HatControl();
  void initPins();
  void reset();

 private:
  std::unique_ptr<ResetLine> line_;
};

}  // namespace vantro::RaspiHatControl
