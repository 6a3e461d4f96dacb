#pragma once
// The process-wide GPIO setting of the board reset line, filled by the daemon
// from its options before the board is reset.
#include <functional>
#include <memory>
#include <string>

namespace vantro {

struct GpioSetting {
  std::string chip;        // e.g. "gpiochip0"
  unsigned line = 0;       // offset of the reset line on that chip
  bool noReset = false;    // initPins() and reset() do nothing
};

/// Defaults of the two board kinds (documented in docs/).
GpioSetting defaultRaspiGpioSetting();
GpioSetting defaultOrangePiGpioSetting();

/// The setting in force; empty optional fields fall back to the board default.
void setGpioSetting(const GpioSetting& setting);
/// True once setGpioSetting() has been called.
bool hasGpioSetting();
const GpioSetting& gpioSetting();

/// The output line the HatControl classes drive; a seam for tests.
class ResetLine {
 public:
  virtual ~ResetLine() = default;
  virtual void set(int value) = 0;
  virtual void release() = 0;
};

/// Opens `setting.line` of `setting.chip` as an output with initial value
/// `initial`. Throws std::system_error naming the chip and the reason.
using ResetLineFactory =
    std::function<std::unique_ptr<ResetLine>(const GpioSetting& setting, int initial)>;
/// Replaces the factory (tests); nullptr restores the libgpiod one.
void setResetLineFactory(ResetLineFactory factory);
std::unique_ptr<ResetLine> openResetLine(const GpioSetting& setting, int initial);

}  // namespace vantro
