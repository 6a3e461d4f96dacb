#include "tests/support/Broker.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace vantro::test {
namespace {

using namespace std::chrono_literals;

// A broker starts in a few milliseconds; this is for a loaded machine.
constexpr auto kStartTimeout = 10s;
// SIGTERM makes it save its database and exit at once.
constexpr auto kStopTimeout = 5s;

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throwErrno("socket");
  const sockaddr_in addr = loopback(port);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// Runs a program to its end with output going to `logPath`; returns its exit status.
int runProgram(const std::vector<std::string>& args, const std::string& logPath) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throwErrno("fork");
  if (pid == 0) {
    const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throwErrno("waitpid");
  }
  return status;
}

}  // namespace

int freeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throwErrno("socket");
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
    const int err = errno;
    ::close(fd);
    throw std::system_error(err, std::generic_category(), "bind to a free loopback port");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

Broker::Broker() : Broker(Options{}) {}

Broker::Broker(Options options) : port_(freeLoopbackPort()) {
  std::ofstream conf(dir_ / "mosquitto.conf");
  if (::geteuid() == 0) conf << "user root\n";
  conf << "listener " << port_ << " " << host_ << "\n"
       << "persistence true\n"
       << "persistence_location " << dir() << "/\n";
  if (options.users.empty()) {
    conf << "allow_anonymous true\n";
  } else {
    const std::string passwd = (dir_ / "passwd").string();
    for (const auto& [user, password] : options.users) {
      std::vector<std::string> args{"mosquitto_passwd", "-b"};
      if (&user == &options.users.front().first) args.push_back("-c");
      args.insert(args.end(), {passwd, user, password});
      const int status = runProgram(args, (dir_ / "mosquitto_passwd.log").string());
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("mosquitto_passwd failed for user " + user + " (status " +
                                 std::to_string(status) + ")");
      }
    }
    conf << "allow_anonymous false\n"
         << "password_file " << passwd << "\n";
  }
  if (options.tls) {
    tlsPort_ = freeLoopbackPort();
    conf << "listener " << tlsPort_ << " " << host_ << "\n"
         << "cafile " << options.tls->caFile << "\n"
         << "certfile " << options.tls->certFile << "\n"
         << "keyfile " << options.tls->keyFile << "\n"
         << "require_certificate " << (options.tls->requireCertificate ? "true" : "false") << "\n";
  }
  for (const auto& line : options.extraConfig) conf << line << "\n";
  conf.close();
  if (!conf) throw std::runtime_error("cannot write " + (dir_ / "mosquitto.conf").string());
  start();
}

Broker::~Broker() {
  try {
    stop();
  } catch (...) {
  }
}

void Broker::start() {
  if (running()) return;
  const std::string confPath = (dir_ / "mosquitto.conf").string();
  const std::string logPath = (dir_ / "mosquitto.log").string();
  const pid_t pid = ::fork();
  if (pid < 0) throwErrno("fork");
  if (pid == 0) {
    const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
    }
    ::execlp("mosquitto", "mosquitto", "-c", confPath.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  pid_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (!accepts(port_) || (tlsPort_ != 0 && !accepts(tlsPort_))) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("mosquitto exited at start (status " + std::to_string(status) +
                               "):\n" + log());
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill();
      throw std::runtime_error("mosquitto did not accept on port " + std::to_string(port_) + ":\n" +
                               log());
    }
    std::this_thread::sleep_for(5ms);
  }
}

void Broker::stop() {
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  ::kill(pid_, SIGCONT);  // a paused broker too
  waitForExit();
}

void Broker::kill() {
  if (!running()) return;
  ::kill(pid_, SIGKILL);
  waitForExit();
}

void Broker::pause() {
  if (running()) ::kill(pid_, SIGSTOP);
}

void Broker::resume() {
  if (running()) ::kill(pid_, SIGCONT);
}

void Broker::waitForExit() {
  const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(2ms);
  }
  pid_ = -1;
}

std::string Broker::log() const {
  std::ifstream in(dir_ / "mosquitto.log");
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace vantro::test
