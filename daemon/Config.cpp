#include "daemon/Config.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fmt/format.h>
#include <toml++/toml.h>
#include <CLI/CLI.hpp>

namespace vantro::daemon {
namespace {

// Options that make no sense in the file itself.
constexpr std::string_view kNotInFile[] = {"config", "help", "version"};

std::string_view typeName(toml::node_type t) {
  switch (t) {
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::floating_point:
      return "a floating-point number";
    case toml::node_type::date:
    case toml::node_type::time:
    case toml::node_type::date_time:
      return "a date or time";
    default:
      return "an unsupported value";
  }
}

std::string where(const ConfigFile& file, const ConfigEntry& e) {
  return fmt::format("{}:{}: key '{}'", file.path, e.line, e.key);
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw ConfigError(
        fmt::format("cannot read configuration file {}: {}", path, std::strerror(errno)));
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

const ConfigEntry* ConfigFile::find(std::string_view key) const {
  for (const ConfigEntry& e : entries) {
    if (e.key == key) return &e;
  }
  return nullptr;
}

ConfigFile readConfigFile(const std::string& path, bool mustExist) {
  ConfigFile file;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT && !mustExist) return file;
    throw ConfigError(
        fmt::format("cannot read configuration file {}: {}", path, std::strerror(err)));
  }
  if (S_ISDIR(st.st_mode)) {
    throw ConfigError(fmt::format("configuration file {} is a directory", path));
  }
  file.path = path;
  file.readableByOthers = (st.st_mode & S_IROTH) != 0;
  const std::string text = readWhole(path);

  toml::table table;
  try {
    table = toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    throw ConfigError(fmt::format("{}:{}: {}", path, e.source().begin.line, e.description()));
  }
  for (auto&& [key, node] : table) {
    ConfigEntry e;
    e.key = std::string(key.str());
    e.line = node.source().begin.line;
    if (e.line == 0) e.line = key.source().begin.line;
    if (const auto* s = node.as_string()) {
      e.kind = ConfigEntry::Kind::Text;
      e.value = s->get();
    } else if (const auto* i = node.as_integer()) {
      e.kind = ConfigEntry::Kind::Integer;
      e.value = std::to_string(i->get());
    } else if (const auto* b = node.as_boolean()) {
      e.kind = ConfigEntry::Kind::Boolean;
      e.value = b->get() ? "true" : "false";
    } else {
      throw ConfigError(
          fmt::format("{}:{}: key '{}': {} is not allowed here (the file holds only "
                      "top-level keys with a text, a number or true/false)",
                      path, e.line, e.key, typeName(node.type())));
    }
    file.entries.push_back(std::move(e));
  }
  // A table iterates in key order; report and apply in the order of the file.
  std::stable_sort(file.entries.begin(), file.entries.end(),
                   [](const ConfigEntry& a, const ConfigEntry& b) { return a.line < b.line; });
  return file;
}

std::optional<std::string> configPathFromArgs(int argc, const char* const* argv) {
  std::optional<std::string> path;
  constexpr std::string_view kOption = "--config";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == kOption) {
      if (i + 1 < argc) path = argv[++i];
    } else if (arg.starts_with(kOption) && arg.size() > kOption.size() &&
               arg[kOption.size()] == '=') {
      path = std::string(arg.substr(kOption.size() + 1));
    }
  }
  return path;
}

void applyConfig(CLI::App& app, const ConfigFile& file, std::string& password) {
  const ConfigEntry* passwordEntry = file.find("password");
  if (passwordEntry) {
    if (file.find("password-file")) {
      throw ConfigError(fmt::format("{}: sets both 'password' and 'password-file'; keep one",
                                    where(file, *passwordEntry)));
    }
    if (file.readableByOthers) {
      throw ConfigError(fmt::format(
          "{}: the file is readable by others, so it must not hold the MQTT password; run "
          "\"chmod o-r {}\" or use password-file",
          where(file, *passwordEntry), file.path));
    }
    if (passwordEntry->kind != ConfigEntry::Kind::Text) {
      throw ConfigError(fmt::format("{}: expected a text in quotes", where(file, *passwordEntry)));
    }
  }
  for (const ConfigEntry& e : file.entries) {
    if (&e == passwordEntry) {
      password = e.value;
      continue;
    }
    CLI::Option* opt = nullptr;
    if (std::find(std::begin(kNotInFile), std::end(kNotInFile), e.key) == std::end(kNotInFile)) {
      opt = app.get_option_no_throw("--" + e.key);
    }
    if (!opt) throw ConfigError(fmt::format("{}: unknown key", where(file, e)));
    const bool isFlag = opt->get_expected_min() == 0;
    if (isFlag && e.kind != ConfigEntry::Kind::Boolean) {
      throw ConfigError(fmt::format("{}: expected true or false, got {}", where(file, e), e.value));
    }
    if (!isFlag && e.kind == ConfigEntry::Kind::Boolean) {
      throw ConfigError(fmt::format("{}: expected a value, got {}", where(file, e), e.value));
    }
    try {
      opt->add_result(e.value);
      opt->run_callback();
    } catch (const CLI::Error& err) {
      opt->clear();
      throw ConfigError(fmt::format("{}: {}", where(file, e), err.what()));
    }
    // The variable keeps the value; the results go so that the command line
    // starts afresh and may set the option once more.
    opt->clear();
    if (opt->get_required()) opt->required(false);
  }
}

}  // namespace vantro::daemon
