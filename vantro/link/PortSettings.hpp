#pragma once
// Line settings of the serial link: the termios speed table and the raw 8N1
// configuration without flow control.
#include <string>

#include <termios.h>

namespace vantro {

/// The termios constant of a standard rate in baud. Throws std::invalid_argument
/// naming the device and the rate when `baud` is not one of the standard rates.
speed_t speedConstant(unsigned baud, const std::string& path);

/// Sets the terminal `fd` to raw 8N1 at `speed`: no parity, one stop bit, no
/// RTS/CTS or XON/XOFF flow control, receiver on, modem lines ignored, and HUPCL
/// cleared so that closing the port leaves DTR as it is. The modem lines are
/// never written. Throws std::system_error naming `path` when the terminal
/// refuses the settings.
void configureRawPort(int fd, speed_t speed, const std::string& path);

}  // namespace vantro
