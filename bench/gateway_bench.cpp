// End-to-end benchmark of the gateway: the simulated board floods "SD"
// records over a pseudo-terminal, the daemon publishes them to a local
// Mosquitto broker, and a subscriber in this process counts and time-stamps
// what arrives. Every gateway figure is measured twice, side by side: with the
// outbox (readings committed to SQLite before they go to the broker) and
// without it. Prints throughput and losses at flood, the daemon's CPU time per
// record and the ratio of the two modes, peak resident memory, the bytes the
// daemon writes per reading (from /proc/PID/io) at flood and at two steady
// rates, the board-to-subscriber latency at the steady rates, and the ceiling
// of the rig itself (mosquitto_pub -l into the same subscriber). Per reading
// it also gives the read and write system calls (syscr + syscw of
// /proc/PID/io) and the context switches (/proc/PID/task/*/status), and runs
// the flood and the steady rate once more with a naive gateway in Python
// (baseline_gateway.py: one byte per read, paho-mqtt) for comparison. It
// prints figures beside their targets and never fails on a timing.
//
//   gateway_bench [--records N] [--latency-records N] [--rate R] [--slow-rate R]
//                 [--slow-seconds S] [--rounds N] [--sync-interval S]
//                 [--status-parent DIR] [--quick] [--no-baseline]
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <asio/post.hpp>

#include "tests/support/Broker.hpp"
#include "tests/support/Process.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/runtime/Event.hpp"
#include "vantro/runtime/EventLoop.hpp"
#include "vantro/runtime/Print.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using vantro::print;

std::int64_t monotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// The programs of this build sit beside the benchmark.
std::string binDir() {
  return fs::read_symlink("/proc/self/exe").parent_path().string();
}

// The daemon refuses nothing as root but would drop to "tlv"; as root it runs
// as nobody, with nothing to drop, like in the end-to-end tests.
int daemonUid() {
  return ::getuid() == 0 ? 65534 : -1;
}

void giveToDaemonUser(const fs::path& p) {
  const int uid = daemonUid();
  if (uid >= 0 && ::chown(p.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(uid)) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot chown " + p.string());
  }
}

// ---------------------------------------------------------------------------
// Where the daemon writes, and how much.

// The I/O counters of a process (/proc/PID/io), summed over its threads.
// wchar counts the bytes handed to write() and its kin on any file, pipes and
// sockets included; write_bytes the bytes of the page-cache pages the process
// dirtied for the block layer, each page once until it is written back (0 on
// tmpfs, whose pages never reach a disk).
struct IoCounters {
  std::uint64_t wchar = 0;
  std::uint64_t syscr = 0;
  std::uint64_t syscw = 0;
  std::uint64_t writeBytes = 0;
  std::uint64_t cancelledWriteBytes = 0;
};

// Nothing when the counters cannot be read: another user's process needs root.
std::optional<IoCounters> readIo(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  IoCounters c;
  std::string key;
  std::uint64_t value = 0;
  bool any = false;
  while (in >> key >> value) {
    any = true;
    if (key == "wchar:") {
      c.wchar = value;
    } else if (key == "syscr:") {
      c.syscr = value;
    } else if (key == "syscw:") {
      c.syscw = value;
    } else if (key == "write_bytes:") {
      c.writeBytes = value;
    } else if (key == "cancelled_write_bytes:") {
      c.cancelledWriteBytes = value;
    }
  }
  if (!any) return std::nullopt;
  return c;
}

// Context switches of a process, voluntary (it waited: each one a wake-up
// later) and not (the scheduler took the processor away), summed over its
// live threads (/proc/PID/task/TID/status), and those of its main thread.
struct Switches {
  std::uint64_t all = 0;
  std::uint64_t mainThread = 0;
};

std::uint64_t switchesOf(const fs::path& status) {
  std::ifstream in(status);
  std::string key;
  std::uint64_t sum = 0;
  while (in >> key) {
    if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
      std::uint64_t n = 0;
      in >> n;
      sum += n;
    }
    std::getline(in, key);
  }
  return sum;
}

std::optional<Switches> readSwitches(pid_t pid) {
  const fs::path tasks = fs::path("/proc") / std::to_string(pid) / "task";
  std::error_code ec;
  Switches s;
  bool any = false;
  for (const auto& task : fs::directory_iterator(tasks, ec)) {
    const std::uint64_t n = switchesOf(task.path() / "status");
    s.all += n;
    if (task.path().filename() == std::to_string(pid)) s.mainThread = n;
    any = true;
  }
  if (!any) return std::nullopt;
  return s;
}

struct Mount {
  std::string source;
  std::string point;
  std::string type;
};

// The file system that holds `p`: of the mounts whose mount point contains it,
// the one with the longest mount point (the last mounted, if several).
Mount mountOf(const fs::path& p) {
  std::error_code ec;
  const std::string path = fs::weakly_canonical(p, ec).string();
  std::ifstream in("/proc/self/mounts");
  Mount best;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Mount m;
    if (!(fields >> m.source >> m.point >> m.type)) continue;
    const bool holds = m.point == "/" || path == m.point || path.rfind(m.point + "/", 0) == 0;
    if (holds && m.point.size() >= best.point.size()) best = m;
  }
  return best;
}

bool inMemory(const Mount& m) {
  return m.type == "tmpfs" || m.type == "ramfs";
}

// The folder the daemon's status directories go in. write_bytes only counts
// what is meant for a disk, so a temporary folder on tmpfs would read 0: then
// /var/tmp, then the build folder, whichever is on a disk first.
struct StatusParent {
  fs::path path;
  Mount mount;
};

