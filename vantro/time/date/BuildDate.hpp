#pragma once
// The day this program was built, as the lower bound of a believable date: a
// clock showing an earlier date has never been set (or the date is noise).
#include <optional>
#include <string_view>

#include "vantro/time/date/DateTime.hpp"

namespace vantro {

/// The date of a `__DATE__` text ("Feb 29 2024", the day padded with a space
/// below 10) at midnight; nothing when the text has another form.
std::optional<DateTime> parseCompilerDate(std::string_view text);

/// Midnight of the day the date module was compiled (the compiler's
/// `__DATE__`, which follows SOURCE_DATE_EPOCH in reproducible builds).
DateTime buildDate();

/// True unless `dt` lies more than a day before buildDate(): the day of grace
/// covers a build host and a board in different time zones.
bool isPlausibleDate(const DateTime& dt);

}  // namespace vantro
