#pragma once
// The daemon's configuration file: a TOML file of top-level keys named like the
// long command-line options without their dashes ("serial-device = ..."). The
// file sets the options first; the command line overrides it.
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace vantro::daemon {

/// Read when --config does not name another file. A missing default file
/// means no settings.
inline constexpr const char* kDefaultConfigFile = "/etc/vantro/gateway.conf";

/// A configuration file that cannot be used: the message names the file and,
/// where there is one, the line and the key.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// One setting of the file, as read.
struct ConfigEntry {
  enum class Kind { Text, Integer, Boolean };
  std::string key;
  Kind kind = Kind::Text;
  std::string value;  // the text, the integer in decimal, or "true"/"false"
  std::size_t line = 0;
};

struct ConfigFile {
  std::string path;  // empty when no file was read
  bool readableByOthers = false;
  std::vector<ConfigEntry> entries;  // in the order of the file

  const ConfigEntry* find(std::string_view key) const;
};

/// Reads and checks the TOML syntax of a configuration file. A file that does
/// not exist gives an empty ConfigFile unless `mustExist`. Throws ConfigError
/// for a missing file that must exist, an unreadable file, a syntax error
/// (with its line) and a value that is not a text, an integer or a boolean
/// (tables, arrays, floats and dates name their line and key).
ConfigFile readConfigFile(const std::string& path, bool mustExist);

/// The file named with "--config FILE" or "--config=FILE" on the command line
/// (the last one wins; arguments after "--" are not options).
std::optional<std::string> configPathFromArgs(int argc, const char* const* argv);

/// Sets the options of `app` from the file, through each option's own
/// validators and conversion, as if it had been given on the command line; a
/// later app.parse() overrides them. A required option set by the file is no
/// longer required on the command line. The key "password" exists only in the
/// file and lands in `password`; it is refused when the file is readable by
/// others. Throws ConfigError naming the file, the line and the key for an
/// unknown key, a bad value, or both "password" and "password-file".
void applyConfig(CLI::App& app, const ConfigFile& file, std::string& password);

}  // namespace vantro::daemon
