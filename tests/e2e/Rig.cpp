#include "tests/e2e/Rig.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

using namespace std::chrono_literals;

namespace vantro::test {

namespace {
void giveToDaemonUser(const std::filesystem::path& p) {
  const int uid = unprivilegedUid();
  if (uid >= 0 && ::chown(p.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(uid)) != 0) {
    throw std::runtime_error("cannot chown " + p.string());
  }
}

// The daemon runs as another user: it must reach the link and its status folder.
void prepareFolders(const TempDir& dir) {
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all |
                                               std::filesystem::perms::group_exec |
                                               std::filesystem::perms::others_exec);
  std::filesystem::create_directories(dir / "status");
  giveToDaemonUser(dir / "status");
}

// The subscribers of the tests take backlogs of tens of thousands at once.
Broker::Options withDeepQueues(Broker::Options options) {
  options.extraConfig.emplace_back("max_queued_messages 0");
  return options;
}
}  // namespace

Rig::Rig(Broker::Options broker)
    : ownBroker_(std::make_unique<Broker>(withDeepQueues(std::move(broker)))),
      broker_(ownBroker_.get()) {
  prepareFolders(dir_);
}

Rig::Rig(Rig& shared) : broker_(shared.broker_) {
  prepareFolders(dir_);
}

Rig::~Rig() {
  gateway_.reset();
  board_.reset();
  subscriber_.reset();
}

void Rig::startBoard(std::vector<std::string> args, std::vector<std::string> env) {
  std::vector<std::string> argv{bin("vantro-hat-sim"), "--link", linkPath(), "--rx-log",
                                (dir_ / "board-rx.log").string()};
  argv.insert(argv.end(), args.begin(), args.end());
  Process::Options opts;
  opts.extraEnv = std::move(env);
  board_ = std::make_unique<Process>(argv, opts);
  if (board_->waitForPart("PTY /dev/", 10s) < 0) {
    throw std::runtime_error("the simulated board did not start:\n" + board_->output());
  }
  giveToDaemonUser(std::filesystem::canonical(linkPath()));
}

void Rig::startGateway(std::vector<std::string> extra, std::vector<std::string> env) {
  const bool tls = std::find(extra.begin(), extra.end(), "--tls") != extra.end();
  std::vector<std::string> argv{bin("vantro-gateway"),
                                "--serial-device",
                                linkPath(),
                                "--broker",
                                "127.0.0.1",
                                "--broker-port",
                                std::to_string(tls ? broker_->tlsPort() : broker_->port()),
                                "--status-dir",
                                statusDir(),
                                "--no-hat-reset"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  Process::Options opts;
  opts.runAsUid = unprivilegedUid();
  opts.extraEnv = std::move(env);
  gateway_ = std::make_unique<Process>(argv, opts);
}

void Rig::startSubscriber(const std::string& filter, const std::string& clientId) {
  std::vector<std::string> argv{"/usr/bin/mosquitto_sub",
                                "-h",
                                "127.0.0.1",
                                "-p",
                                std::to_string(broker_->port()),
                                "-V",
                                "5",
                                "-q",
                                "1",
                                "-t",
                                filter,
                                "-v"};
  if (!clientId.empty()) {
    argv.insert(argv.end(), {"-c", "-i", clientId, "-x", "600"});
  }
  subscriber_ = std::make_unique<Process>(argv);
  std::this_thread::sleep_for(300ms);  // let the subscription reach the broker
}

void Rig::publish(const std::string& topic, const std::string& payload) {
  Process pub({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker_->port()),
               "-q", "1", "-t", topic, "-m", payload});
  if (pub.wait(5s) != 0) throw std::runtime_error("mosquitto_pub failed:\n" + pub.output());
}

std::string Rig::boardRx() const {
  std::ifstream in(dir_ / "board-rx.log", std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> Rig::readings() const {
  std::vector<std::string> out = received("sensor/");
  std::erase_if(out, [](const std::string& l) {
    const auto space = l.find(' ');
    return l.substr(0, space).ends_with("/availability");
  });
  return out;
}

std::vector<std::string> Rig::received(const std::string& prefix) const {
  std::vector<std::string> out;
  if (!subscriber_) return out;
  for (const auto& l : subscriber_->lines()) {
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  }
  return out;
}

}  // namespace vantro::test
