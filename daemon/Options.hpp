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
  int brokerPort = 1883;             // 8883 with TLS unless given
  std::string clientId;              // empty: "vantro-" and the host name
  std::string commandScope = "all";  // "all": tx/#, "own": gw/{uid}/tx/#
  bool tls = false;
  std::string caFile;  // empty: the system's CA store
  std::string certFile;
  std::string keyFile;
  bool tlsInsecure = false;
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
/// missing or out-of-range value, or options that do not go together (a TLS
/// file or tls-insecure without tls, a certificate without its key), print one
/// clear line and ask to exit 2.
ParseResult parseOptions(int argc, char** argv);

/// Reads the password file: its first line, without the line end. Throws
/// std::runtime_error naming the file and the reason.
std::string readPasswordFile(const std::string& path);

}  // namespace vantro::daemon
