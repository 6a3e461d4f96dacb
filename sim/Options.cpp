#include "sim/Options.hpp"

#include <charconv>
#include <map>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

namespace sim {

namespace {

/// "a.b.c" (hardware revision) or "d.m.yyyy" (build date) into its numbers.
std::vector<unsigned> dottedNumbers(const std::string& text, std::size_t parts,
                                    const std::string& what) {
  std::vector<unsigned> out;
  const char* p = text.data();
  const char* end = p + text.size();
  while (true) {
    unsigned v = 0;
    auto [next, ec] = std::from_chars(p, end, v);
    if (ec != std::errc{} || next == p) break;
    out.push_back(v);
    p = next;
    if (p == end || *p != '.') break;
    ++p;
  }
  if (out.size() != parts || p != end)
    throw CLI::ValidationError(what,
                               fmt::format("'{}' is not {} dot-separated numbers", text, parts));
  return out;
}

Byte toByte(unsigned v, const std::string& what) {
  if (v > 255) throw CLI::ValidationError(what, fmt::format("{} does not fit in a byte", v));
  return static_cast<Byte>(v);
}

void finish(Options& o, const std::string& hwRev, const std::string& buildDate,
            const std::string& mix, bool onlySd, bool noPrompt) {
  const auto hw = dottedNumbers(hwRev, 3, "--hw-rev");
  o.identity.hwRev = {toByte(hw[0], "--hw-rev"), toByte(hw[1], "--hw-rev"),
                      toByte(hw[2], "--hw-rev")};
  const auto d = dottedNumbers(buildDate, 3, "--build-date");
  if (d[0] < 1 || d[0] > 31 || d[1] < 1 || d[1] > 12 || d[2] > 65535)
    throw CLI::ValidationError("--build-date",
                               fmt::format("'{}' is not a date d.m.yyyy", buildDate));
  o.identity.buildDay = static_cast<Byte>(d[0]);
  o.identity.buildMonth = static_cast<Byte>(d[1]);
  o.identity.buildYear = static_cast<std::uint16_t>(d[2]);
  if (o.identity.serialNumber.size() > kSerialNumberSize)
    throw CLI::ValidationError(
        "--serial-number", fmt::format("'{}' is longer than {} characters", o.identity.serialNumber,
                                       kSerialNumberSize));
  for (char c : o.identity.serialNumber)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
      throw CLI::ValidationError("--serial-number", "only printable ASCII is allowed");
  if (!mix.empty()) {
    try {
      o.traffic.mix = parseMix(mix);
    } catch (const std::invalid_argument& e) {
      throw CLI::ValidationError("--mix", e.what());
    }
  }
  if (onlySd) o.traffic.mix = Mix{1, 0, 0, 0, 0, 0};
  if (noPrompt) o.start = StartMode::Announce;
  o.traffic.dated = o.protocol == 2;
  if (o.protocol != 2 && (o.rtEvery > 0 || o.rtAfterTc))
    throw CLI::ValidationError("--send-rt-every/--rt-after-tc", "\"RT\" exists in protocol 2 only");
  if (o.replugAfter > 0 && o.hangupAfter <= 0)
    throw CLI::ValidationError("--replug-after", "needs --hangup-after");
}

}  // namespace

std::variant<Options, int> parseOptions(int argc, char** argv) {
  Options o;
  CLI::App app{"vantro-hat-sim: a simulated Duzediv Eri board on a pseudo-terminal"};
  std::string hwRev = "1.2.0";
  std::string buildDate = "15.3.2024";
  std::string mix;
  bool onlySd = false;
  bool noPrompt = false;
  unsigned protocol = o.protocol;
  unsigned boardType = o.identity.boardType;
  unsigned radioSettings = o.identity.radioSettings;

  app.add_option("--link", o.linkPath, "Make a symlink PATH to the pty (removed at exit)");
  app.add_option("--protocol", protocol, "Protocol version announced: 1 or 2")
      ->check(CLI::IsMember({1u, 2u}))
      ->capture_default_str();
  const std::map<std::string, StartMode> modes{{"prompt", StartMode::Prompt},
                                               {"announce", StartMode::Announce},
                                               {"running", StartMode::Running}};
  app.add_option("--start", o.start,
                 "Start-up: prompt (\"Press...\" until \"r\"), announce, running (silent)")
      ->transform(CLI::CheckedTransformer(modes, CLI::ignore_case));
  app.add_flag("--no-prompt,--announce-at-start", noPrompt, "Same as --start announce");

  auto* id = "Identity";
  app.add_option("--fw-revision", o.identity.fwRevision, "Firmware revision (32 bits)")
      ->group(id)
      ->capture_default_str();
  app.add_option("--uid", o.identity.uniqueId, "Unique ID of the gateway (32 bits)")
      ->group(id)
      ->capture_default_str();
  app.add_option("--board-type", boardType, "Board type byte (3: Orange Pi board)")
      ->check(CLI::Range(0u, 255u))
      ->group(id)
      ->capture_default_str();
  app.add_option("--hw-rev", hwRev, "Hardware revision a.b.c")->group(id)->capture_default_str();
  app.add_option("--build-date", buildDate, "Build date d.m.yyyy")
      ->group(id)
      ->capture_default_str();
  app.add_option("--radio-settings", radioSettings, "Bit 0: H/W radio, bit 1: 868 MHz")
      ->check(CLI::Range(0u, 255u))
      ->group(id)
      ->capture_default_str();
  app.add_option("--serial-number", o.identity.serialNumber, "Serial number (up to 12 ASCII)")
      ->group(id)
      ->capture_default_str();

  auto* tr = "Traffic";
  app.add_option("--nodes", o.traffic.nodes, "Simulated nodes (UID 1000+i, node id 10+i)")
      ->check(CLI::Range(1u, 245u))
      ->group(tr)
      ->capture_default_str();
  app.add_option("--rate", o.rate, "Records per second once woken by TC")
      ->check(CLI::Range(0.01, 1e6))
      ->group(tr)
      ->capture_default_str();
  app.add_flag("--flood", o.flood, "Send records as fast as the line takes them")->group(tr);
  app.add_option("--count", o.count, "Stop the traffic after N SD records (0: no limit)")
      ->group(tr);
  app.add_flag("--only-sd", onlySd, "Send SD records only (same as --mix sd=1)")->group(tr);
  app.add_option("--sequence-values", o.traffic.sequenceValues,
                 "Every node message is a distance reading carrying a number from FIRST on, one "
                 "more per SD (distance_mm low 16 bits, battery_mv high 16 bits)")
      ->check(CLI::Range(1u, 0xffffffffu))
      ->group(tr);
  app.add_option("--battery-every", o.traffic.batteryEvery,
                 "Every N-th message of each node is a battery message (two kinds per node)")
      ->check(CLI::Range(1u, 1000000u))
      ->group(tr);
  app.add_option("--mix", mix, "Weights, e.g. sd=80,si=5,sx=3,st=4,lg=4,sp=4 (the default)")
      ->group(tr);
  app.add_option("--seed", o.traffic.seed, "Seed of the traffic's choices")
      ->group(tr)
      ->capture_default_str();
  app.add_option("--tx-log", o.txLog, "Append \"seq uid monotonic_ns\" for each SD sent")
      ->group(tr);

  auto* cmd = "Commands";
  app.add_flag("--pm-silent", o.pmSilent, "Do not answer PM")->group(cmd);
  app.add_option("--fw-out", o.fwOut, "Write reassembled firmware to FILE (token to FILE.token)")
      ->group(cmd);
  app.add_option("--rx-log", o.rxLog, "Append every received byte to FILE")->group(cmd);
  app.add_flag("--verbose", o.verbose, "Log every firmware chunk too")->group(cmd);

  auto* tm = "Clock (protocol 2)";
  app.add_option("--send-rt-every", o.rtEvery, "Send RT every SECONDS once announced")
      ->check(CLI::Range(0.0, 1e6))
      ->group(tm);
  app.add_flag("--rt-after-tc", o.rtAfterTc, "Send RT once after each TC")->group(tm);
  app.add_option("--clock-offset", o.clockOffset, "Board clock minus host local time, seconds")
      ->group(tm);

  auto* ft = "Faults";
  app.add_option("--garbage-every", o.garbageEvery, "Garbage bytes after every N-th record")
      ->group(ft);
  app.add_option("--truncate-every", o.truncateEvery, "Cut every N-th record short")->group(ft);
  app.add_option("--reboot-after", o.rebootAfter, "Reboot after SECONDS (starts up again)")
      ->check(CLI::Range(0.0, 1e6))
      ->group(ft);
  app.add_option("--hangup-after", o.hangupAfter, "Close the line after SECONDS (unplugged)")
      ->check(CLI::Range(0.0, 1e6))
      ->group(ft);
  app.add_option("--replug-after", o.replugAfter, "After a hang-up, open a new pty after SECONDS")
      ->check(CLI::Range(0.0, 1e6))
      ->group(ft);

  try {
    app.parse(argc, argv);
    o.protocol = static_cast<Byte>(protocol);
    o.identity.boardType = static_cast<Byte>(boardType);
    o.identity.radioSettings = static_cast<Byte>(radioSettings);
    finish(o, hwRev, buildDate, mix, onlySd, noPrompt);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return o;
}

}  // namespace sim
