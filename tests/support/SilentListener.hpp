#pragma once
// A broker whose host does not answer, on loopback: a listening socket with
// backlog 0 whose accept queue is filled with connections nobody accepts.
// Further SYNs to its port are dropped silently, so a connect() to it waits
// for the kernel's SYN retries (minutes). Closing it ends the outage; a real
// broker may then listen on the same port.
//
//   SilentListener silent(broker.port());   // after broker.stop()
//   ...
//   silent.close();
//   broker.start();
namespace vantro::test {

class SilentListener {
 public:
  /// Listens on 127.0.0.1:`port` (0: a free port) and fills the accept queue.
  /// Throws std::system_error when the port cannot be taken.
  explicit SilentListener(int port = 0);
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  int port() const { return port_; }
  /// Closes the listener and the queued connections. Idempotent.
  void close();

 private:
  int listener_ = -1;
  int fillers_[3] = {-1, -1, -1};
  int port_ = 0;
};

}  // namespace vantro::test