StatusParent chooseStatusParent(const std::string& requested) {
  if (!requested.empty()) return {requested, mountOf(requested)};
  const std::vector<fs::path> candidates{fs::temp_directory_path(), "/var/tmp",
                                         fs::path(binDir()).parent_path()};
  for (const fs::path& c : candidates) {
    std::error_code ec;
    if (!fs::is_directory(c, ec)) continue;
    Mount m = mountOf(c);
    if (!inMemory(m)) return {c, std::move(m)};
  }
  return {candidates.front(), mountOf(candidates.front())};
}

// A folder made under `parent` for one run, removed with its content after it.
class ScratchDir {
 public:
  explicit ScratchDir(const fs::path& parent) {
    std::string tmpl = (parent / "vantro-bench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp in " + parent.string());
    }
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// ---------------------------------------------------------------------------
// The subscriber: an MqttClient on its own thread and loop, recording the
// CLOCK_MONOTONIC time and topic of every message.

class Subscriber {
 public:
  struct Receipt {
    std::int64_t ns;
    std::string topic;
  };

  Subscriber(int port, std::string filter) : port_(port), filter_(std::move(filter)) {
    thread_ = std::thread([this] {
      try {
        loop_.runUntilComplete(body());
      } catch (const std::exception& e) {
        print("subscriber: {}", e.what());
      }
      ready_ = true;  // also when it failed: nobody waits forever
    });
    while (!ready_) std::this_thread::sleep_for(5ms);
    // Let the SUBSCRIBE reach the broker before anything is published.
    std::this_thread::sleep_for(300ms);
  }

  ~Subscriber() {
    asio::post(loop_.executor(), [this] { stop_.set(); });
    thread_.join();
  }
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  std::size_t count() const { return count_.load(); }
  std::vector<Receipt> receipts() const {
    std::lock_guard lock(mutex_);
    return receipts_;
  }

  // Waits until `n` messages arrived or none came for `quiet`; returns the count.
  std::size_t waitFor(std::size_t n, std::chrono::milliseconds quiet,
                      std::chrono::seconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::size_t last = count();
    auto lastChange = std::chrono::steady_clock::now();
    while (count() < n && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(10ms);
      const std::size_t c = count();
      if (c != last) {
        last = c;
        lastChange = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - lastChange > quiet) {
        break;
      }
    }
    return count();
  }

 private:
  vantro::Awaitable<void> body() {
    vantro::MqttClient client(loop_, "bench-subscriber", true, 0);
    client.on_message = [this](vantro::MqttClient&, const std::string& topic, const vantro::Bytes&,
                               int, const vantro::MessageProperties&) {
      if (topic.ends_with("/availability")) return;  // a node's availability, not a reading
      const std::int64_t now = monotonicNs();
      {
        std::lock_guard lock(mutex_);
        receipts_.push_back({now, topic});
      }
      ++count_;
    };
    co_await client.connect("127.0.0.1", port_, 60);
    client.subscribe({{filter_, 1}});
    ready_ = true;
    co_await stop_.wait();
    co_await client.disconnect();
  }

  int port_;
  std::string filter_;
  vantro::EventLoop loop_;
  vantro::Event stop_{loop_.executor()};
  std::atomic<bool> ready_{false};
  std::atomic<std::size_t> count_{0};
  mutable std::mutex mutex_;
  std::vector<Receipt> receipts_;
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// The daemon as a child whose resource usage we collect (wait4).

class Daemon {
 public:
  explicit Daemon(std::vector<std::string> argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
      throw std::system_error(errno, std::generic_category(), "pipe");
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const int uid = daemonUid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      ::dup2(fds[1], 2);
      ::setpgid(0, 0);
      if (uid >= 0) {
        const auto id = static_cast<uid_t>(uid);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(id, id, id) != 0 ||
            ::setresuid(id, id, id) != 0) {
          ::_exit(126);
        }
      }
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] { readerMain(fd); });
  }

  ~Daemon() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      stop(5s);
    }
    if (reader_.joinable()) reader_.join();
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  pid_t pid() const { return pid_; }

  bool waitForLine(const std::string& line, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
      return std::find(lines_.begin(), lines_.end(), line) != lines_.end() || eof_;
    }) && std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }

  std::string output() const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const auto& l : lines_) out += l + "\n";
    return out;
  }

  /// CPU seconds (user + system) so far, from /proc (clock-tick resolution).
  double cpuSecondsSoFar() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    // Fields after the name: state is field 3; utime and stime are 14 and 15.
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i >= 14) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  std::optional<IoCounters> io() const { return readIo(pid_); }

  /// A memory figure of /proc/PID/status now ("VmRSS:", "RssAnon:", ...), in MB.
  double statusMb(std::string_view wanted = "VmRSS:") const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    while (in >> key) {
      if (key == wanted) {
        double kb = 0;
        in >> kb;
        return kb / 1024.0;
      }
      std::getline(in, key);
    }
    return 0;
  }

  /// SIGTERM, then the exit and the child's resource usage.
  std::optional<rusage> stop(std::chrono::milliseconds timeout) {
    if (!status_) ::kill(pid_, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int st = 0;
      rusage ru{};
      const pid_t r = ::wait4(pid_, &st, WNOHANG, &ru);
      if (r == pid_) {
        status_ = st;
        usage_ = ru;
        return usage_;
      }
      if (r < 0 && errno != EINTR) return std::nullopt;
      if (std::chrono::steady_clock::now() >= end) {
        ::kill(pid_, SIGKILL);
        ::wait4(pid_, &st, 0, &ru);
        status_ = st;
        return std::nullopt;
      }
      std::this_thread::sleep_for(10ms);
    }
  }

 private:
  void readerMain(int fd) {
    std::string partial;
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      partial.append(buf, static_cast<std::size_t>(n));
      std::size_t start = 0;
      std::size_t pos;
      std::lock_guard lock(mutex_);
      while ((pos = partial.find('\n', start)) != std::string::npos) {
        std::string line = partial.substr(start, pos - start);
        start = pos + 1;
        // Keep everything but the per-record lines (they would only cost memory).
        if (line.rfind("Sender ", 0) != 0) lines_.push_back(std::move(line));
      }
      partial.erase(0, start);
      cv_.notify_all();
    }
    std::lock_guard lock(mutex_);
    eof_ = true;
    cv_.notify_all();
    ::close(fd);
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
  std::optional<rusage> usage_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  bool eof_ = false;
  std::thread reader_;
};

double seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

struct TxRecord {
  std::uint64_t seq;
  std::uint32_t uid;
  std::int64_t ns;
};

std::vector<TxRecord> readTxLog(const fs::path& path) {
  std::vector<TxRecord> out;
  std::ifstream in(path);
  TxRecord r{};
  while (in >> r.seq >> r.uid >> r.ns) out.push_back(r);
  return out;
}

// "sensor/1002/water" -> 1002
std::uint32_t topicUid(const std::string& topic) {
  const auto a = topic.find('/');
  const auto b = topic.find('/', a + 1);
  std::uint32_t uid = 0;
  if (a != std::string::npos) {
    std::from_chars(topic.data() + a + 1,
                    topic.data() + (b == std::string::npos ? topic.size() : b), uid);
  }
  return uid;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// Messages per second between the first and the last receipt.
double receiptRate(const std::vector<Subscriber::Receipt>& r) {
  if (r.size() < 2) return 0;
  const double span = static_cast<double>(r.back().ns - r.front().ns) / 1e9;
  return span > 0 ? static_cast<double>(r.size() - 1) / span : 0;
}

// ---------------------------------------------------------------------------
// One run of the whole rig.

struct RunPlan {
  std::size_t records = 0;
  std::optional<double> rate;  // records per second; none: flood
  bool outbox = false;
  fs::path statusParent;
  unsigned syncInterval = 5;  // seconds, --outbox-sync-interval of the daemon
  bool baseline = false;      // the Python baseline in the daemon's place
};

// The Python baseline runs where both its modules are (python3-serial,
// python3-paho-mqtt); the system's interpreter, not one on PATH that may lack them.
constexpr const char* kPython = "/usr/bin/python3";

bool baselineAvailable() {
  if (!fs::exists(binDir() + "/baseline_gateway.py")) return false;
  const std::string probe =
      fmt::format("{} -c 'import serial, paho.mqtt.client' >/dev/null 2>&1", kPython);
  return std::system(probe.c_str()) == 0;
}

struct GatewayRun {
  bool outbox = false;
  bool baseline = false;
  std::size_t sent = 0;
  std::size_t received = 0;
  double rate = 0;          // receipts per second, first to last receipt
  double rateFromSend = 0;  // records per second, first board write to last receipt
  double cpuPerRecordUs = 0;
  double cpuNetPerRecordUs = 0;  // without what the start-up cost
  double userShare = 0;          // of the CPU time, the part in user space
  double rssAtStartMb = 0;       // resident before the traffic
  double rssFileMb = 0;          // after the traffic: program and library pages
  double rssAnonMb = 0;          // after the traffic: heap, stacks
  double vmHwmMb = 0;            // peak resident (VmHWM) after the traffic
  double sendRate = 0;           // records per second the board got rid of
  long maxRssKb = 0;
  // When the board woke, and after the traffic once the outbox had its sync.
  std::optional<IoCounters> ioBefore;
  std::optional<IoCounters> ioAfter;
  // Once the last reading arrived: the system calls and context switches
  // of the traffic, without the idle second that follows.
  std::optional<IoCounters> ioAtLastReceipt;
  std::optional<Switches> switchesBefore;
  std::optional<Switches> switchesAtLastReceipt;
  std::uintmax_t outboxFileBytes = 0;  // outbox.sqlite and its -wal after the traffic
  bool outboxFileAsExpected = true;    // there with the outbox, absent without
  std::vector<double> latenciesUs;
  std::size_t unmatched = 0;
  bool ok = false;

  // Of the I/O counters, the growth over the traffic per reading received.
  std::optional<double> perReading(std::uint64_t IoCounters::*field) const {
    if (!ioBefore || !ioAfter) return std::nullopt;
    return growthPerReading((*ioBefore).*field, (*ioAfter).*field);
  }

  // Read and write system calls (syscr + syscw) per reading over the traffic.
  std::optional<double> syscallsPerReading() const {
    if (!ioBefore || !ioAtLastReceipt) return std::nullopt;
    return growthPerReading(ioBefore->syscr + ioBefore->syscw,
                            ioAtLastReceipt->syscr + ioAtLastReceipt->syscw);
  }

  // Context switches per reading over the traffic, of all threads or of the main one.
  std::optional<double> switchesPerReading(std::uint64_t Switches::*field) const {
    if (!switchesBefore || !switchesAtLastReceipt) return std::nullopt;
    return growthPerReading((*switchesBefore).*field, (*switchesAtLastReceipt).*field);
  }

 private:
  // A counter's growth (never below 0: a counter of exited threads is gone)
  // per reading received.
  std::optional<double> growthPerReading(std::uint64_t before, std::uint64_t after) const {
    if (received == 0) return std::nullopt;
    return static_cast<double>(after >= before ? after - before : 0) /
           static_cast<double>(received);
  }
};

std::uintmax_t fileSize(const fs::path& p) {
  std::error_code ec;
  const std::uintmax_t n = fs::file_size(p, ec);
  return ec ? 0 : n;
}

GatewayRun runGateway(const RunPlan& plan) {
  GatewayRun result;
  result.outbox = plan.outbox;
  result.baseline = plan.baseline;
  vantro::test::TempDir dir;
  fs::permissions(dir.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  // The status directory (and so the outbox) where the disk counters see it.
  ScratchDir statusBase(plan.statusParent);
  fs::permissions(statusBase.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  const fs::path statusDir = statusBase.path() / "status";
  fs::create_directories(statusDir);
  giveToDaemonUser(statusDir);
  const std::string link = (dir / "ttyHAT").string();
  const fs::path txLog = dir / "tx.log";

  vantro::test::Broker broker({.extraConfig = {"max_queued_messages 0"}});
  Subscriber sub(broker.port(), "sensor/#");

  std::vector<std::string> simArgs{binDir() + "/vantro-hat-sim",
                                   "--link",
                                   link,
                                   "--protocol",
                                   "1",
                                   "--only-sd",
                                   "--count",
                                   std::to_string(plan.records),
                                   "--tx-log",
                                   txLog.string()};
  if (plan.rate) {
    simArgs.insert(simArgs.end(), {"--rate", fmt::format("{}", *plan.rate)});
  } else {
    simArgs.push_back("--flood");
  }
  vantro::test::Process board(simArgs);
  if (board.waitForPart("PTY /dev/", 10s) < 0) {
    print("the simulated board did not start:\n{}", board.output());
    return result;
  }
  giveToDaemonUser(fs::canonical(link));

  std::vector<std::string> gatewayArgs{
      binDir() + "/vantro-gateway", "--serial-device", link, "--broker", "127.0.0.1",
      "--broker-port", std::to_string(broker.port()), "--status-dir", statusDir.string(),
      "--no-hat-reset", plan.outbox ? "--outbox" : "--no-outbox", "--outbox-sync-interval",
      std::to_string(plan.syncInterval)};
  if (plan.baseline) {
    gatewayArgs = {kPython,   binDir() + "/baseline_gateway.py",
                   "--serial-device", link,
                   "--broker",        "127.0.0.1",
                   "--broker-port",   std::to_string(broker.port())};
  }
  Daemon gw(gatewayArgs);
  if (!gw.waitForLine("Waking Duzediv Eri up", 20s)) {
    print("the gateway did not wake the board:\n{}", gw.output());
    return result;
  }
  const double cpuAtStart = gw.cpuSecondsSoFar();
  result.rssAtStartMb = gw.statusMb();
  // The outbox was opened before the board was woken: what it wrote when it
  // made its file is not counted.
  result.ioBefore = gw.io();
  result.switchesBefore = readSwitches(gw.pid());

  // The flood of 20,000 records takes a few seconds; allow a slow machine.
  auto limit = std::chrono::seconds(30 + plan.records / 200);
  if (plan.rate) {
    limit +=
        std::chrono::seconds(static_cast<long>(static_cast<double>(plan.records) / *plan.rate));
  }
  if (board.waitForPart("TRAFFIC DONE",
                        std::chrono::duration_cast<std::chrono::milliseconds>(limit)) < 0) {
    print("the board did not finish its traffic");
  }
  result.received = sub.waitFor(plan.records, 3s, limit);
  result.ioAtLastReceipt = gw.io();
  result.switchesAtLastReceipt = readSwitches(gw.pid());
  // The checkpoint thread syncs at most every interval: one more interval
  // lets the last commits reach the database file, as they do in service.
  std::this_thread::sleep_for(std::chrono::seconds(plan.syncInterval) + 1s);
  result.ioAfter = gw.io();
  result.vmHwmMb = gw.statusMb("VmHWM:");
  // Of the resident memory, the pages of the program and its shared libraries
  // (shared with every other process that maps them) and the daemon's own.
  result.rssFileMb = gw.statusMb("RssFile:");
  result.rssAnonMb = gw.statusMb("RssAnon:");
  const fs::path outboxFile = statusDir / "outbox.sqlite";
  std::error_code ec;
  result.outboxFileAsExpected = fs::exists(outboxFile, ec) == plan.outbox;
  result.outboxFileBytes = fileSize(outboxFile) + fileSize(outboxFile.string() + "-wal");
  const auto usage = gw.stop(15s);
  if (!usage) {
    print("the gateway did not stop:\n{}", gw.output());
    return result;
  }

  const std::vector<TxRecord> tx = readTxLog(txLog);
  const std::vector<Subscriber::Receipt> rx = sub.receipts();
  result.sent = tx.size();
  result.received = rx.size();
  result.rate = receiptRate(rx);
  if (!tx.empty() && !rx.empty() && rx.back().ns > tx.front().ns) {
    result.rateFromSend =
        static_cast<double>(rx.size()) / (static_cast<double>(rx.back().ns - tx.front().ns) / 1e9);
  }
  const double cpu = seconds(usage->ru_utime) + seconds(usage->ru_stime);
  if (!rx.empty()) {
    const double n = static_cast<double>(rx.size());
    result.cpuPerRecordUs = cpu / n * 1e6;
    result.cpuNetPerRecordUs = std::max(0.0, cpu - cpuAtStart) / n * 1e6;
  }
  if (cpu > 0) result.userShare = seconds(usage->ru_utime) / cpu;
  if (tx.size() > 1 && tx.back().ns > tx.front().ns) {
    result.sendRate = static_cast<double>(tx.size() - 1) /
                      (static_cast<double>(tx.back().ns - tx.front().ns) / 1e9);
  }
  result.maxRssKb = usage->ru_maxrss;

  // The k-th record of a node sent pairs with the k-th message received on
  // that node's topics: one publisher, QoS 1, so the broker keeps its order.
  std::map<std::uint32_t, std::vector<std::int64_t>> sentByUid;
  for (const TxRecord& r : tx) sentByUid[r.uid].push_back(r.ns);
  std::map<std::uint32_t, std::size_t> nextByUid;
  for (const Subscriber::Receipt& r : rx) {
    const std::uint32_t uid = topicUid(r.topic);
    auto it = sentByUid.find(uid);
    std::size_t& k = nextByUid[uid];
    if (it == sentByUid.end() || k >= it->second.size()) {
      ++result.unmatched;
      continue;
    }
    result.latenciesUs.push_back(static_cast<double>(r.ns - it->second[k]) / 1e3);
    ++k;
  }
  if (!result.outboxFileAsExpected) {
    print("the outbox file {} {}", outboxFile.string(),
          plan.outbox ? "was not made with --outbox" : "was made with --no-outbox");
  }
  result.ok = true;
  return result;
}

// ---------------------------------------------------------------------------
// The ceiling of the rig: mosquitto_pub -l (QoS 1) into the same subscriber.

struct CeilingRun {
  std::size_t published = 0;
  std::size_t received = 0;
  double rate = 0;
};

CeilingRun runCeiling(std::size_t records) {
  CeilingRun result;
  vantro::test::Broker broker({.extraConfig = {"max_queued_messages 0"}});
  Subscriber sub(broker.port(), "sensor/#");

  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  const std::string port = std::to_string(broker.port());
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    ::dup2(in[0], 0);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 1);
    ::execlp("mosquitto_pub", "mosquitto_pub", "-h", "127.0.0.1", "-p", port.c_str(), "-V", "5",
             "-q", "1", "-t", "sensor/1000/climate", "-l", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  // Payloads like the gateway's.
  std::string lines;
  for (std::size_t i = 0; i < records; ++i) {
    lines += R"({"ts":1718000000000,"rssi":-61,"temperature":21.37,"humidity":47.5,"battery":3.3})";
    lines += '\n';
  }
  std::size_t done = 0;
  while (done < lines.size()) {
    const ssize_t n = ::write(in[1], lines.data() + done, lines.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(in[1]);
  result.published = records;
  int st = 0;
  ::waitpid(pid, &st, 0);
  sub.waitFor(records, 3s, std::chrono::seconds(30 + records / 500));
  const auto rx = sub.receipts();
  result.received = rx.size();
  result.rate = receiptRate(rx);
  return result;
}

struct Options {
  std::size_t records = 20000;
  std::size_t latencyRecords = 5000;
  double rate = 500;
  double slowRate = 5;
  double slowSeconds = 25;
  unsigned rounds = 2;
  unsigned syncInterval = 5;
  std::string statusParent;
  bool noBaseline = false;
};

Options parseOptions(int argc, char** argv) {
  Options o;
  // --quick sets the sizes first, wherever it stands; the other options override it.
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--quick") {
      o.records = 5000;
      o.latencyRecords = 1000;
      o.slowSeconds = 12;
      o.rounds = 1;
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--records") {
      o.records = std::stoul(value());
    } else if (a == "--latency-records") {
      o.latencyRecords = std::stoul(value());
    } else if (a == "--rate") {
      o.rate = std::stod(value());
    } else if (a == "--slow-rate") {
      o.slowRate = std::stod(value());
    } else if (a == "--slow-seconds") {
      o.slowSeconds = std::stod(value());
    } else if (a == "--rounds") {
      o.rounds = static_cast<unsigned>(std::stoul(value()));
    } else if (a == "--sync-interval") {
      o.syncInterval = static_cast<unsigned>(std::stoul(value()));
    } else if (a == "--status-parent") {
      o.statusParent = value();
    } else if (a == "--quick") {
    } else if (a == "--no-baseline") {
      o.noBaseline = true;
    } else if (a == "--help" || a == "-h") {
      print("usage: gateway_bench [--records N] [--latency-records N] [--rate R] [--slow-rate R]");
      print("                     [--slow-seconds S] [--rounds N] [--sync-interval S]");
      print("                     [--status-parent DIR] [--quick] [--no-baseline]");
      print("  every gateway phase runs with the outbox and without it");
      print("  --records N          records of the flood and of the rig ceiling (20000)");
      print("  --latency-records N  records of the steady phase at --rate (5000)");
      print("  --rate R             records per second of that phase (500)");
      print("  --slow-rate R        records per second of the slow steady phase (5)");
      print("  --slow-seconds S     length of the slow phase, seconds (25)");
      print("  --rounds N           floods per mode; the figures are of the one that took the");
      print("                       least CPU per record (2)");
      print("  --sync-interval S    the daemon's --outbox-sync-interval (5)");
      print("  --status-parent DIR  where the daemon's status directories go (default: the");
      print("                       temporary folder, or /var/tmp or the build folder when");
      print("                       that is in memory)");
      print("  --quick              5000 and 1000 records, a 12 s slow phase, one round");
      print("  --no-baseline        skip the Python baseline (bench/baseline_gateway.py), which");
      print("                       otherwise runs the flood and the steady rate where");
      print("                       python3-serial and python3-paho-mqtt are installed");
      std::exit(0);
    } else {
      throw std::invalid_argument("unknown option " + a);
    }
  }
  if (o.records < 2 || o.latencyRecords < 2 || !(o.rate > 0) || !(o.slowRate > 0) ||
      o.slowRate * o.slowSeconds < 2 || o.rounds < 1 || o.syncInterval < 1) {
    throw std::invalid_argument(
        "--records, --latency-records and --slow-rate times --slow-seconds must be at least 2; "
        "--rate and --slow-rate > 0; --rounds and --sync-interval at least 1");
  }
  return o;
}

// ---------------------------------------------------------------------------
// The report: one column per mode.

const char* modeName(bool outbox) {
  return outbox ? "outbox on" : "outbox off";
}

std::string num(double v, int decimals) {
  return fmt::format("{:.{}f}", v, decimals);
}

std::string num(const std::optional<double>& v, int decimals) {
  return v ? num(*v, decimals) : "n/a";
}

std::string lost(const GatewayRun& r) {
  return std::to_string(static_cast<long long>(r.sent) - static_cast<long long>(r.received));
}

void row(std::string_view figure, const std::string& off, const std::string& on,
         std::string_view target) {
  print("{:<52} {:>12} {:>12}   {}", figure, off, on, target);
}

// One figure of the two runs of a phase; "failed" for a run that did not finish.
template <typename F>
void row(std::string_view figure, const GatewayRun& off, const GatewayRun& on, F&& value,
         std::string_view target) {
  row(figure, off.ok ? value(off) : "failed", on.ok ? value(on) : "failed", target);
}

std::optional<double> ratio(double with, double without) {
  if (!(without > 0)) return std::nullopt;
  return with / without;
}

// The disk figures of a phase, per reading received.
void diskRows(const GatewayRun& off, const GatewayRun& on) {
  const auto perReading = [](std::uint64_t IoCounters::*field, int decimals) {
    return [field, decimals](const GatewayRun& r) { return num(r.perReading(field), decimals); };
  };
  row("  disk writes per reading, bytes (write_bytes)", off, on,
      perReading(&IoCounters::writeBytes, 0), "-");
  const auto offBytes = off.perReading(&IoCounters::writeBytes);
  const auto onBytes = on.perReading(&IoCounters::writeBytes);
  row("    of which the outbox's (on - off)", "",
      offBytes && onBytes && on.ok && off.ok ? num(*onBytes - *offBytes, 0) : "n/a", "-");
  row("    cancelled before reaching it (cancelled_write_bytes)", off, on,
      perReading(&IoCounters::cancelledWriteBytes, 0), "-");
  row("  bytes passed to write() per reading (wchar)", off, on, perReading(&IoCounters::wchar, 0),
      "-");
  row("  write calls per reading (syscw)", off, on, perReading(&IoCounters::syscw, 2), "-");
  row(
      "  outbox file and journal after it, KiB", off, on,
      [](const GatewayRun& r) { return num(static_cast<double>(r.outboxFileBytes) / 1024, 0); },
      "-");
}

void cpuRows(const GatewayRun& off, const GatewayRun& on, std::string_view target,
             std::string_view ratioTarget) {
  row(
      "  daemon CPU per record, us (whole run)", off, on,
      [](const GatewayRun& r) { return num(r.cpuPerRecordUs, 2); }, target);
  row(
      "  daemon CPU per record, us (after start-up)", off, on,
      [](const GatewayRun& r) { return num(r.cpuNetPerRecordUs, 2); }, target);
  const bool both = off.ok && on.ok;
  row("  CPU per record, on / off (whole run)", "",
      both ? num(ratio(on.cpuPerRecordUs, off.cpuPerRecordUs), 2) : "n/a", ratioTarget);
  row("  CPU per record, on / off (after start-up)", "",
      both ? num(ratio(on.cpuNetPerRecordUs, off.cpuNetPerRecordUs), 2) : "n/a", ratioTarget);
}

void latencyRows(const GatewayRun& off, const GatewayRun& on, std::string_view p99Target) {
  row("  lost (sent per tx-log - received)", off, on, lost, "0");
  row(
      "  latency p50, us", off, on,
      [](const GatewayRun& r) { return num(percentile(r.latenciesUs, 50), 0); }, "-");
  row(
      "  latency p99, us", off, on,
      [](const GatewayRun& r) { return num(percentile(r.latenciesUs, 99), 0); }, p99Target);
  row(
      "  latency max, us", off, on,
      [](const GatewayRun& r) { return num(percentile(r.latenciesUs, 100), 0); }, "-");
}

void note(const GatewayRun& r, std::string_view phase) {
  if (r.ok && r.unmatched) {
    print("{}, {}: {} receipts had no sent record", phase, modeName(r.outbox), r.unmatched);
  }
  if (r.ok && !r.outboxFileAsExpected) {
    print("{}, {}: the outbox file did not match the mode (see above)", phase, modeName(r.outbox));
  }
}

// A line while the bench goes on, so that a long run shows where it is.
void progress(const GatewayRun& r) {
  const char* name = r.baseline ? "baseline" : modeName(r.outbox);
  if (!r.ok) {
    print("  {}: the run failed", name);
    return;
  }
  print(
      "  {}: {:.0f} records/s, {} lost, {:.2f} us CPU per record, {} bytes written per reading, "
      "{} read/write calls and {} context switches per reading",
      name, r.rate, lost(r), r.cpuNetPerRecordUs, num(r.perReading(&IoCounters::writeBytes), 0),
      num(r.syscallsPerReading(), 2), num(r.switchesPerReading(&Switches::all), 2));
}

// ---------------------------------------------------------------------------
// What a reading costs, beside the baseline: the daemon in both modes, the
// baseline, and how many times more the baseline costs than the daemon with
// its outbox on.

void costRow(std::string_view figure, const GatewayRun& off, const GatewayRun& on,
             const GatewayRun* base, const std::function<std::optional<double>(const GatewayRun&)>& value,
             int decimals, std::string_view target) {
  const auto cell = [&](const GatewayRun& r) { return r.ok ? num(value(r), decimals) : "failed"; };
  std::string baseCell = "-";
  std::string times = "-";
  if (base) {
    baseCell = cell(*base);
    const auto b = base->ok ? value(*base) : std::nullopt;
    const auto v = on.ok ? value(on) : std::nullopt;
    if (b && v && *v > 0) times = num(*b / *v, 1) + "x";
  }
  print("{:<52} {:>10} {:>10} {:>10} {:>8}   {}", figure, cell(off), cell(on), baseCell, times,
        target);
}

void costRows(const GatewayRun& off, const GatewayRun& on, const GatewayRun* base, bool latency,
              std::string_view cpuTarget, std::string_view syscallTarget,
              std::string_view switchTarget, std::string_view p99Target) {
  costRow("  CPU per reading, us (after start-up)", off, on, base,
          [](const GatewayRun& r) { return std::optional<double>(r.cpuNetPerRecordUs); }, 1,
          cpuTarget);
  costRow("  read+write system calls per reading (syscr+syscw)", off, on, base,
          [](const GatewayRun& r) { return r.syscallsPerReading(); }, 2, syscallTarget);
  costRow("  context switches per reading, all threads", off, on, base,
          [](const GatewayRun& r) { return r.switchesPerReading(&Switches::all); }, 2,
          switchTarget);
  costRow("    of the main (event-loop) thread", off, on, base,
          [](const GatewayRun& r) { return r.switchesPerReading(&Switches::mainThread); }, 2, "-");
  if (latency) {
    costRow("  latency p50, us", off, on, base,
            [](const GatewayRun& r) { return std::optional<double>(percentile(r.latenciesUs, 50)); },
            0, "-");
    costRow("  latency p99, us", off, on, base,
            [](const GatewayRun& r) { return std::optional<double>(percentile(r.latenciesUs, 99)); },
            0, p99Target);
  }
  costRow("  peak resident memory (VmHWM), MB", off, on, base,
          [](const GatewayRun& r) { return std::optional<double>(r.vmHwmMb); }, 2,
          latency ? "-" : "<= 10 (outbox on)");
  costRow("  lost", off, on, base,
          [](const GatewayRun& r) {
            return std::optional<double>(static_cast<double>(r.sent) -
                                         static_cast<double>(r.received));
          },
          0, "0");
}

// Of the floods of a mode, the one that took the least CPU per record: the one
// the other users of the machine disturbed least.
const GatewayRun& leastCpu(const std::vector<GatewayRun>& runs) {
  const GatewayRun* best = &runs.front();
  for (const GatewayRun& r : runs) {
    if (r.ok && (!best->ok || r.cpuNetPerRecordUs < best->cpuNetPerRecordUs)) best = &r;
  }
  return *best;
}

std::string roundsCpu(const std::vector<GatewayRun>& runs) {
  std::string out;
  for (const GatewayRun& r : runs) {
    if (!out.empty()) out += ' ';
    out += r.ok ? num(r.cpuNetPerRecordUs, 1) : "-";
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options o = parseOptions(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);

    const StatusParent parent = chooseStatusParent(o.statusParent);
    const fs::path tmp = fs::temp_directory_path();
    const Mount tmpMount = mountOf(tmp);
    print("temporary folder {}: {} on {} ({})", tmp.string(), tmpMount.source, tmpMount.point,
          tmpMount.type);
    print("daemon status directories (outbox) under {}: {} on {} ({}{})", parent.path.string(),
          parent.mount.source, parent.mount.point, parent.mount.type,
          inMemory(parent.mount) ? ", in memory: write_bytes will read 0" : ", disk-backed");

    print("rig ceiling: mosquitto_pub -l -q 1, {} messages ...", o.records);
    const CeilingRun ceiling = runCeiling(o.records);

    const auto plan = [&](std::size_t records, std::optional<double> rate, bool outbox) {
      return RunPlan{records, rate, outbox, parent.path, o.syncInterval};
    };

    // The modes take turns, each leading every other round, so that a slow
    // spell of the machine does not fall on one of them only.
    std::vector<GatewayRun> floods[2];
    for (unsigned round = 0; round < o.rounds; ++round) {
      for (const bool outbox : {round % 2 == 1, round % 2 == 0}) {
        print("flood: {} SD records, {} (round {} of {}) ...", o.records, modeName(outbox),
              round + 1, o.rounds);
        floods[outbox].push_back(runGateway(plan(o.records, std::nullopt, outbox)));
        progress(floods[outbox].back());
      }
    }
    const GatewayRun& floodOff = leastCpu(floods[0]);
    const GatewayRun& floodOn = leastCpu(floods[1]);

    GatewayRun fast[2];
    for (const bool outbox : {false, true}) {
      print("steady rate: {} SD records at {}/s, {} ...", o.latencyRecords, o.rate,
            modeName(outbox));
      fast[outbox] = runGateway(plan(o.latencyRecords, o.rate, outbox));
      progress(fast[outbox]);
    }

    std::optional<GatewayRun> baseFlood;
    std::optional<GatewayRun> baseFast;
    const bool withBaseline = !o.noBaseline && baselineAvailable();
    if (withBaseline) {
      RunPlan p = plan(o.records, std::nullopt, false);
      p.baseline = true;
      print("baseline flood: {} SD records, Python, one byte per read ...", o.records);
      baseFlood = runGateway(p);
      progress(*baseFlood);
      p = plan(o.latencyRecords, o.rate, false);
      p.baseline = true;
      print("baseline steady rate: {} SD records at {}/s ...", o.latencyRecords, o.rate);
      baseFast = runGateway(p);
      progress(*baseFast);
    }

    const auto slowRecords =
        static_cast<std::size_t>(std::max(2.0, std::round(o.slowRate * o.slowSeconds)));
    GatewayRun slow[2];
    for (const bool outbox : {false, true}) {
      print("slow rate: {} SD records at {}/s ({:.0f} s), {} ...", slowRecords, o.slowRate,
            static_cast<double>(slowRecords) / o.slowRate, modeName(outbox));
      slow[outbox] = runGateway(plan(slowRecords, o.slowRate, outbox));
      progress(slow[outbox]);
    }

    const double target = std::min(20000.0, ceiling.rate);
    const std::string floodTarget = fmt::format(">= {:.0f} (ceiling or 20000)", target);
    print("");
    print("{:<52} {:>12}   {}", "rig", "measured", "target");
    print("{:<52} {:>12.0f}   -", "rig ceiling (mosquitto_pub -l), msg/s", ceiling.rate);
    print("{:<52} {:>12}   0", "rig ceiling, lost",
          static_cast<long long>(ceiling.published) - static_cast<long long>(ceiling.received));
    print("");
    row("gateway", modeName(false), modeName(true), "target");
    print("flood, {} records (of {} round(s), the one with the least CPU per record)", o.records,
          o.rounds);
    row(
        "  records/s (receipts)", floodOff, floodOn,
        [](const GatewayRun& r) { return num(r.rate, 0); }, floodTarget);
    row(
        "  records/s (first write to last)", floodOff, floodOn,
        [](const GatewayRun& r) { return num(r.rateFromSend, 0); }, "-");
    row("  lost (sent per tx-log - received)", floodOff, floodOn, lost, "0");
    cpuRows(floodOff, floodOn, "<= 15", "<= 1.5");
    if (o.rounds > 1) {
      row("    after start-up, each round, us", roundsCpu(floods[0]), roundsCpu(floods[1]), "-");
    }
    row(
        "  user-space share of that CPU time, %", floodOff, floodOn,
        [](const GatewayRun& r) { return num(r.userShare * 100, 0); }, "-");
    row(
        "  daemon peak resident memory (VmHWM), MB", floodOff, floodOn,
        [](const GatewayRun& r) { return num(r.vmHwmMb, 2); }, "< 8");
    row(
        "    at exit (ru_maxrss), MB", floodOff, floodOn,
        [](const GatewayRun& r) { return num(static_cast<double>(r.maxRssKb) / 1024.0, 2); }, "-");
    row(
        "    resident before the traffic, MB", floodOff, floodOn,
        [](const GatewayRun& r) { return num(r.rssAtStartMb, 2); }, "-");
    row(
        "    after it: program and library pages, MB", floodOff, floodOn,
        [](const GatewayRun& r) { return num(r.rssFileMb, 2); }, "-");
    row(
        "    after it: heap and stacks, MB", floodOff, floodOn,
        [](const GatewayRun& r) { return num(r.rssAnonMb, 2); }, "-");
    row(
        "  board's send rate (tx-log), records/s", floodOff, floodOn,
        [](const GatewayRun& r) { return num(r.sendRate, 0); }, "-");
    diskRows(floodOff, floodOn);

    print("steady, {} records at {}/s", o.latencyRecords, o.rate);
    latencyRows(fast[0], fast[1], "< 1000");
    cpuRows(fast[0], fast[1], "-", "-");
    diskRows(fast[0], fast[1]);

    print("steady, {} records at {}/s ({:.0f} s, sync interval {} s)", slowRecords, o.slowRate,
          static_cast<double>(slowRecords) / o.slowRate, o.syncInterval);
    latencyRows(slow[0], slow[1], "-");
    diskRows(slow[0], slow[1]);

    print("");
    print("{:<52} {:>10} {:>10} {:>10} {:>8}   {}", "per reading", "outbox off", "outbox on",
          "baseline", "base/on", "target");
    if (!withBaseline) {
      print("(no baseline: it needs {} with the modules serial and paho.mqtt, i.e. the packages",
            kPython);
      print(" python3-serial and python3-paho-mqtt, or it was turned off with --no-baseline)");
    }
    print("flood, {} records", o.records);
    costRows(floodOff, floodOn, baseFlood ? &*baseFlood : nullptr, false, ">= 10x lower", "-", "-",
             "-");
    print("steady, {} records at {}/s", o.latencyRecords, o.rate);
    costRows(fast[0], fast[1], baseFast ? &*baseFast : nullptr, true, ">= 4x lower", "<= 8",
             "<= 2", "< 1000");
    print("steady, {} records at {}/s", slowRecords, o.slowRate);
    costRows(slow[0], slow[1], nullptr, true, "-", "-", "-", "-");

    print("");
    for (int m = 0; m < 2; ++m) {
      for (const GatewayRun& r : floods[m]) note(r, "flood");
      note(fast[m], "steady");
      note(slow[m], "slow");
    }
    print("Disk figures: /proc/PID/io of the daemon, read when it woke the board and {} s after",
          o.syncInterval + 1);
    print("the last receipt (one sync interval more), divided by the readings received.");
    print("write_bytes: page-cache bytes the daemon dirtied for the disk, each page once until");
    print("it is written back; wchar: bytes passed to write() on any file, the pipe of its");
    print("printed lines and the broker's socket included. Status directories under {} ({}).",
          parent.path.string(), parent.mount.type);
    return 0;
  } catch (const std::exception& e) {
    print("gateway_bench: {}", e.what());
    return 1;
  }
}
