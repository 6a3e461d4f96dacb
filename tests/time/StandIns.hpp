#pragma once
// Stand-in commands for the time syncer's external commands. While a StandIns
// lives, PATH holds only its bin directory, so a command that has no stand-in
// is "not found" and the host's own ntpstat and date are never run. The
// scripts use shell built-ins and absolute paths only.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/TempDir.hpp"

namespace vantro::test {

class StandIns {
 public:
  StandIns() {
    std::filesystem::create_directory(bin());
    if (const char* p = std::getenv("PATH")) savedPath_ = p;
    ::setenv("PATH", bin().c_str(), 1);
  }
  ~StandIns() {
    if (savedPath_) {
      ::setenv("PATH", savedPath_->c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
  }
  StandIns(const StandIns&) = delete;
  StandIns& operator=(const StandIns&) = delete;

  std::filesystem::path bin() const { return dir_ / "bin"; }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }

  /// Writes an executable /bin/sh script `name` into the bin directory.
  void install(const std::string& name, const std::string& body) const {
    const auto path = bin() / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
  }

  /// A command that appends its argument count and arguments (one a line) to
  /// <name>.args and exits with the status in <name>.status.
  void installRecorder(const std::string& name, int status) const {
    setStatus(name, status);
    install(name, "printf '%s\\n' \"$#\" \"$@\" >> '" + file(name + ".args") +
                      "'\nread status < '" + file(name + ".status") + "'\nexit \"$status\"");
  }
  void setStatus(const std::string& name, int status) const {
    write(name + ".status", std::to_string(status) + "\n");
  }
  /// A command that writes its pid to <name>.pid and then sleeps far beyond any
  /// time-out.
  void installHanging(const std::string& name) const {
    install(name, "echo $$ > '" + file(name + ".pid") + "'\nexec /bin/sleep 30");
  }

  void write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ / name) << text;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(dir_ / name);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  TempDir dir_;
  std::optional<std::string> savedPath_;
};

}  // namespace vantro::test
