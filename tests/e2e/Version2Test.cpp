// Protocol version 2 end to end: the simulated board dates its records from a
// clock of its own, the gateway publishes those dates, pushes the host's date
// to the board while NTP says the host clock is good, and sets the host clock
// from the board's "RT" records. `ntpstat` and `date` are stand-in scripts on
// the gateway's PATH (the only entry there), so the real clock is never set.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/e2e/Rig.hpp"

using namespace std::chrono_literals;
using vantro::test::Rig;

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kBoardOffsetMs = -3'600'000;  // the board's clock runs an hour behind
constexpr std::int64_t kToleranceMs = 3000;
const std::string kBoardOffset = "--clock-offset=-3600";
const std::vector<std::string> kBoardEnv{"TZ=UTC"};

std::int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t utcMs(int y, unsigned mo, unsigned d, int h, int mi, int s, int micros) {
  using namespace std::chrono;
  const sys_days day = year(y) / month(mo) / std::chrono::day(d);
  return duration_cast<milliseconds>(day.time_since_epoch() + hours(h) + minutes(mi) + seconds(s) +
                                     microseconds(micros))
      .count();
}

// "2026-12-07 12:34:56[.789000]" or the same with 'T' between date and time,
// taken as UTC; nothing when the text has another form.
std::optional<std::int64_t> parseDateTime(const std::string& text, char separator) {
  static const std::regex iso(R"((\d{4})-(\d\d)-(\d\d)(.)(\d\d):(\d\d):(\d\d)(?:\.(\d{6}))?)");
  std::smatch m;
  if (!std::regex_match(text, m, iso) || m[4].str() != std::string(1, separator)) return {};
  return utcMs(std::stoi(m[1]), static_cast<unsigned>(std::stoi(m[2])),
               static_cast<unsigned>(std::stoi(m[3])), std::stoi(m[5]), std::stoi(m[6]),
               std::stoi(m[7]), m[8].matched ? std::stoi(m[8]) : 0);
}

// The stand-in `ntpstat` exits with the status in a file the test writes; the
// stand-in `date` appends its arguments (tab-separated, one call a line) to a
// file and exits 0. Both are reachable by the daemon's unprivileged user.
class StandIns {
 public:
  StandIns(const fs::path& root, int ntpStatus)
      : bin_(root / "standin-bin"),
        ntpStatus_(root / "ntp-status"),
        dateCalls_(root / "date-calls") {
    fs::create_directories(bin_);
    fs::permissions(bin_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    setNtpStatus(ntpStatus);
    std::ofstream(dateCalls_).flush();
    fs::permissions(dateCalls_, fs::perms::owner_read | fs::perms::owner_write |
                                    fs::perms::group_read | fs::perms::group_write |
                                    fs::perms::others_read | fs::perms::others_write);
    // Only shell built-ins: PATH holds nothing else.
    script("ntpstat", "read status < '" + ntpStatus_.string() + "'\nexit \"$status\"\n");
    script("date", "for a in \"$@\"; do printf '%s\\t' \"$a\"; done >> '" + dateCalls_.string() +
                       "'\necho >> '" + dateCalls_.string() + "'\nexit 0\n");
  }

  void setNtpStatus(int status) {
    std::ofstream(ntpStatus_) << status << "\n";
    fs::permissions(ntpStatus_, fs::perms::owner_read | fs::perms::owner_write |
                                    fs::perms::group_read | fs::perms::others_read);
  }

  /// No ntpstat at all, as on a host that lacks it.
  void removeNtpstat() { fs::remove(bin_ / "ntpstat"); }
  /// An ntpstat that never ends by itself.
  void hangNtpstat() { script("ntpstat", "exec /bin/sleep 30\n"); }

  std::string pathEnv() const { return "PATH=" + bin_.string(); }

  /// The arguments of every call of the stand-in `date` so far.
  std::vector<std::vector<std::string>> dateCalls() const {
    std::ifstream in(dateCalls_);
    std::vector<std::vector<std::string>> calls;
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> args;
      std::stringstream ss(line);
      for (std::string a; std::getline(ss, a, '\t');) args.push_back(a);
      calls.push_back(args);
    }
    return calls;
  }

