// Soak run of the gateway: the daemon against the simulated board and a real
// Mosquitto broker for a chosen time, under mixed traffic and the faults of a
// long service life, while its resources are sampled.
//
// Traffic: every record kind of the board (the simulator's --mix), line noise
// (--garbage-every, --truncate-every), node commands (messages, sensor
// configurations, peer mode) and a firmware transfer every few minutes.
// Faults: broker restarts, a serial hang-up and return, the board replaced
// by a new one on the same link, SIGHUP restarts of the daemon.
//
// Every sample (10 s) records the daemon's resident and private memory
// (/proc/PID/status VmRSS, /proc/PID/smaps_rollup Private_*), open
// descriptors (/proc/PID/fd), threads, the outbox's size on disk, and the
// readings sent by the board and received by a subscriber. At the end it
// prints the samples, the growth per hour of each (least-squares line over
// the samples after the warm-up) and the readings lost. It reports figures
// only and never fails on them.
//
//   soak [--minutes M] [--sample-seconds S] [--warmup-seconds S] [--rate R]
//        [--protocol 1|2] [--daemon-log FILE]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <asio/post.hpp>
#include <nlohmann/json.hpp>

#include "tests/support/Broker.hpp"
#include "tests/support/Process.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/runtime/Event.hpp"
#include "vantro/runtime/EventLoop.hpp"
#include "vantro/runtime/Print.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using vantro::print;
using vantro::test::Process;

namespace {

using Clock = std::chrono::steady_clock;

std::string binDir() {
  return fs::read_symlink("/proc/self/exe").parent_path().string();
}

// As root the daemon runs as nobody, with no privileges to drop, as in the
// end-to-end tests; what it must open is handed to that user.
void giveToDaemonUser(const fs::path& p) {
  const int uid = vantro::test::unprivilegedUid();
  if (uid < 0) return;
  if (::chown(p.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(uid)) != 0) {
    print("soak: cannot hand {} to the daemon's user", p.string());
  }
}

// ---------------------------------------------------------------------------
// The subscriber: a persistent MQTT session on its own thread, which counts
// the readings by the sequence number the simulated board puts in each.

class Subscriber {
 public:
  explicit Subscriber(int port) : port_(port) {
    thread_ = std::thread([this] {
      try {
        loop_.runUntilComplete(body());
      } catch (const std::exception& e) {
        print("soak: subscriber: {}", e.what());
      }
    });
  }
  ~Subscriber() {
    asio::post(loop_.executor(), [this] { stop_.set(); });
    thread_.join();
  }
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  std::size_t distinct() const {
    std::lock_guard lock(mutex_);
    return seen_.size();
  }
  std::size_t messages() const { return messages_.load(); }
  std::set<std::uint32_t> seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  vantro::Awaitable<void> body() {
    // Not a clean session: what the gateway publishes while this client
    // reconnects after a broker restart waits for it on the broker.
    vantro::MqttClient client(loop_, "soak-subscriber", false, 3600);
    client.on_connect = [](vantro::MqttClient& c, int, int, const std::string&) {
      c.subscribe({{"sensor/#", 1}});
    };
    client.on_message = [this](vantro::MqttClient&, const std::string& topic,
                               const vantro::Bytes& payload, int,
                               const vantro::MessageProperties&) {
      ++messages_;
      if (!topic.ends_with("/distance")) return;
      const auto j = nlohmann::json::parse(payload.begin(), payload.end(), nullptr, false);
      if (!j.is_object() || !j.contains("distance_mm") || !j.contains("battery_mv")) return;
      const auto seq = static_cast<std::uint32_t>(j["distance_mm"].get<std::int64_t>()) |
                       (static_cast<std::uint32_t>(j["battery_mv"].get<std::int64_t>()) << 16);
      std::lock_guard lock(mutex_);
      seen_.insert(seq);
    };
    client.connectInBackground("127.0.0.1", port_, 30);
    co_await stop_.wait();
    co_await client.disconnect();
  }

