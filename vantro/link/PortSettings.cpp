#include "vantro/link/PortSettings.hpp"

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

namespace vantro {
namespace {

struct Rate {
  unsigned baud;
  speed_t constant;
};

constexpr Rate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

speed_t speedConstant(unsigned baud, const std::string& path) {
  for (const Rate& r : kRates) {
    if (r.baud == baud) return r.constant;
  }
  throw std::invalid_argument(fmt::format(
      "serial device \"{}\": {} baud is not a standard rate (50 to 4000000, e.g. 115200)", path,
      baud));
}

void configureRawPort(int fd, speed_t speed, const std::string& path) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    throwErrno(fmt::format("serial device \"{}\" is not a usable terminal", path));
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  // The descriptor is non-blocking; these only matter to other openers.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) {
    throwErrno(fmt::format("serial device \"{}\": cannot set the speed", path));
  }
  int rc;
  do {
    rc = ::tcsetattr(fd, TCSANOW, &tio);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0)
    throwErrno(fmt::format("serial device \"{}\": cannot apply the line settings", path));

  // tcsetattr succeeds when any one of the changes took; check the ones that matter.
  termios got{};
  if (::tcgetattr(fd, &got) != 0) {
    throwErrno(fmt::format("serial device \"{}\": cannot read back the line settings", path));
  }
  if (::cfgetospeed(&got) != speed || ::cfgetispeed(&got) != speed ||
      (got.c_cflag & CSIZE) != CS8 || (got.c_cflag & (PARENB | CRTSCTS | HUPCL)) != 0 ||
      (got.c_iflag & (IXON | IXOFF)) != 0) {
    throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                            fmt::format("serial device \"{}\" did not take raw 8N1 at the "
                                        "requested speed",
                                        path));
  }
}

}  // namespace vantro
