// systemd notifications and watchdog keep-alives, received on a notify socket
// of the test's own (an AF_UNIX datagram socket in a temporary directory).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#include <asio/steady_timer.hpp>

#include "daemon/Notify.hpp"
#include "tests/support/PrintCapture.hpp"
#include "tests/support/TempDir.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro::daemon {
namespace {

using namespace std::chrono_literals;
using test::PrintCapture;
using test::TempDir;

// Listens on a notify socket and points $NOTIFY_SOCKET (and, when asked, the
// watchdog variables) at it for the test's lifetime: a file in the temporary
// directory, or with `abstractName` that name in the abstract namespace
// ("@name").
class NotifySocket {
 public:
  explicit NotifySocket(const TempDir& dir, const std::string& abstractName = {})
      : path_(abstractName.empty() ? (dir / "notify").string() : "@" + abstractName) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
    // An abstract name starts with a zero byte and ends where the length says.
    socklen_t len = sizeof addr;
    if (!abstractName.empty()) {
      addr.sun_path[0] = '\0';
      len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_.size());
    }
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
      throw std::system_error(errno, std::generic_category(), "bind " + path_);
    }
    ::setenv("NOTIFY_SOCKET", path_.c_str(), 1);
  }
  ~NotifySocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
    ::close(fd_);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  static void setWatchdog(std::chrono::microseconds usec, pid_t pid) {
    ::setenv("WATCHDOG_USEC", std::to_string(usec.count()).c_str(), 1);
    ::setenv("WATCHDOG_PID", std::to_string(pid).c_str(), 1);
  }

  /// The next datagram, or nothing within `wait`.
  std::optional<std::string> receive(std::chrono::milliseconds wait = 2000ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) return std::nullopt;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
  }
  /// Every datagram already queued.
  std::vector<std::string> drain() {
    std::vector<std::string> out;
    while (auto m = receive(0ms)) out.push_back(*m);
    return out;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

class Notify : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(Notify, StateChangesReachTheNotifySocket) {
  NotifySocket sock(dir_);
  ServiceNotifier n;
  EXPECT_FALSE(n.keepAliveInterval());
  n.ready();
  auto m = sock.receive();
  ASSERT_TRUE(m);
  EXPECT_NE(m->find("READY=1"), std::string::npos);
  n.reloading();
  m = sock.receive();
  ASSERT_TRUE(m);
  EXPECT_NE(m->find("RELOADING=1"), std::string::npos);
  EXPECT_NE(m->find("MONOTONIC_USEC="), std::string::npos);
  n.stopping();
  m = sock.receive();
  ASSERT_TRUE(m);
  EXPECT_NE(m->find("STOPPING=1"), std::string::npos);
}

TEST_F(Notify, AbstractSocketAddressIsReached) {
  // Unique per process: the abstract namespace is shared by the whole host.
  NotifySocket sock(dir_, "vantro-notify-test-" + std::to_string(::getpid()));
  ServiceNotifier n;
  n.ready();
  const auto m = sock.receive();
  ASSERT_TRUE(m);
  EXPECT_EQ(*m, "READY=1\nSTATUS=Bridge running");
}

// A bad address or a missing listener is reported once, and the daemon goes on.
TEST_F(Notify, FailedSendsAreReportedOnce) {
  ::setenv("NOTIFY_SOCKET", "relative/notify", 1);
  {
    PrintCapture out;
    ServiceNotifier n;
    n.ready();
    n.keepAlive();
    ASSERT_EQ(out.lines().size(), 1u);
    EXPECT_NE(out.lines()[0].find("NOTIFY_SOCKET 'relative/notify' is neither"), std::string::npos);
  }
  ::setenv("NOTIFY_SOCKET", (dir_ / "nobody-listens").string().c_str(), 1);
  PrintCapture out;
  ServiceNotifier n;
  n.ready();
  n.stopping();
  ::unsetenv("NOTIFY_SOCKET");
  ASSERT_EQ(out.lines().size(), 1u);
  EXPECT_TRUE(out.containsPart("Service manager notification failed: No such file or directory"));
}

TEST_F(Notify, WithoutNotifySocketNothingHappens) {
  ::unsetenv("NOTIFY_SOCKET");
  ServiceNotifier n;
  n.ready();
  n.stopping();
  n.keepAlive();
  EXPECT_FALSE(n.keepAliveInterval());
}

TEST_F(Notify, WatchdogOfAnotherProcessIsNotOurs) {
  NotifySocket sock(dir_);
  NotifySocket::setWatchdog(10s, ::getpid() + 1);
  EXPECT_FALSE(ServiceNotifier().keepAliveInterval());
  NotifySocket::setWatchdog(10s, ::getpid());
  EXPECT_EQ(ServiceNotifier().keepAliveInterval(), 5s);
  // Without $WATCHDOG_PID the watchdog is ours; a malformed one is not.
  ::unsetenv("WATCHDOG_PID");
  EXPECT_EQ(ServiceNotifier().keepAliveInterval(), 5s);
  ::setenv("WATCHDOG_PID", "12x", 1);
  EXPECT_FALSE(ServiceNotifier().keepAliveInterval());
  ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
  ::setenv("WATCHDOG_USEC", "0", 1);
  EXPECT_FALSE(ServiceNotifier().keepAliveInterval());
}

// The bridge's teardown cancels every task of the loop; the keep-alive timer is
// no task and goes on, and it stops with its owner.
TEST_F(Notify, KeepAlivesOutliveACancelOfEveryTask) {
  NotifySocket sock(dir_);
  NotifySocket::setWatchdog(40ms, ::getpid());  // a keep-alive every 20 ms
  ServiceNotifier n;
  EventLoop loop;
  std::optional<WatchdogKeepAlive> keepAlive;
  keepAlive.emplace(loop.context(), n);
  loop.runUntilComplete([&]() -> Awaitable<void> {
    loop.spawn([]() -> Awaitable<void> { co_await sleep(10s); }, "idle");
    co_await sleep(50ms);
    for (const TaskPtr& t : loop.allTasks()) {
      if (t->name() != "main") t->cancel();
    }
    sock.drain();
    co_await sleep(200ms);
  }());
  const auto afterCancel = sock.drain();
  ASSERT_GE(afterCancel.size(), 2u);
  for (const std::string& m : afterCancel) EXPECT_EQ(m, "WATCHDOG=1");

  keepAlive.reset();
  loop.runFor(100ms);
  EXPECT_TRUE(sock.drain().empty());
}

TEST_F(Notify, NoWatchdogNoKeepAlives) {
  NotifySocket sock(dir_);
  ServiceNotifier n;
  EventLoop loop;
  WatchdogKeepAlive keepAlive(loop.context(), n);
  loop.runFor(100ms);
  EXPECT_TRUE(sock.drain().empty());
}

}  // namespace
}  // namespace vantro::daemon
