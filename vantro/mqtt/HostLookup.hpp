#pragma once
// The broker's addresses, looked up on a thread of its own: getaddrinfo blocks
// for as long as the name server takes (seconds when it is unreachable), and
// the event loop must not wait with it. A host given as a numeric address needs
// no thread.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <asio/any_io_executor.hpp>

namespace vantro {

class HostLookup : public std::enable_shared_from_this<HostLookup> {
 public:
  struct Result {
    /// Numeric addresses ("192.0.2.7", "::1") in the resolver's order; empty on failure.
    std::vector<std::string> addresses;
    /// Why the look-up failed; empty on success.
    std::string error;
  };
  using Callback = std::function<void(Result)>;

  /// Starts the look-up of `host` and returns at once; `done` runs later on
  /// `loop`, never inside start(). The owner must call abandon() before `loop`
  /// goes. Throws std::system_error if no thread can be started.
  static std::shared_ptr<HostLookup> start(asio::any_io_executor loop, std::string host,
                                           Callback done);

  /// Makes sure `done` is never called. The look-up's thread, if still waiting
  /// for the name server, ends by itself later and drops its result.
  void abandon();

  /// The look-up itself, blocking the calling thread.
  static Result resolve(const std::string& host);

  HostLookup(asio::any_io_executor loop, Callback done);

 private:
  void deliver(Result result);

  std::mutex mutex_;
  bool abandoned_ = false;
  asio::any_io_executor loop_;
  Callback done_;
};

}  // namespace vantro
