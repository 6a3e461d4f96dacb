#pragma once
// The process-wide GPIO setting of the board reset line, filled by the daemon
// from its options before the board is reset.
#include <functional>
#include <memory>
#include <string>

namespace vantro {

struct GpioSetting {
  std::string chip;      // e.g. "gpiochip0"
  unsigned line = 0;     // offset of the reset line on that chip
  bool noReset = false;  // initPins() and reset() do nothing
};

/// Defaults of the two board kinds (documented in docs/).
GpioSetting defaultRaspiGpioSetting();
GpioSetting defaultOrangePiGpioSetting();

/// Sets the setting in force for the whole process. An empty `chip` means
/// "the board's default chip and line" (a line offset means nothing without
/// its chip); `noReset` is always taken as given.
void setGpioSetting(const GpioSetting& setting);
/// Forgets the setting, so that the board defaults apply again (tests).
void clearGpioSetting();
/// True once setGpioSetting() has been called.
bool hasGpioSetting();
const GpioSetting& gpioSetting();
/// What a HatControl class of the board with `boardDefault` uses: the board
/// default when no setting was made, else the setting with an empty chip
/// replaced by the board's chip and line.
GpioSetting effectiveGpioSetting(const GpioSetting& boardDefault);

/// The output line the HatControl classes drive; a seam for tests.
/// Releasing it (release() or destruction) hands the line back to the kernel as
/// an input, so the board's own pull-up sets its level.
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
