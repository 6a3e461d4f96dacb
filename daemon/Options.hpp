#pragma once
// The daemon's options.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vantro::daemon {

struct Options {
  std::string serialDevice;
  unsigned serialSpeed = 115200;
  std::string broker = "localhost";
  int brokerPort = 1883;
  std::string username;
  std::string password;  // from --password-file or VANTRO_MQTT_PASSWORD, never the command line
  std::string passwordFile;
  long long nodeId = 1;
  long long networkId = 100;
  std::string statusDir = "/var/telvari-gateway";
  std::string firmwareDir;          // default: "firmware" in the status directory
  std::size_t commandQueue = 1000;  // node commands waiting for the transmit queue
  bool outbox = true;               // keep readings for the broker on disk
  unsigned outboxMaxMb = 100;
  unsigned outboxSyncInterval = 5;  // seconds between syncs of the outbox to disk
  std::optional<std::string> gpioChip;
  std::optional<unsigned> resetLine;
  bool noHatReset = false;
  unsigned healthInterval = 60;  // seconds between health reports; 0: none
  unsigned nodeTimeout = 90000;  // seconds of silence before a node is offline; 0: never
  bool haDiscovery = true;       // Home Assistant MQTT discovery
  std::string haPrefix = "homeassistant";
};

/// What parseOptions() decided.
struct ParseResult {
  enum class Kind { Run, Exit } kind = Kind::Run;
  int exitCode = 0;
  Options options;
};

/// Parses the command line. --help and --version print and ask to exit 0; a
/// missing or out-of-range value prints one clear line and asks to exit 2.
ParseResult parseOptions(int argc, char** argv);

/// Reads the password file: its first line, without the line end. Throws
/// std::runtime_error naming the file and the reason.
std::string readPasswordFile(const std::string& path);

}  // namespace vantro::daemon