 private:
  void script(const std::string& name, const std::string& body) {
    const fs::path p = bin_ / name;
    std::ofstream(p) << "#!/bin/sh\n" << body;
    fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  }

  fs::path bin_, ntpStatus_, dateCalls_;
};

std::string context(Rig& rig) {
  return "--- gateway ---\n" + rig.gateway().output() + "--- board ---\n" + rig.board().output();
}

std::vector<int> indicesOf(const std::vector<std::string>& lines, const std::regex& re) {
  std::vector<int> out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (std::regex_match(lines[i], re)) out.push_back(static_cast<int>(i));
  }
  return out;
}

std::vector<int> indicesOf(const std::vector<std::string>& lines, const std::string& line) {
  std::vector<int> out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == line) out.push_back(static_cast<int>(i));
  }
  return out;
}

// Waits until `done` holds, at most `timeout`.
template <class F>
bool eventually(F done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// A set-time frame as the board received it.
struct SetTimeFrame {
  int weekday, day, month, year, hour, minute, second;
  std::int64_t ms() const {
    return utcMs(year, static_cast<unsigned>(month), static_cast<unsigned>(day), hour, minute,
                 second, 0);
  }
};

// Every "ST" frame in what the board received. The rest of that traffic (the
// prompt answer, "LS" for node 1 network 100, "TC", "SC") holds no "ST".
std::vector<SetTimeFrame> setTimeFrames(const std::string& rx) {
  std::vector<SetTimeFrame> frames;
  for (auto pos = rx.find("ST"); pos != std::string::npos; pos = rx.find("ST", pos + 2)) {
    if (pos + 9 > rx.size()) {
      ADD_FAILURE() << "a partial ST frame at the end of the board's input";
      break;
    }
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(rx[pos + 2 + i]); };
    frames.push_back({b(0), b(1), b(2), 2000 + b(3), b(4), b(5), b(6)});
  }
  return frames;
}

void expectHostTime(const SetTimeFrame& f, std::int64_t fromMs, std::int64_t toMs) {
  using namespace std::chrono;
  // The fraction of the second is dropped, so the frame may read up to a
  // second before the moment it was written.
  EXPECT_GE(f.ms(), fromMs - 2000);
  EXPECT_LE(f.ms(), toMs + 1000);
  const sys_days date =
      year(f.year) / month(static_cast<unsigned>(f.month)) / day(static_cast<unsigned>(f.day));
  EXPECT_EQ(f.weekday, static_cast<int>(weekday(date).iso_encoding()));
}

