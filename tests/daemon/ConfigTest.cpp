// The configuration file: reading, checking, and its place under the command line.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/Config.hpp"
#include "daemon/Options.hpp"
#include "tests/support/PrintCapture.hpp"
#include "tests/support/SourceDir.hpp"
#include "tests/support/TempDir.hpp"

namespace vantro::daemon {
namespace {

using test::PrintCapture;
using test::TempDir;

std::string write(const TempDir& dir, const std::string& name, const std::string& text,
                  mode_t mode = 0600) {
  const std::string path = (dir / name).string();
  std::ofstream(path) << text;
  ::chmod(path.c_str(), mode);
  return path;
}

// Runs parseOptions on "vantro-gateway" followed by `args`.
ParseResult parse(std::vector<std::string> args) {
  args.insert(args.begin(), "vantro-gateway");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return parseOptions(static_cast<int>(args.size()), argv.data());
}

class ConfigOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* env = std::getenv("VANTRO_MQTT_PASSWORD")) savedEnv_ = env;
    ::unsetenv("VANTRO_MQTT_PASSWORD");
  }
  void TearDown() override {
    if (!savedEnv_.empty()) ::setenv("VANTRO_MQTT_PASSWORD", savedEnv_.c_str(), 1);
  }
  // Parses with --config FILE and expects exit status 2 and one printed line
  // holding every part in `parts`.
  void expectRefused(const std::string& text, const std::vector<std::string>& parts,
                     mode_t mode = 0600) {
    const std::string path = write(dir_, "gateway.conf", text, mode);
    PrintCapture out;
    const ParseResult r = parse({"--config", path});
    EXPECT_EQ(r.kind, ParseResult::Kind::Exit);
    EXPECT_EQ(r.exitCode, 2);
    ASSERT_EQ(out.lines().size(), 1u);
    for (const std::string& p : parts) EXPECT_NE(out.lines()[0].find(p), std::string::npos) << p;
  }

  TempDir dir_;
  std::string savedEnv_;
};

TEST(ConfigFileReading, MissingFileIsEmptyUnlessItMustExist) {
  TempDir dir;
  const std::string path = (dir / "absent.conf").string();
  const ConfigFile f = readConfigFile(path, false);
  EXPECT_TRUE(f.entries.empty());
  EXPECT_TRUE(f.path.empty());
  try {
    readConfigFile(path, true);
    FAIL() << "no error";
  } catch (const ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
  }
  EXPECT_THROW(readConfigFile(dir.str(), false), ConfigError);  // a directory
}

TEST(ConfigFileReading, EntriesKeepTheirKindLineAndFileOrder) {
  TempDir dir;
  const std::string path = write(dir, "g.conf",
                                 "# comment\n"
                                 "serial-device = \"/dev/ttyAMA0\"\n"
                                 "\n"
                                 "broker-port = 8883\n"
                                 "no-hat-reset = true\n"
                                 "broker = 'mqtt.lan'\n",
                                 0644);
  const ConfigFile f = readConfigFile(path, true);
  EXPECT_TRUE(f.readableByOthers);
  ASSERT_EQ(f.entries.size(), 4u);
  EXPECT_EQ(f.entries[0].key, "serial-device");
  EXPECT_EQ(f.entries[0].value, "/dev/ttyAMA0");
  EXPECT_EQ(f.entries[0].line, 2u);
  EXPECT_EQ(f.entries[1].kind, ConfigEntry::Kind::Integer);
  EXPECT_EQ(f.entries[1].value, "8883");
  EXPECT_EQ(f.entries[1].line, 4u);
  EXPECT_EQ(f.entries[2].kind, ConfigEntry::Kind::Boolean);
  EXPECT_EQ(f.entries[2].value, "true");
  EXPECT_EQ(f.entries[3].key, "broker");
  EXPECT_EQ(f.entries[3].line, 6u);
}

TEST(ConfigFileReading, ConfigPathComesFromEitherSpellingBeforeTheEndOfOptions) {
  const char* a[] = {"x", "--broker", "b", "--config", "/a.conf", "--config=/b.conf"};
  EXPECT_EQ(configPathFromArgs(6, a), "/b.conf");
  const char* b[] = {"x", "--config", "/a.conf", "--", "--config=/b.conf"};
  EXPECT_EQ(configPathFromArgs(5, b), "/a.conf");
  const char* c[] = {"x", "--configure", "--config"};
  EXPECT_EQ(configPathFromArgs(3, c), std::nullopt);
}

