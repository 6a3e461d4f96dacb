#pragma once
// The serial link of the current run, for the node commands.
#include <memory>
#include <string_view>

#include "vantro/link/SerialLink.hpp"

namespace vantro {

/// `ser`, held for the duration of one command (a restart may replace `ser`
/// meanwhile). Throws std::runtime_error naming `operation` when no port is open.
std::shared_ptr<SerialLink> openLink(std::string_view operation);

}  // namespace vantro
