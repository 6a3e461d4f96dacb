// vantro-hat-sim: a simulated Duzediv Eri board on a pseudo-terminal, for demo
// scripts and as the board in the integration tests. It stands for the board's
// firmware, so it shares no code with the gateway. See docs/simulator.md.
#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>
#include <exception>

#include "sim/Board.hpp"
#include "sim/Log.hpp"

namespace {

/// SIGTERM and SIGINT become readable on the returned descriptor.
sim::Fd stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) sim::throwErrno("sigprocmask");
  sim::Fd fd(::signalfd(-1, &set, SFD_CLOEXEC));
  if (!fd.valid()) sim::throwErrno("signalfd");
  ::signal(SIGPIPE, SIG_IGN);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = sim::parseOptions(argc, argv);
  if (const int* code = std::get_if<int>(&parsed)) return *code;
  const auto& options = std::get<sim::Options>(parsed);
  try {
    const sim::Fd stop = stopSignals();
    sim::Board board(options);
    board.run(stop.get());
    sim::event("BYE");
  } catch (const std::exception& e) {
    sim::writeLine(stderr, std::string("vantro-hat-sim: ") + e.what());
    return 1;
  }
  return 0;
}
