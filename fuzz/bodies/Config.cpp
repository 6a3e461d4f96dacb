// The daemon's configuration file: read and checked (readConfigFile), then
// applied to the daemon's own options through the command line parser
// (parseOptions with --config, which calls applyConfig).
#include <sys/stat.h>

#include "daemon/Config.hpp"
#include "daemon/Options.hpp"
#include "fuzz/Support.hpp"
#include "fuzz/Targets.hpp"

namespace vantro::fuzz {
namespace {

const ScratchDir& scratch() {
  static const ScratchDir* d = new ScratchDir;
  return *d;
}

}  // namespace

int fuzzConfig(const std::uint8_t* data, std::size_t size) {
  const std::string path = (scratch().path() / "gateway.conf").string();
  writeFile(path, ByteView(data, size));
  ::chmod(path.c_str(), 0600);  // a password in it is taken
  try {
    const daemon::ConfigFile file = daemon::readConfigFile(path, true);
    for (const daemon::ConfigEntry& e : file.entries) {
      // An empty key ("" = 1) is valid TOML: applyConfig refuses it as unknown.
      check(e.line >= 1, "an entry without its line");
      if (e.kind == daemon::ConfigEntry::Kind::Boolean) {
        check(e.value == "true" || e.value == "false", "a boolean that is neither: " + e.value);
      }
      if (e.kind == daemon::ConfigEntry::Kind::Integer) {
        check(!e.value.empty() && e.value.find_first_not_of("-0123456789") == std::string::npos,
              "an integer that is not decimal: " + e.value);
      }
      check(file.find(e.key) != nullptr, "find() misses key " + e.key);
    }
  } catch (const daemon::ConfigError&) {
  }
  const char* argv[] = {"vantro-gateway", "--config", path.c_str(), nullptr};
  const daemon::ParseResult r = daemon::parseOptions(3, const_cast<char**>(argv));
  if (r.kind == daemon::ParseResult::Kind::Run) {
    const daemon::Options& o = r.options;
    check(o.brokerPort >= 1 && o.brokerPort <= 65535, "broker port out of range");
    check(o.commandScope == "all" || o.commandScope == "own", "command scope " + o.commandScope);
    check(o.nodeId >= 0 && o.nodeId <= 255 && o.networkId >= 0 && o.networkId <= 255,
          "node or network id out of range");
    check(o.commandQueue >= 1, "command queue of 0");
    check(!o.firmwareDir.empty(), "no firmware folder");
  }
  return 0;
}

}  // namespace vantro::fuzz
