#pragma once
#include "daemon/Options.hpp"

namespace vantro::daemon {

/// Runs the bridge until SIGTERM or SIGINT (SIGHUP restarts it). Returns the
/// process exit status: 0 after a clean stop, 1 when a start-up failed.
int runGateway(const Options& options);

}  // namespace vantro::daemon
