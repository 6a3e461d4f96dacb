// End-to-end benchmark of the gateway: the simulated board floods "SD"
// records over a pseudo-terminal, the daemon publishes them to a local
// Mosquitto broker, and a subscriber in this process counts and time-stamps
// what arrives. Prints throughput, losses, the daemon's CPU time per record and
// peak resident memory, the board-to-subscriber latency at a steady rate, and
// the ceiling of the rig itself (mosquitto_pub -l into the same subscriber).
// It prints figures beside their targets and never fails on a timing.
//
//   gateway_bench [--records N] [--latency-records N] [--rate R] [--quick]
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
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

struct GatewayRun {
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
  double sendRate = 0;           // records per second the board got rid of
  long maxRssKb = 0;
  std::vector<double> latenciesUs;
  std::size_t unmatched = 0;
  bool ok = false;
};

GatewayRun runGateway(std::size_t records, std::optional<double> rate) {
  GatewayRun result;
  vantro::test::TempDir dir;
  fs::permissions(dir.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::create_directories(dir / "status");
  giveToDaemonUser(dir / "status");
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
                                   std::to_string(records),
                                   "--tx-log",
                                   txLog.string()};
  if (rate) {
    simArgs.insert(simArgs.end(), {"--rate", std::to_string(*rate)});
  } else {
    simArgs.push_back("--flood");
  }
  vantro::test::Process board(simArgs);
  if (board.waitForPart("PTY /dev/", 10s) < 0) {
    print("the simulated board did not start:\n{}", board.output());
    return result;
  }
  giveToDaemonUser(fs::canonical(link));

  Daemon gw({binDir() + "/vantro-gateway", "--serial-device", link, "--broker", "127.0.0.1",
             "--broker-port", std::to_string(broker.port()), "--status-dir",
             (dir / "status").string(), "--no-hat-reset"});
  if (!gw.waitForLine("Waking Duzediv Eri up", 20s)) {
    print("the gateway did not wake the board:\n{}", gw.output());
    return result;
  }
  const double cpuAtStart = gw.cpuSecondsSoFar();
  result.rssAtStartMb = gw.statusMb();

  // The flood of 20,000 records takes a few seconds; allow a slow machine.
  const auto limit = std::chrono::seconds(30 + records / 200);
  if (board.waitForPart("TRAFFIC DONE",
                        std::chrono::duration_cast<std::chrono::milliseconds>(limit)) < 0) {
    print("the board did not finish its traffic");
  }
  result.received = sub.waitFor(records, 3s, limit);
  // Of the resident memory, the pages of the program and its shared libraries
  // (shared with every other process that maps them) and the daemon's own.
  result.rssFileMb = gw.statusMb("RssFile:");
  result.rssAnonMb = gw.statusMb("RssAnon:");
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
};

Options parseOptions(int argc, char** argv) {
  Options o;
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
    } else if (a == "--quick") {
      o.records = 5000;
      o.latencyRecords = 1000;
    } else if (a == "--help" || a == "-h") {
      print("usage: gateway_bench [--records N] [--latency-records N] [--rate R] [--quick]");
      print("  --records N          records of the flood and of the rig ceiling (20000)");
      print("  --latency-records N  records of the steady-rate latency phase (5000)");
      print("  --rate R             records per second of the latency phase (500)");
      print("  --quick              5000 and 1000 records");
      std::exit(0);
    } else {
      throw std::invalid_argument("unknown option " + a);
    }
  }
  if (o.records < 2 || o.latencyRecords < 2 || !(o.rate > 0)) {
    throw std::invalid_argument("--records and --latency-records must be at least 2, --rate > 0");
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options o = parseOptions(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);

    print("rig ceiling: mosquitto_pub -l -q 1, {} messages ...", o.records);
    const CeilingRun ceiling = runCeiling(o.records);

    print("flood: {} SD records ...", o.records);
    const GatewayRun flood = runGateway(o.records, std::nullopt);

    print("steady rate: {} SD records at {}/s ...", o.latencyRecords, o.rate);
    const GatewayRun steady = runGateway(o.latencyRecords, o.rate);

    const double target = std::min(20000.0, ceiling.rate);
    print("");
    print("{:<44} {:>14}   {}", "figure", "measured", "target");
    print("{:<44} {:>14.0f}   -", "rig ceiling (mosquitto_pub -l), msg/s", ceiling.rate);
    print("{:<44} {:>14}   0", "rig ceiling, lost",
          static_cast<long long>(ceiling.published) - static_cast<long long>(ceiling.received));
    if (flood.ok) {
      print("{:<44} {:>14.0f}   >= {:.0f} (ceiling or 20000)", "flood, records/s (receipts)",
            flood.rate, target);
      print("{:<44} {:>14.0f}   -", "flood, records/s (first write to last)", flood.rateFromSend);
      print("{:<44} {:>14}   0", "flood, lost (sent per tx-log - received)",
            static_cast<long long>(flood.sent) - static_cast<long long>(flood.received));
      print("{:<44} {:>14.2f}   <= 15", "daemon CPU per record, us (whole run)",
            flood.cpuPerRecordUs);
      print("{:<44} {:>14.2f}   <= 15", "daemon CPU per record, us (after start-up)",
            flood.cpuNetPerRecordUs);
      print("{:<44} {:>14.0f}   -", "  user-space share of that CPU time, %",
            flood.userShare * 100);
      print("{:<44} {:>14.2f}   < 8", "daemon peak resident memory, MB",
            static_cast<double>(flood.maxRssKb) / 1024.0);
      print("{:<44} {:>14.2f}   -", "  resident before the traffic, MB", flood.rssAtStartMb);
      print("{:<44} {:>14.2f}   -", "  after it: program and library pages, MB",
            flood.rssFileMb);
      print("{:<44} {:>14.2f}   -", "  after it: heap and stacks, MB", flood.rssAnonMb);
      print("{:<44} {:>14.0f}   -", "  board's send rate (tx-log), records/s", flood.sendRate);
    } else {
      print("flood: the run failed");
    }
    if (steady.ok) {
      print("{:<44} {:>14}   0", "steady, lost",
            static_cast<long long>(steady.sent) - static_cast<long long>(steady.received));
      print("{:<44} {:>14.0f}   -", "steady, latency p50, us", percentile(steady.latenciesUs, 50));
      print("{:<44} {:>14.0f}   < 1000", "steady, latency p99, us",
            percentile(steady.latenciesUs, 99));
      print("{:<44} {:>14.0f}   -", "steady, latency max, us", percentile(steady.latenciesUs, 100));
      if (steady.unmatched) print("steady: {} receipts had no sent record", steady.unmatched);
    } else {
      print("steady: the run failed");
    }
    return 0;
  } catch (const std::exception& e) {
    print("gateway_bench: {}", e.what());
    return 1;
  }
}