TEST(Version2, BoardDatesArePublishedAndAnUnsynchronisedHostLeavesTheBoardClockAlone) {
  Rig rig;
  StandIns tools(rig.dir().path(), 1);
  rig.startSubscriber("sensor/#");
  const std::int64_t start = nowMs();
  rig.startBoard({"--protocol", "2", "--rate", "40", "--mix", "sd=4,si=2,sx=2", kBoardOffset,
                  "--send-rt-every", "0.2"},
                 kBoardEnv);
  rig.startGateway({}, {"TZ=UTC", tools.pathEnv()});
  auto& gw = rig.gateway();
  const int wake = gw.waitForLine("Waking Duzediv Eri up", 15s);
  ASSERT_GE(wake, 0) << context(rig);
  const int ntp = gw.waitForLine("NTP synchronized: False", 1s);
  const int request = gw.waitForLine("Empty RX date (Request Date) implementation", 1s);
  ASSERT_GE(ntp, 0) << context(rig);
  EXPECT_LT(ntp, request);
  EXPECT_LT(request, wake) << "the first cycle runs before the wake-up";

  static const std::regex duplicate(R"(Sender \d+: Duplicate msg \t RSSI: -\d+ )");
  static const std::regex decryptFailed(
      R"(TX \d+ -> RX 1: Decrypt Failed\. \[[0-9, ]*\] Connection index: \d+ \t RSSI: -\d+\t (.*))");
  ASSERT_TRUE(eventually(
      [&] {
        const auto lines = gw.lines();
        return indicesOf(lines, duplicate).size() >= 3 &&
               indicesOf(lines, decryptFailed).size() >= 3 && rig.readings().size() >= 5;
      },
      10s))
      << context(rig);
  // Unsynchronised, the syncer backs off: the next cycle comes 5 seconds later.
  EXPECT_GE(gw.waitForLine("Empty RX date (Request Date) implementation", 8s, request + 1), 0)
      << context(rig);

  gw.signal(SIGTERM);
  ASSERT_EQ(gw.wait(15s), 0) << context(rig);
  const std::int64_t end = nowMs();
  const auto lines = gw.lines();

  // Every reading published once, a duplicate not at all.
  static const std::regex published(
      R"(Sender \d+: (?!Duplicate msg|Could not parse)[a-z]+ .* \t RSSI: -\d+)");
  const std::size_t publishedCount = indicesOf(lines, published).size();
  EXPECT_TRUE(eventually([&] { return rig.readings().size() >= publishedCount; }, 5s));
  std::this_thread::sleep_for(200ms);
  const auto messages = rig.readings();
  EXPECT_EQ(messages.size(), publishedCount) << context(rig);

  // "ts" is the board's reception time: its fields taken as UTC.
  for (const auto& m : messages) {
    const auto json = nlohmann::json::parse(m.substr(m.find(' ') + 1));
    const auto ts = json.at("ts").get<std::int64_t>();
    EXPECT_GE(ts, start + kBoardOffsetMs - kToleranceMs) << m;
    EXPECT_LE(ts, end + kBoardOffsetMs + kToleranceMs) << m;
  }
  for (const auto& l : lines) {
    std::smatch sm;
    if (!std::regex_match(l, sm, decryptFailed)) continue;
    const auto when = parseDateTime(sm[1], ' ');
    ASSERT_TRUE(when.has_value()) << l;
    EXPECT_GE(*when, start + kBoardOffsetMs - kToleranceMs) << l;
    EXPECT_LE(*when, end + kBoardOffsetMs + kToleranceMs) << l;
  }

  // No set-time command while the host clock is not trusted.
  EXPECT_EQ(rig.boardRx().find("ST"), std::string::npos);
  EXPECT_LT(rig.board().waitForPart("CLOCK SET", 0ms), 0);

  // "RT" sets the host clock only once the syncer exists, i.e. after the set-up.
  const auto setLines = indicesOf(lines, "System time has been set successfully.");
  ASSERT_FALSE(setLines.empty()) << context(rig);
  EXPECT_GT(setLines.front(), wake);
  const auto calls = tools.dateCalls();
  ASSERT_EQ(calls.size(), setLines.size());
  for (const auto& args : calls) {
    ASSERT_EQ(args.size(), 2u);
    EXPECT_EQ(args[0], "-s");
    const auto when = parseDateTime(args[1], 'T');
    ASSERT_TRUE(when.has_value()) << args[1];
    EXPECT_GE(*when, start + kBoardOffsetMs - kToleranceMs) << args[1];
    EXPECT_LE(*when, end + kBoardOffsetMs + kToleranceMs) << args[1];
  }
}

