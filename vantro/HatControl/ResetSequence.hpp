#pragma once
// The reset sequence shared by both HatControl classes. The Duzediv Eri's
// reset input is active low and pulled up on the board:
//   initPins: request the line as an output at 1 (idle, board running);
//   reset:    drive 0 for kResetPulse, drive 1, release the line (the pull-up
//             keeps it high), wait kSettleTime for the board's boot loader.
// The board then prints its start-up line within the 5.5 s that start-up waits.
#include <chrono>
#include <memory>

#include "vantro/HatControl/GpioSetting.hpp"

namespace vantro::hat {

inline constexpr int kIdleLevel = 1;
inline constexpr int kResetLevel = 0;
/// Long enough for the microcontroller's reset filter and brown-out logic.
inline constexpr std::chrono::milliseconds kResetPulse{100};
/// Lets the supply and oscillator settle before the serial port is opened.
inline constexpr std::chrono::milliseconds kSettleTime{200};

/// Opens the reset line for the board with `boardDefault`, or returns nullptr
/// when the setting says "no reset".
std::unique_ptr<ResetLine> requestResetLine(const GpioSetting& boardDefault);

/// Runs the reset pulse on `line` (requested by requestResetLine) and releases
/// it. Does nothing for a null line in "no reset" mode; throws
/// std::logic_error for a null line otherwise (initPins() was not called).
void pulseReset(std::unique_ptr<ResetLine>& line, const GpioSetting& boardDefault);

}  // namespace vantro::hat