  int port_;
  vantro::EventLoop loop_;
  vantro::Event stop_{loop_.executor()};
  std::atomic<std::size_t> messages_{0};
  mutable std::mutex mutex_;
  std::set<std::uint32_t> seen_;
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// What is sampled.

struct Sample {
  double t = 0;  // seconds since the start
  double rssKb = 0;
  double privateKb = 0;
  double fds = 0;
  double threads = 0;
  double outboxKb = 0;
  double sent = 0;
  double received = 0;
  std::string events;
};

// The value (in kB) of `key` in a /proc file of "Key:  value kB" lines.
double procField(const std::string& path, std::string_view key) {
  std::ifstream in(path);
  std::string line;
  double sum = 0;
  while (std::getline(in, line)) {
    if (line.starts_with(key)) {
      std::istringstream fields(line.substr(key.size()));
      double v = 0;
      fields >> v;
      sum += v;
    }
  }
  return sum;
}

double countEntries(const fs::path& dir) {
  std::error_code ec;
  double n = 0;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    ++n;
  }
  return n;
}

double outboxKb(const fs::path& statusDir) {
  double bytes = 0;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::error_code ec;
    const auto size = fs::file_size(statusDir / (std::string("outbox.sqlite") + suffix), ec);
    if (!ec) bytes += static_cast<double>(size);
  }
  return bytes / 1024;
}

// A reading a board sent whole, from its tx log: the n-th reading (from 1)
// carries first + n - 1. A line with n = 0 is a record cut short, which takes
// the start of the record after it with it.
struct SentReading {
  std::uint32_t value = 0;
  std::int64_t ns = 0;     // CLOCK_MONOTONIC when its last byte went out
  bool afterCut = false;   // the first reading after a record cut short
  std::int64_t cutNs = 0;  // when the last record cut short before it went out
};

void addSentReadings(const fs::path& txLog, std::uint32_t first, std::vector<SentReading>& out) {
  std::ifstream in(txLog);
  std::uint32_t n = 0;
  std::string uid;
  std::int64_t ns = 0;
  bool cutBefore = false;
  std::int64_t cutNs = std::numeric_limits<std::int64_t>::min() / 2;
  while (in >> n >> uid >> ns) {
    if (n == 0) {
      cutBefore = true;
      cutNs = ns;
      continue;
    }
    out.push_back({first + n - 1, ns, std::exchange(cutBefore, false), cutNs});
  }
}

std::int64_t monotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Slope of the least-squares line through (t, v), per hour; nothing for
// fewer than three points.
std::optional<double> perHour(const std::vector<Sample>& samples, double Sample::*field,
                              double fromT) {
  double n = 0, st = 0, sv = 0, stt = 0, stv = 0;
  for (const Sample& s : samples) {
    if (s.t < fromT) continue;
    const double v = s.*field;
    n += 1;
    st += s.t;
    sv += v;
    stt += s.t * s.t;
    stv += s.t * v;
  }
  const double d = n * stt - st * st;
  if (n < 3 || d <= 0) return std::nullopt;
  return (n * stv - st * sv) / d * 3600.0;
}

// ---------------------------------------------------------------------------
// The run.

struct Settings {
  double minutes = 10;
  int sampleSeconds = 10;
  int warmupSeconds = 60;
  double rate = 20;
  int protocol = 2;
  std::string daemonLog;  // where the daemon's output goes at the end, if anywhere
};

// An Intel HEX image of `n` bytes at 0.
std::string hexImage(unsigned n) {
  std::string out;
  for (unsigned addr = 0; addr < n; addr += 16) {
    const unsigned len = std::min(16u, n - addr);
    unsigned sum = len + (addr >> 8) + (addr & 0xFF);
    out += fmt::format(":{:02X}{:04X}00", len, addr);
    for (unsigned i = 0; i < len; ++i) {
      const unsigned b = (addr + i) * 7 & 0xFF;
      out += fmt::format("{:02X}", b);
      sum += b;
    }
    out += fmt::format("{:02X}\n", (0x100 - (sum & 0xFF)) & 0xFF);
  }
  return out + ":00000001FF\n";
}