TEST_F(ConfigOptions, FileSetsOptionsAndTheCommandLineOverridesThem) {
  const std::string path = write(dir_, "g.conf",
                                 "serial-device = \"/dev/serial0\"\n"
                                 "broker = \"mqtt.lan\"\n"
                                 "broker-port = 8883\n"
                                 "node-id = 7\n"
                                 "reset-line = 17\n"
                                 "gpio-chip = \"gpiochip4\"\n"
                                 "no-hat-reset = true\n"
                                 "status-dir = \"/srv/gw\"\n");
  const ParseResult r = parse({"--config", path, "--broker-port", "1884"});
  ASSERT_EQ(r.kind, ParseResult::Kind::Run);
  const Options& o = r.options;
  EXPECT_EQ(o.serialDevice, "/dev/serial0");  // the required option comes from the file
  EXPECT_EQ(o.broker, "mqtt.lan");
  EXPECT_EQ(o.brokerPort, 1884);
  EXPECT_EQ(o.nodeId, 7);
  EXPECT_EQ(o.resetLine, 17u);
  EXPECT_EQ(o.gpioChip, "gpiochip4");
  EXPECT_TRUE(o.noHatReset);
  EXPECT_EQ(o.statusDir, "/srv/gw");
  EXPECT_EQ(o.firmwareDir, "/srv/gw/firmware");

  const ParseResult r2 = parse({"--config=" + path, "--serial-device", "/dev/ttyUSB0"});
  ASSERT_EQ(r2.kind, ParseResult::Kind::Run);
  EXPECT_EQ(r2.options.serialDevice, "/dev/ttyUSB0");
  EXPECT_EQ(r2.options.brokerPort, 8883);
}

TEST_F(ConfigOptions, SerialDeviceIsStillRequiredWhenTheFileLacksIt) {
  const std::string path = write(dir_, "g.conf", "broker = \"b\"\n");
  PrintCapture out;
  const ParseResult r = parse({"--config", path});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(out.containsPart("--serial-device"));
}

