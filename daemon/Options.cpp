#include "daemon/Options.hpp"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "daemon/Config.hpp"
#include "vantro/runtime/Print.hpp"

#ifndef VANTRO_VERSION
#define VANTRO_VERSION "0.0.0"
#endif

namespace vantro::daemon {

std::string readPasswordFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error(fmt::format("cannot read password file {}", path));
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

namespace {

// TLS options are refused rather than ignored or guessed without --tls, so
// that a gateway never talks plain MQTT while its settings name certificates.
void checkTlsOptions(const Options& o) {
  if (!o.tls) {
    for (const auto& [given, name] :
         {std::pair{!o.caFile.empty(), "--ca-file"}, std::pair{!o.certFile.empty(), "--cert-file"},
          std::pair{!o.keyFile.empty(), "--key-file"},
          std::pair{o.tlsInsecure, "--tls-insecure"}}) {
      if (given) throw std::runtime_error(fmt::format("{} needs --tls", name));
    }
  }
  if (o.certFile.empty() != o.keyFile.empty()) {
    throw std::runtime_error("--cert-file and --key-file go together");
  }
}

}  // namespace

ParseResult parseOptions(int argc, char** argv) {
  ParseResult result;
  Options& o = result.options;
  CLI::App app{"vantro-gateway: bridges the Duzediv Eri radio board and an MQTT broker"};
  app.set_version_flag("--version", std::string("vantro-gateway ") + VANTRO_VERSION);
  app.add_option("--serial-device", o.serialDevice, "serial device of the board")->required();
  app.add_option("--serial-speed", o.serialSpeed, "serial speed in baud")
      ->capture_default_str()
      ->check(CLI::Range(50u, 4000000u));
  app.add_option("--broker", o.broker, "MQTT broker host")->capture_default_str();
  std::optional<int> brokerPort;
  app.add_option("--broker-port", brokerPort, "MQTT broker port (default 1883, 8883 with --tls)")
      ->check(CLI::Range(1, 65535));
  app.add_option("--client-id", o.clientId,
                 "MQTT client id, unique on the broker (default: vantro- and the host name)")
      ->check([](const std::string& id) {
        return id.empty() || id.size() > 65535 ? std::string("must be 1 to 65535 bytes") : "";
      });
  app.add_option("--command-scope", o.commandScope,
                 "node commands taken from MQTT: all (tx/#) or own (gw/{uid}/tx/#, the board's "
                 "unique ID)")
      ->capture_default_str()
      ->check(CLI::IsMember({"all", "own"}));
  app.add_flag("--tls", o.tls, "connect to the broker over TLS");
  app.add_option("--ca-file", o.caFile,
                 "PEM file of the CA certificates the broker's certificate must chain up to "
                 "(default: the system's CA store)");
  app.add_option("--cert-file", o.certFile, "PEM file of the client certificate (with --key-file)");
  app.add_option("--key-file", o.keyFile, "PEM file of the client certificate's unencrypted key");
  app.add_flag("--tls-insecure", o.tlsInsecure,
               "do not check that the broker's certificate names the broker host (warned at "
               "every start)");
  app.add_option("--username", o.username, "MQTT user name");
  app.add_option("--password-file", o.passwordFile,
                 "file holding the MQTT password (or set VANTRO_MQTT_PASSWORD)")
      ->check(CLI::ExistingFile);
  app.add_option("--node-id", o.nodeId, "the gateway's radio node id")
      ->capture_default_str()
      ->check(CLI::Range(0LL, 255LL));
  app.add_option("--network-id", o.networkId, "the radio network id")
      ->capture_default_str()
      ->check(CLI::Range(0LL, 255LL));
  app.add_option("--status-dir", o.statusDir, "status directory (peer state, gateway UID)")
      ->capture_default_str();
  app.add_option("--firmware-dir", o.firmwareDir,
                 "folder of the firmware files that commands may name (default: "
                 "firmware in the status directory)");
  app.add_option("--command-queue", o.commandQueue,
                 "node commands from MQTT that may wait for the board; more are refused")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
  app.add_flag("--outbox,!--no-outbox", o.outbox,
               "keep the readings for the broker on disk (outbox.sqlite in the status "
               "directory) until it has them")
      ->capture_default_str();
  app.add_option("--outbox-max-mb", o.outboxMaxMb,
                 "disk budget of the outbox in MB; when full the oldest readings go")
      ->capture_default_str()
      ->check(CLI::Range(1u, 1000000u));
  app.add_option("--outbox-sync-interval", o.outboxSyncInterval,
                 "seconds between syncs of the outbox to disk (what a power cut may lose)")
      ->capture_default_str()
      ->check(CLI::Range(1u, 3600u));
  app.add_option("--gpio-chip", o.gpioChip, "GPIO chip of the board reset line");
  app.add_option("--reset-line", o.resetLine, "GPIO line offset of the board reset line")
      ->check(CLI::Range(0u, 1023u));
  app.add_flag("--no-hat-reset", o.noHatReset, "do not reset the board through GPIO");
  app.add_option("--health-interval", o.healthInterval,
                 "seconds between health reports on gw/{uid}/health (0: none)")
      ->capture_default_str()
      ->check(CLI::Range(0u, 86400u));
  app.add_option("--node-timeout", o.nodeTimeout,
                 "seconds without a reading after which a node is marked offline on "
                 "sensor/{uid}/availability (0: no node availability)")
      ->capture_default_str()
      ->check(CLI::Range(0u, 31536000u));
  app.add_flag("--ha-discovery,!--no-ha-discovery", o.haDiscovery,
               "announce the nodes and the gateway to Home Assistant (MQTT discovery)")
      ->capture_default_str();
  app.add_option("--ha-prefix", o.haPrefix, "topic prefix of Home Assistant's MQTT discovery")
      ->capture_default_str()
      ->check([](const std::string& prefix) -> std::string {
        // The first levels of a topic name: no wildcard, no empty level.
        const bool bad = prefix.empty() || prefix.front() == '/' || prefix.back() == '/' ||
                         prefix.find("//") != std::string::npos ||
                         prefix.find_first_of("+#") != std::string::npos;
        return bad ? "must be topic levels without wildcards, e.g. homeassistant" : "";
      });

  // The configuration file sets the options first; the command line overrides it.
  std::string configPath = kDefaultConfigFile;
  app.add_option("--config", configPath,
                 "configuration file (TOML, keys named like the long options)")
      ->capture_default_str();
  std::string filePassword;
  try {
    const auto given = configPathFromArgs(argc, argv);
    applyConfig(app, readConfigFile(given.value_or(kDefaultConfigFile), given.has_value()),
                filePassword);
  } catch (const ConfigError& e) {
    printLine(fmt::format("vantro-gateway: {}", e.what()));
    result.kind = ParseResult::Kind::Exit;
    result.exitCode = 2;
    return result;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    printLine(app.help());
    result.kind = ParseResult::Kind::Exit;
    return result;
  } catch (const CLI::CallForVersion&) {
    printLine(std::string("vantro-gateway ") + VANTRO_VERSION);
    result.kind = ParseResult::Kind::Exit;
    return result;
  } catch (const CLI::ParseError& e) {
    printLine(fmt::format("vantro-gateway: {}", e.what()));
    result.kind = ParseResult::Kind::Exit;
    result.exitCode = 2;
    return result;
  }
  if (o.firmwareDir.empty()) o.firmwareDir = o.statusDir + "/firmware";
  o.brokerPort = brokerPort.value_or(o.tls ? 8883 : 1883);
  try {
    checkTlsOptions(o);
    if (!o.passwordFile.empty()) {
      o.password = readPasswordFile(o.passwordFile);
    } else if (const char* env = std::getenv("VANTRO_MQTT_PASSWORD")) {
      o.password = env;
    } else {
      o.password = filePassword;
    }
  } catch (const std::exception& e) {
    printLine(fmt::format("vantro-gateway: {}", e.what()));
    result.kind = ParseResult::Kind::Exit;
    result.exitCode = 2;
  }
  return result;
}

}  // namespace vantro::daemon