class Soak {
 public:
  explicit Soak(Settings s) : s_(s) {}
  int run();

 private:
  void startBoard(std::uint32_t firstSeq, bool hangUp);
  void handPtysToDaemon();
  void publish(const std::string& topic, const std::string& payload);
  void stepFirmware();
  Sample sample(double t);
  void note(const std::string& event) {
    events_ += (events_.empty() ? "" : ",") + event;
    eventTimes_.emplace_back(monotonicNs(), event);
  }
  void reportLosses(const std::set<std::uint32_t>& received);

  Settings s_;
  vantro::test::TempDir work_;
  fs::path statusDir_ = work_.path() / "status";
  fs::path link_ = work_.path() / "ttyHAT";
  // Each board's first sequence value and its tx log.
  std::vector<std::pair<std::uint32_t, fs::path>> boardLogs_;
  std::unique_ptr<vantro::test::Broker> broker_;
  std::unique_ptr<Process> board_;
  std::unique_ptr<Process> daemon_;
  std::size_t boardLinesSeen_ = 0;
  std::string events_;
  // Every event noted, with its CLOCK_MONOTONIC time, for the account of losses.
  std::vector<std::pair<std::int64_t, std::string>> eventTimes_;
  // The firmware transfer in progress: its id and the next start address.
  std::optional<int> transfer_;
  int nextTransferId_ = 1;
  unsigned transferAddr_ = 0;
  static constexpr unsigned kImageSize = 1000;
  int transfersStarted_ = 0;
  int transfersDone_ = 0;
  std::int64_t runStartNs_ = 0;
};

void Soak::startBoard(std::uint32_t firstSeq, bool hangUp) {
  const double seconds = s_.minutes * 60;
  const fs::path txLog = work_.path() / fmt::format("tx-{}.log", boardLogs_.size() + 1);
  boardLogs_.emplace_back(firstSeq, txLog);
  std::vector<std::string> args{binDir() + "/vantro-hat-sim",
                                "--link",
                                link_.string(),
                                "--protocol",
                                std::to_string(s_.protocol),
                                "--nodes",
                                "8",
                                "--rate",
                                fmt::format("{}", s_.rate),
                                "--mix",
                                "sd=80,si=5,sx=3,st=4,lg=4,sp=4",
                                "--garbage-every",
                                "53",
                                "--truncate-every",
                                "97",
                                "--sequence-values",
                                std::to_string(firstSeq),
                                "--tx-log",
                                txLog.string(),
                                "--fw-out",
                                (work_.path() / "firmware.bin").string()};
  if (s_.protocol == 2) args.insert(args.end(), {"--send-rt-every", "45"});
  if (hangUp) {
    // Unplugged at a third of the run, back five seconds later.
    args.insert(args.end(), {"--hangup-after", std::to_string(static_cast<int>(seconds / 3)),
                             "--replug-after", "5"});
  }
  boardLinesSeen_ = 0;
  auto board = std::make_unique<Process>(args);
  if (board->waitForPart("PTY /dev/", 10000ms) < 0) {
    throw std::runtime_error("the simulated board did not start:\n" + board->output());
  }
  board_ = std::move(board);
  handPtysToDaemon();
}

// Each pty the board opens (at its start and after a replug) is handed to
// the daemon's user before the daemon reopens it.
void Soak::handPtysToDaemon() {
  const auto lines = board_->lines();
  for (; boardLinesSeen_ < lines.size(); ++boardLinesSeen_) {
    const std::string& l = lines[boardLinesSeen_];
    if (l.starts_with("PTY ")) giveToDaemonUser(l.substr(4));
    if (l == "HANGUP") note("hangup");
    if (l.starts_with("FIRMWARE ")) {
      ++transfersDone_;
      note("firmware-done");
    }
  }
}

void Soak::publish(const std::string& topic, const std::string& payload) {
  Process pub({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker_->port()),
               "-q", "1", "-t", topic, "-m", payload});
  pub.wait(5000ms);
}