TEST_F(ConfigOptions, MissingFileNamedOnTheCommandLineStopsTheStart) {
  PrintCapture out;
  const ParseResult r = parse({"--config", (dir_ / "nope.conf").string(), "--serial-device", "x"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(out.containsPart("nope.conf"));
}

TEST_F(ConfigOptions, BadFilesNameTheFileTheLineAndTheKey) {
  expectRefused("broker = \"b\"\nserial-devise = \"/dev/x\"\n",
                {"gateway.conf:2:", "serial-devise", "unknown key"});
  expectRefused("serial-device = \"/dev/x\"\n\nserial-speed = 10\n",
                {"gateway.conf:3:", "serial-speed"});
  expectRefused("broker-port = \"http\"\n", {"gateway.conf:1:", "broker-port"});
  expectRefused("node-id = 300\n", {"gateway.conf:1:", "node-id"});
  expectRefused("no-hat-reset = \"yes\"\n", {"gateway.conf:1:", "no-hat-reset", "true or false"});
  expectRefused("broker = true\n", {"gateway.conf:1:", "broker"});
  expectRefused("broker-port = 1.5\n", {"gateway.conf:1:", "broker-port", "floating"});
  expectRefused("\n[mqtt]\nbroker = \"b\"\n", {"gateway.conf:2:", "mqtt", "table"});
  expectRefused("password-file = \"/nonexistent/pw\"\n", {"gateway.conf:1:", "password-file"});
  expectRefused("config = \"/etc/other.conf\"\n", {"gateway.conf:1:", "config", "unknown key"});
  expectRefused("broker = \"a\"\nbroker = \"b\"\n", {"gateway.conf:2:"});  // duplicate key
  expectRefused("serial-device = \"/dev/x\n", {"gateway.conf:1:"});        // syntax
}

TEST_F(ConfigOptions, PasswordInTheFileOnlyWhenOthersCannotReadIt) {
  const std::string text = "serial-device = \"/dev/x\"\npassword = \"s3cret\"\n";
  const std::string path = write(dir_, "g.conf", text, 0640);
  const ParseResult r = parse({"--config", path});
  ASSERT_EQ(r.kind, ParseResult::Kind::Run);
  EXPECT_EQ(r.options.password, "s3cret");

  expectRefused(text, {"gateway.conf:2:", "password", "readable by others", "chmod o-r"}, 0644);
  expectRefused("password = \"a\"\npassword-file = \"/etc/hostname\"\n",
                {"password-file", "keep one"});
}

TEST_F(ConfigOptions, PasswordFileAndEnvironmentOverrideTheFilePassword) {
  const std::string path =
      write(dir_, "g.conf", "serial-device = \"/dev/x\"\npassword = \"fromfile\"\n");
  const std::string pw = write(dir_, "pw", "fromfile2\n");
  ParseResult r = parse({"--config", path, "--password-file", pw});
  EXPECT_EQ(r.options.password, "fromfile2");
  ::setenv("VANTRO_MQTT_PASSWORD", "fromenv", 1);
  r = parse({"--config", path});
  ::unsetenv("VANTRO_MQTT_PASSWORD");
  EXPECT_EQ(r.options.password, "fromenv");
}

TEST_F(ConfigOptions, TlsMovesTheDefaultPortAndItsOptionsAreRefusedWithoutIt) {
  const std::string path = write(dir_, "g.conf",
                                 "serial-device = \"/dev/x\"\ntls = true\nca-file = \"/ca.pem\"\n"
                                 "client-id = \"gw-7\"\ncommand-scope = \"own\"\n");
  ParseResult r = parse({"--config", path});
  ASSERT_EQ(r.kind, ParseResult::Kind::Run);
  EXPECT_EQ(r.options.brokerPort, 8883);
  EXPECT_EQ(r.options.caFile, "/ca.pem");
  EXPECT_EQ(r.options.clientId, "gw-7");
  EXPECT_EQ(r.options.commandScope, "own");
  EXPECT_EQ(parse({"--config", path, "--broker-port", "1883"}).options.brokerPort, 1883);

  const std::string device = "serial-device = \"/dev/x\"\n";
  expectRefused(device + "ca-file = \"/ca.pem\"\n", {"--ca-file needs --tls"});
  expectRefused(device + "tls-insecure = true\n", {"--tls-insecure needs --tls"});
  expectRefused(device + "tls = true\nkey-file = \"/k.pem\"\n",
                {"--cert-file and --key-file go together"});
  expectRefused(device + "command-scope = \"mine\"\n", {"command-scope", "mine"});
}

// The package installs packaging/gateway.conf as /etc/vantro/gateway.conf.
TEST_F(ConfigOptions, ShippedDefaultConfigurationIsAccepted) {
  const std::string path = (vantro::test::sourceDir() / "packaging" / "gateway.conf").string();
  const ConfigFile f = readConfigFile(path, true);
  EXPECT_FALSE(f.find("password"));
  const ParseResult r = parse({"--config", path});
  ASSERT_EQ(r.kind, ParseResult::Kind::Run);
  EXPECT_EQ(r.options.serialDevice, "/dev/serial0");
  EXPECT_EQ(r.options.statusDir, "/var/telvari-gateway");
}

TEST_F(ConfigOptions, OperationsKeysTurnThingsOffAndRefuseBadValues) {
  const ParseResult defaults = parse({"--serial-device", "/dev/x"});
  EXPECT_EQ(defaults.options.healthInterval, 60u);
  EXPECT_EQ(defaults.options.nodeTimeout, 90000u);
  EXPECT_TRUE(defaults.options.haDiscovery);
  EXPECT_EQ(defaults.options.haPrefix, "homeassistant");

  const std::string device = "serial-device = \"/dev/x\"\n";
  const std::string path = write(dir_, "g.conf",
                                 device +
                                     "health-interval = 0\nnode-timeout = 0\n"
                                     "ha-discovery = false\nha-prefix = \"site/ha\"\n");
  const ParseResult r = parse({"--config", path});
  ASSERT_EQ(r.kind, ParseResult::Kind::Run);
  EXPECT_EQ(r.options.healthInterval, 0u);
  EXPECT_EQ(r.options.nodeTimeout, 0u);
  EXPECT_FALSE(r.options.haDiscovery);
  EXPECT_EQ(r.options.haPrefix, "site/ha");
  EXPECT_TRUE(parse({"--config", path, "--ha-discovery"}).options.haDiscovery);

  expectRefused(device + "ha-prefix = \"ha/#\"\n", {"ha-prefix", "without wildcards"});
  expectRefused(device + "ha-prefix = \"/ha\"\n", {"ha-prefix"});
  expectRefused(device + "node-timeout = -1\n", {"node-timeout"});
  expectRefused(device + "health-interval = 86401\n", {"health-interval"});
}

}  // namespace
}  // namespace vantro::daemon
