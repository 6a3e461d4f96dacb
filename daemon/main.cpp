// vantro-gateway: the embedding program. It owns the event loop, the options,
// the signals and the MQTT command dispatch, and runs the bridge until it is
// stopped, again after each restart.
#include <csignal>
#include <cstdio>

#include <asio/signal_set.hpp>

#include "daemon/Gateway.hpp"
#include "daemon/Options.hpp"

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const auto parsed = vantro::daemon::parseOptions(argc, argv);
  if (parsed.kind == vantro::daemon::ParseResult::Kind::Exit) return parsed.exitCode;
  return vantro::daemon::runGateway(parsed.options);
}
