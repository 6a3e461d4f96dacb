#pragma once
// Text that came from outside (the board's log lines, its serial number, what
// an external command wrote) made safe to print: a terminal showing the
// journal must not be steered by escape sequences hidden in it.
#include <string>
#include <string_view>

namespace vantro {

/// `text` with every control character written out: C0 controls and DEL as
/// \xNN (e.g. ESC as \x1b), C1 controls (U+0080 to U+009F, which some
/// terminals obey too) as \uNNNN, bytes that are not UTF-8 as \xNN, and the
/// backslash itself as \\ so that the result reads back unambiguously. Other
/// text, UTF-8 included, is kept as it is.
std::string escapeControls(std::string_view text);

}  // namespace vantro