// One step of the firmware transfer: the start, then one "next" per chunk
// (42 bytes at 0, then 50 each), then the step past the end that sends the
// closing frame.
void Soak::stepFirmware() {
  if (!transfer_) return;
  const int id = *transfer_;
  if (transferAddr_ == 0) {
    publish(fmt::format("tx/flash/{}", id),
            R"({"startAddr": 0, "filePath": "soak.hex", "msgtype": 5, "toNodeUID": 1001, )"
            R"("authToken": "c0 ff ee 01"})");
    transferAddr_ = 42;
    return;
  }
  publish(fmt::format("tx/flash/{}/next", id),
          fmt::format(R"({{"startAddr": {}}})", transferAddr_));
  if (transferAddr_ >= kImageSize) {
    transfer_.reset();
    return;
  }
  transferAddr_ += 50;
}

Sample Soak::sample(double t) {
  const std::string proc = "/proc/" + std::to_string(daemon_->pid());
  Sample s;
  s.t = t;
  s.rssKb = procField(proc + "/status", "VmRSS:");
  s.privateKb = procField(proc + "/smaps_rollup", "Private_Clean:") +
                procField(proc + "/smaps_rollup", "Private_Dirty:");
  s.fds = countEntries(proc + "/fd");
  s.threads = procField(proc + "/status", "Threads:");
  s.outboxKb = outboxKb(statusDir_);
  std::vector<SentReading> sent;
  for (const auto& [first, log] : boardLogs_) addSentReadings(log, first, sent);
  s.sent = static_cast<double>(sent.size());
  return s;
}

// Readings the subscriber never got, each put down to what happened when it
// was sent: a record before it was cut short (the reading lost its start to
// it; a log line cut short takes every record up to the next line end, for
// at most the link's read time-out of 1 s), the
// daemon was restarting (SIGHUP: the link is closed and opened again), or the
// board was being unplugged or replaced. The rest are losses the gateway must not have.
void Soak::reportLosses(const std::set<std::uint32_t>& received) {
  std::vector<SentReading> sent;
  for (const auto& [first, log] : boardLogs_) addSentReadings(log, first, sent);
  const auto near = [&](std::int64_t ns, std::string_view event, double before, double after) {
    return std::any_of(eventTimes_.begin(), eventTimes_.end(), [&](const auto& e) {
      const double dt = static_cast<double>(ns - e.first) / 1e9;
      return e.second == event && dt >= -before && dt <= after;
    });
  };
  std::size_t lost = 0, afterCut = 0, restart = 0, replaced = 0;
  std::vector<const SentReading*> other;
  // Whether every reading since the last record cut short was lost.
  bool lostSinceCut = false;
  for (const SentReading& r : sent) {
    if (received.count(r.value) != 0) {
      lostSinceCut = false;
      continue;
    }
    ++lost;
    lostSinceCut = r.afterCut || lostSinceCut;
    if (lostSinceCut && r.ns - r.cutNs <= 1'500'000'000) {
      ++afterCut;
    } else if (near(r.ns, "sighup", 0.5, 3)) {
      ++restart;
    } else if (near(r.ns, "board-replaced", 3, 3) || near(r.ns, "hangup", 3, 1)) {
      ++replaced;
    } else {
      other.push_back(&r);
    }
  }
  print("");
  print("readings: {} sent whole by the board, {} received, {} lost ({:.3f} %)", sent.size(),
        received.size(), lost,
        sent.empty() ? 0.0 : 100.0 * static_cast<double>(lost) / static_cast<double>(sent.size()));
  print("  lost right after a record cut short (all lost since it, within 1.5 s): {}", afterCut);
  print("  lost within 3 s after a SIGHUP restart: {}", restart);
  print("  lost within 3 s of the board's hang-up or replacement: {}", replaced);
  print("  lost otherwise: {}", other.size());
  for (std::size_t i = 0; i < other.size() && i < 10; ++i) {
    print("    value {} sent at {:.3f} s", other[i]->value,
          static_cast<double>(other[i]->ns - runStartNs_) / 1e9);
  }
}

