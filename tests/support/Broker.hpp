#pragma once
// A real Mosquitto broker for tests, on a free loopback port:
//
//   vantro::test::Broker broker;                          // started, accepting
//   client.connect("127.0.0.1", broker.port(), 60);
//   broker.stop();                                        // SIGTERM: saves its state
//   broker.start();                                       // same port, same state
//
//   vantro::test::Broker secured({.users = {{"alice", "secret"}}});  // anonymous refused
//   vantro::test::Broker tls({.tls = Broker::TlsListener{ca, cert, key}});
//   client.connect("127.0.0.1", tls.tlsPort(), 60);       // port() stays plain
//
// The broker runs with persistence in its own temporary directory (removed
// with the object), so a durable session and its queued messages survive
// stop() and start(). As root it keeps running as root ("user root"), since
// the user it would otherwise switch to cannot write that directory. Its output
// goes to a log file (log()). Calls block the calling thread briefly (start
// waits until the port accepts, stop until the process is gone). Throws
// std::runtime_error when the broker does not come up.
#include <sys/types.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TempDir.hpp"

namespace vantro::test {

class Broker {
 public:
  struct TlsListener {
    std::string caFile;  // the CA that client certificates must come from
    std::string certFile;
    std::string keyFile;
    bool requireCertificate = false;
  };
  struct Options {
    /// User names and passwords for a password file; when not empty,
    /// anonymous clients are refused.
    std::vector<std::pair<std::string, std::string>> users = {};
    /// Further mosquitto.conf lines, e.g. "max_queued_messages 100000".
    std::vector<std::string> extraConfig = {};
    /// A second listener, on tlsPort(), that speaks TLS with these PEM files.
    std::optional<TlsListener> tls = std::nullopt;
  };

  /// Picks a free port, writes the configuration and starts the broker.
  Broker();
  explicit Broker(Options options);
  /// Stops the broker if it runs.
  ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  int port() const { return port_; }
  /// The TLS listener's port; 0 without one.
  int tlsPort() const { return tlsPort_; }
  const std::string& host() const { return host_; }
  bool running() const { return pid_ > 0; }
  /// The broker's directory (configuration, log, persistence file).
  std::string dir() const { return dir_.str(); }

  /// Starts the broker on the same port (after stop()) and waits until it accepts.
  void start();
  /// Sends SIGTERM (the broker saves its state) and waits for the process; a
  /// broker still there after 5 s gets SIGKILL. No effect when stopped.
  void stop();
  /// Sends SIGKILL: the broker dies without saving anything.
  void kill();
  /// SIGSTOP and SIGCONT: connections stay open but nothing is read.
  void pause();
  void resume();

  /// What the broker printed so far.
  std::string log() const;

 private:
  void waitForExit();

  TempDir dir_;
  std::string host_ = "127.0.0.1";
  int port_ = 0;
  int tlsPort_ = 0;
  pid_t pid_ = -1;
};

/// A loopback port on which nothing listens (for "broker unreachable" cases).
int freeLoopbackPort();

}  // namespace vantro::test