TEST(Version2, SynchronisedHostSetsTheBoardClockAndKeepsItsOwnAlsoAfterARestart) {
  Rig rig;
  StandIns tools(rig.dir().path(), 0);
  rig.startBoard({"--protocol", "2", "--rate", "5", kBoardOffset, "--rt-after-tc"}, kBoardEnv);
  const std::int64_t start = nowMs();
  rig.startGateway({}, {"TZ=UTC", tools.pathEnv()});
  auto& gw = rig.gateway();
  auto& board = rig.board();
  const int wake = gw.waitForLine("Waking Duzediv Eri up", 15s);
  ASSERT_GE(wake, 0) << context(rig);
  const int ntp = gw.waitForLine("NTP synchronized: True", 1s);
  ASSERT_GE(ntp, 0) << context(rig);
  EXPECT_LT(ntp, wake);
  ASSERT_GE(board.waitForPart("CLOCK SET ", 5s), 0) << context(rig);
  const std::int64_t clockSet = nowMs();

  std::string rx = rig.boardRx();
  auto frames = setTimeFrames(rx);
  ASSERT_EQ(frames.size(), 1u) << context(rig);
  EXPECT_LT(rx.find("ST"), rx.find("TC")) << "the date goes before the wake-up";
  expectHostTime(frames[0], start, clockSet);

  // The "RT" after the wake-up carries the board clock the gateway just set;
  // a host with NTP time of its own keeps its clock.
  static const std::regex refused(
      R"(Host clock not set from the board's date (\S+): the host clock is NTP-synchronised)");
  const int set = gw.waitForPart("Host clock not set from the board's date ", 5s, wake);
  ASSERT_GE(set, 0) << context(rig);
  std::smatch m;
  const std::string refusal = gw.lines()[static_cast<std::size_t>(set)];
  ASSERT_TRUE(std::regex_match(refusal, m, refused)) << refusal;
  const auto when = parseDateTime(m[1], 'T');
  ASSERT_TRUE(when.has_value()) << refusal;
  EXPECT_GE(*when, start - kToleranceMs) << refusal;
  EXPECT_LE(*when, nowMs() + kToleranceMs) << refusal;
  EXPECT_TRUE(tools.dateCalls().empty());

  // A restart starts the time keeping afresh: a new NTP check and a new date.
  gw.signal(SIGHUP);
  const int restart = gw.waitForLine("Received restart signal...", 5s);
  ASSERT_GE(restart, 0) << context(rig);
  const std::int64_t restartAt = nowMs();
  EXPECT_GE(gw.waitForLine("NTP synchronized: True", 10s, restart), 0) << context(rig);
  const int firstSet = board.waitForPart("CLOCK SET ", 0ms);
  ASSERT_GE(board.waitForPart("CLOCK SET ", 10s, firstSet + 1), 0) << context(rig);
  const std::int64_t secondSet = nowMs();
  ASSERT_TRUE(eventually([&] { return setTimeFrames(rig.boardRx()).size() == 2; }, 2s))
      << context(rig);
  frames = setTimeFrames(rig.boardRx());
  expectHostTime(frames[1], restartAt, secondSet);
  const int wakeAgain = gw.waitForLine("Waking Duzediv Eri up", 10s, restart);
  ASSERT_GE(wakeAgain, 0) << context(rig);
  EXPECT_GE(gw.waitForPart("Host clock not set from the board's date ", 5s, wakeAgain), 0)
      << context(rig);
  EXPECT_TRUE(tools.dateCalls().empty());
  EXPECT_LT(board.waitForPart("ST weekday", 0ms), 0) << context(rig);

  gw.signal(SIGTERM);
  EXPECT_EQ(gw.wait(15s), 0) << context(rig);
}

TEST(Version2, BoardIsWokenAndReadingsFlowWithoutAWorkingNtpstat) {
  for (const std::string variant : {"missing", "hanging"}) {
    SCOPED_TRACE("ntpstat " + variant);
    Rig rig;
    StandIns tools(rig.dir().path(), 0);
    if (variant == "missing") {
      tools.removeNtpstat();
    } else {
      tools.hangNtpstat();
    }
    rig.startSubscriber("sensor/#");
    rig.startBoard({"--protocol", "2", "--rate", "20", "--only-sd", kBoardOffset}, kBoardEnv);
    rig.startGateway({}, {"TZ=UTC", tools.pathEnv()});
    auto& gw = rig.gateway();
    const int unknown = gw.waitForPart("NTP status unknown (", 15s);
    ASSERT_GE(unknown, 0) << context(rig);
    EXPECT_NE(gw.lines()[static_cast<std::size_t>(unknown)].find(
                  variant == "missing" ? "could not start command 'ntpstat'"
                                       : "command 'ntpstat' did not end within 1 seconds"),
              std::string::npos)
        << context(rig);
    const int wake = gw.waitForLine("Waking Duzediv Eri up", 5s, unknown);
    ASSERT_GE(wake, 0) << context(rig);
    ASSERT_GE(gw.waitForPart("Sender ", 5s, wake), 0) << context(rig);
    EXPECT_TRUE(eventually([&] { return rig.readings().size() >= 20; }, 10s)) << context(rig);
    // The next cycle of the back-off comes 5 s after the first, failing alike.
    EXPECT_GE(gw.waitForPart("NTP status unknown (", 10s, unknown + 1), 0) << context(rig);
    EXPECT_EQ(rig.boardRx().find("ST"), std::string::npos) << "no date without NTP";
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.wait(15s), 0) << context(rig);
  }
}

}  // namespace
