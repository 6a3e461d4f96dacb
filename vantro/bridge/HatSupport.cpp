// The Duzediv Eri as a piece of hardware: board kind, reset, start-up wait,
// standby, and the do-nothing job that wakes the transmit worker.
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "vantro/HatControl/HatControl.hpp"
#include "vantro/RaspiHatControl/RaspiHatControl.hpp"
#include "vantro/bridge/Bridge.hpp"
#include "vantro/protocol/TelvariSpeakV1/Records.hpp"
#include "vantro/protocol/TelvariSpeakV1/TelvariSpeakV1.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {

bool isRaspi(const std::string& cpuinfoPath) {
  std::ifstream in(cpuinfoPath);
  if (!in) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + cpuinfoPath);
  }
  std::string line;
  while (std::getline(in, line)) {
    const std::string s = strip(line);
    if (s.starts_with("Hardware") && s.find("BCM") != std::string::npos) return true;
  }
  if (in.bad()) throw std::runtime_error("cannot read " + cpuinfoPath);
  return false;
}

void hardResetHat() {
  if (isRaspi()) {
    RaspiHatControl::HatControl hatControl;
    hatControl.initPins();
    hatControl.reset();
  } else {
    HatControl::HatControl hatControl;
    hatControl.initPins();
    hatControl.reset();
  }
}

Awaitable<void> waitForHatStartup(std::shared_ptr<SerialLink> link) {
  for (;;) {
    const std::string msg = co_await TelvariSpeakV1::waitForRxMsg(*link, std::nullopt);
    if (msg == "Gateway Module started up") co_return;
    TelvariSpeakV1::answerStartupPrompt(*link, msg);
  }
}

void shutdownRadio(Session& session) {
  if (session.myProtocol) {
    print("Putting Duzediv Eri in standby mode");
    session.myProtocol->shutdown();
  }
}

void shutdownRadio() {
  shutdownRadio(processSession());
}

void emptyFunc() {}

}  // namespace vantro
