#include "tests/e2e/MqttTools.hpp"

#include <chrono>
#include <stdexcept>

#include "tests/support/Process.hpp"

using namespace std::chrono_literals;

namespace vantro::test {

std::map<std::string, std::string> retainedMessages(int port, const std::string& filter) {
  // Ends at the first message that is not retained, or after a second.
  Process sub({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t",
               filter, "--retained-only", "-W", "1", "-F", "%r %t %p"});
  if (!sub.wait(10s)) throw std::runtime_error("mosquitto_sub did not end:\n" + sub.output());
  std::map<std::string, std::string> out;
  for (const std::string& line : sub.lines()) {
    const auto space = line.find(' ', 2);
    if (line.rfind("1 ", 0) != 0 || space == std::string::npos) continue;
    out[line.substr(2, space - 2)] = line.substr(space + 1);
  }
  return out;
}

void publishMessage(int port, const std::string& topic, const std::string& payload, bool retain) {
  std::vector<std::string> argv{"/usr/bin/mosquitto_pub",
                                "-h",
                                "127.0.0.1",
                                "-p",
                                std::to_string(port),
                                "-q",
                                "1",
                                "-t",
                                topic};
  if (retain) argv.push_back("-r");
  if (payload.empty()) {
    argv.push_back("-n");
  } else {
    argv.insert(argv.end(), {"-m", payload});
  }
  Process pub(argv);
  if (pub.wait(10s) != 0) throw std::runtime_error("mosquitto_pub failed:\n" + pub.output());
}

std::vector<nlohmann::json> jsonOn(const std::vector<std::string>& lines,
                                   const std::string& topic) {
  std::vector<nlohmann::json> out;
  for (const std::string& line : lines) {
    if (line.rfind(topic + " ", 0) != 0) continue;
    out.push_back(nlohmann::json::parse(line.substr(topic.size() + 1), nullptr, false));
  }
  return out;
}

}  // namespace vantro::test
