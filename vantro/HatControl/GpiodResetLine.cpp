#include "vantro/HatControl/GpiodResetLine.hpp"

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>
#include <gpiod.hpp>

namespace vantro::hat {
namespace {

constexpr char kConsumer[] = "vantro";

class GpiodResetLine : public ResetLine {
 public:
  GpiodResetLine(gpiod::chip chip, gpiod::line line, const GpioSetting& setting)
      : chip_(std::move(chip)), line_(std::move(line)), setting_(setting) {}
  ~GpiodResetLine() override {
    try {
      release();
    } catch (...) {
      // The kernel frees the line when the chip's file descriptor closes.
    }
  }

  void set(int value) override {
    try {
      line_.set_value(value);
    } catch (const std::system_error& e) {
      throw std::system_error(
          e.code(), fmt::format("cannot set reset line {} of GPIO chip {} to {}", setting_.line,
                                setting_.chip, value));
    }
  }

  void release() override {
    if (line_ && line_.is_requested()) line_.release();
  }

 private:
  gpiod::chip chip_;
  gpiod::line line_;
  GpioSetting setting_;
};

}  // namespace

std::unique_ptr<ResetLine> openGpiodResetLine(const GpioSetting& setting, int initial) {
  const std::string where =
      fmt::format("reset line {} of GPIO chip {}", setting.line, setting.chip);
  try {
    gpiod::chip chip(setting.chip, gpiod::chip::OPEN_LOOKUP);
    if (setting.line >= chip.num_lines()) {
      throw std::system_error(
          EINVAL, std::generic_category(),
          fmt::format("cannot open {}: the chip has only {} lines", where, chip.num_lines()));
    }
    gpiod::line line = chip.get_line(setting.line);
    line.request({kConsumer, gpiod::line_request::DIRECTION_OUTPUT, 0}, initial);
    return std::make_unique<GpiodResetLine>(std::move(chip), std::move(line), setting);
  } catch (const std::system_error& e) {
    if (std::string(e.what()).find(where) != std::string::npos) throw;
    // libgpiod says e.g. "cannot open GPIO device gpiochip0: No such file or
    // directory"; system_error appends the reason again, so drop it here.
    std::string inner = e.what();
    const std::string reason = ": " + e.code().message();
    if (inner.size() >= reason.size() && inner.ends_with(reason)) {
      inner.resize(inner.size() - reason.size());
    }
    throw std::system_error(e.code(), fmt::format("cannot open {}: {}", where, inner));
  } catch (const std::exception& e) {
    throw std::system_error(EINVAL, std::generic_category(),
                            fmt::format("cannot open {}: {}", where, e.what()));
  }
}

}  // namespace vantro::hat