int Soak::run() {
  const double total = s_.minutes * 60;
  fs::permissions(work_.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
  fs::create_directories(statusDir_ / "firmware");
  std::ofstream(statusDir_ / "firmware" / "soak.hex") << hexImage(kImageSize);
  for (const auto& p :
       {statusDir_, statusDir_ / "firmware", statusDir_ / "firmware" / "soak.hex"}) {
    giveToDaemonUser(p);
  }

  broker_ = std::make_unique<vantro::test::Broker>();
  Subscriber subscriber(broker_->port());
  startBoard(1, true);
  Process::Options asDaemon;
  asDaemon.runAsUid = vantro::test::unprivilegedUid();
  daemon_ = std::make_unique<Process>(
      std::vector<std::string>{binDir() + "/vantro-gateway", "--serial-device", link_.string(),
                               "--broker", "127.0.0.1", "--broker-port",
                               std::to_string(broker_->port()), "--status-dir", statusDir_.string(),
                               "--no-hat-reset", "--outbox"},
      asDaemon);
  if (daemon_->waitForLine("Waking Duzediv Eri up", 30000ms) < 0) {
    print("soak: the gateway did not wake the board:\n{}", daemon_->output());
    return 1;
  }
  print(
      "soak: {} min, a sample every {} s, growth fitted after {} s; board: protocol {}, "
      "{} records/s, 8 nodes",
      s_.minutes, s_.sampleSeconds, s_.warmupSeconds, s_.protocol, s_.rate);
  print(
      "soak: faults: broker restart every 200 s from 110 s, SIGHUP every 120 s from 90 s, "
      "firmware transfer every 150 s from 60 s, commands every 30 s from 20 s, serial hang-up "
      "at {:.0f} s, board replaced at {:.0f} s",
      total / 3, total * 0.6);

  std::vector<Sample> samples;
  const auto start = Clock::now();
  runStartNs_ = monotonicNs();
  double nextSample = 0;
  int tick = 0;
  bool boardReplaced = false;
  // When the stopped broker starts again; negative while it runs.
  double brokerBackAt = -1;
  for (;; ++tick) {
    const double t = std::chrono::duration<double>(Clock::now() - start).count();
    if (t >= total) break;
    handPtysToDaemon();
    const int sec = static_cast<int>(t);
    const bool newSecond = tick % 4 == 0;
    if (brokerBackAt >= 0 && t >= brokerBackAt) {
      broker_->start();
      brokerBackAt = -1;
      note("broker-up");
    }
    if (newSecond && sec % 200 == 110 && brokerBackAt < 0) {
      broker_->stop();
      brokerBackAt = t + 5;
      note("broker-down");
    }
    if (newSecond && sec % 120 == 90) {
      daemon_->signal(SIGHUP);
      note("sighup");
    }
    if (!boardReplaced && t >= total * 0.6) {
      boardReplaced = true;
      board_->signal(SIGTERM);
      board_->wait(10000ms);
      startBoard(10'000'000, false);
      note("board-replaced");
    }
    if (brokerBackAt < 0) {
      if (newSecond && sec % 30 == 20) {
        publish("tx/msg/5",
                fmt::format(R"({{"msgtype": 11, "outputLevel": {}, "toid": 1001}})", tick % 1000));
        publish("tx/config/9", R"({"sensorType": 1, "sleepCycles": 3, "useLed": 1, "txPower": 2})");
        publish("tx/peermode/1000", fmt::format(R"({{"mode": {}}})", tick % 2));
        note("commands");
      }
      if (newSecond && sec % 150 == 60 && !transfer_) {
        transfer_ = nextTransferId_++ % 256;
        transferAddr_ = 0;
        ++transfersStarted_;
        note("firmware-start");
      }
      stepFirmware();
    }
    if (t >= nextSample) {
      Sample s = sample(t);
      s.received = static_cast<double>(subscriber.distinct());
      s.events = std::exchange(events_, {});
      samples.push_back(s);
      nextSample += s_.sampleSeconds;
    }
    std::this_thread::sleep_until(start + (tick + 1) * 250ms);
  }
  if (brokerBackAt >= 0) broker_->start();

  // The board stops; what it sent gets a moment to reach the subscriber.
  board_->signal(SIGTERM);
  board_->wait(10000ms);
  handPtysToDaemon();
  std::size_t last = 0;
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(1s);
    const std::size_t now = subscriber.distinct();
    if (i > 5 && now == last) break;
    last = now;
  }
  Sample final = sample(std::chrono::duration<double>(Clock::now() - start).count());
  final.received = static_cast<double>(subscriber.distinct());
  final.events = "end";
  samples.push_back(final);
  daemon_->signal(SIGTERM);
  const auto exit = daemon_->wait(20000ms);
  if (!s_.daemonLog.empty()) std::ofstream(s_.daemonLog) << daemon_->output();

  print("");
  print("{:>7} {:>9} {:>10} {:>5} {:>7} {:>10} {:>8} {:>9}  {}", "t s", "VmRSS kB", "private kB",
        "fds", "threads", "outbox kB", "sent", "received", "events");
  for (const Sample& s : samples) {
    print("{:>7.0f} {:>9.0f} {:>10.0f} {:>5.0f} {:>7.0f} {:>10.1f} {:>8.0f} {:>9.0f}  {}", s.t,
          s.rssKb, s.privateKb, s.fds, s.threads, s.outboxKb, s.sent, s.received, s.events);
  }
  print("");
  print("growth per hour (least squares over the {} samples after {} s):",
        std::count_if(samples.begin(), samples.end(),
                      [&](const Sample& x) { return x.t >= s_.warmupSeconds; }),
        s_.warmupSeconds);
  const auto show = [&](const char* what, double Sample::*field, const char* unit) {
    const auto g = perHour(samples, field, s_.warmupSeconds);
    if (g) {
      print("  {:<18} {:>+12.1f} {}/h", what, *g, unit);
    } else {
      print("  {:<18} {:>12} (too few samples)", what, "-");
    }
  };
  show("VmRSS", &Sample::rssKb, "kB");
  show("private memory", &Sample::privateKb, "kB");
  show("descriptors", &Sample::fds, "");
  show("threads", &Sample::threads, "");
  show("outbox", &Sample::outboxKb, "kB");

  reportLosses(subscriber.seen());
  print("  {} publications in all on sensor/#", subscriber.messages());
  print("firmware transfers started: {}, completed at the board: {}", transfersStarted_,
        transfersDone_);
  print("daemon exit status after SIGTERM: {}", exit ? std::to_string(*exit) : "none in 20 s");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        print("soak: {} needs a value", a);
        std::exit(2);
      }
      return argv[++i];
    };
    try {
      if (a == "--minutes") {
        s.minutes = std::stod(value());
      } else if (a == "--sample-seconds") {
        s.sampleSeconds = std::stoi(value());
      } else if (a == "--warmup-seconds") {
        s.warmupSeconds = std::stoi(value());
      } else if (a == "--rate") {
        s.rate = std::stod(value());
      } else if (a == "--protocol") {
        s.protocol = std::stoi(value());
      } else if (a == "--daemon-log") {
        s.daemonLog = value();
      } else if (a == "--help" || a == "-h") {
        print(
            "soak [--minutes M (10)] [--sample-seconds S (10)] [--warmup-seconds S (60)] "
            "[--rate R (20)] [--protocol 1|2 (2)] [--daemon-log FILE]");
        return 0;
      } else {
        print("soak: unknown option {} (--help lists them)", a);
        return 2;
      }
    } catch (const std::exception&) {
      print("soak: {} takes a number", a);
      return 2;
    }
  }
  if (s.minutes <= 0 || s.sampleSeconds < 1 || s.warmupSeconds < 0 || s.rate <= 0 ||
      (s.protocol != 1 && s.protocol != 2)) {
    print("soak: --minutes and --rate > 0, --sample-seconds >= 1, --protocol 1 or 2");
    return 2;
  }
  ::setenv("VANTRO_BIN_DIR", binDir().c_str(), 0);
  try {
    return Soak(s).run();
  } catch (const std::exception& e) {
    print("soak: {}", e.what());
    return 1;
  }
}
