#pragma once
// The end-to-end rig: a real Mosquitto broker, the simulated board on a
// pseudo-terminal, the gateway daemon, and a subscriber on the broker.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Broker.hpp"
#include "tests/support/Process.hpp"
#include "tests/support/TempDir.hpp"

namespace vantro::test {

class Rig {
 public:
  /// With a broker of its own.
  explicit Rig(Broker::Options broker = {});
  /// Another gateway and board on `shared`'s broker.
  explicit Rig(Rig& shared);
  ~Rig();

  /// Starts the simulated board with `args` (plus --link and --rx-log) and
  /// waits for its pty; the daemon's user may then open it. `env` entries
  /// ("NAME=value") are added to its environment.
  void startBoard(std::vector<std::string> args, std::vector<std::string> env = {});
  /// Starts the gateway on the board's line, with its own status directory and
  /// the `env` entries added to its environment. With "--tls" among `extra`
  /// it connects to the broker's TLS listener.
  void startGateway(std::vector<std::string> extra = {}, std::vector<std::string> env = {});
  /// Subscribes to `filter` (durable session `clientId` when not empty), printing
  /// "topic payload" lines.
  void startSubscriber(const std::string& filter, const std::string& clientId = "");
  /// Publishes one message (QoS 1) with mosquitto_pub and waits for it to be sent.
  void publish(const std::string& topic, const std::string& payload);

  Process& board() { return *board_; }
  Process& gateway() { return *gateway_; }
  Process& subscriber() { return *subscriber_; }
  Broker& broker() { return *broker_; }

  /// Everything the board received so far.
  std::string boardRx() const;
  /// The subscriber's lines whose topic starts with `prefix`.
  std::vector<std::string> received(const std::string& prefix) const;
  /// The subscriber's lines of node readings: under "sensor/", without the
  /// nodes' availability ("sensor/{uid}/availability").
  std::vector<std::string> readings() const;

  std::string statusDir() const { return (dir_ / "status").string(); }
  std::string linkPath() const { return (dir_ / "ttyHAT").string(); }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::unique_ptr<Broker> ownBroker_;
  Broker* broker_;
  std::unique_ptr<Process> board_;
  std::unique_ptr<Process> gateway_;
  std::unique_ptr<Process> subscriber_;
};

}  // namespace vantro::test
