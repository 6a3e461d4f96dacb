#include "vantro/mqtt/HostLookup.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include <asio/post.hpp>

namespace vantro {
namespace {

bool isNumericAddress(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), buf) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

HostLookup::HostLookup(asio::any_io_executor loop, Callback done)
    : loop_(std::move(loop)), done_(std::move(done)) {}

std::shared_ptr<HostLookup> HostLookup::start(asio::any_io_executor loop, std::string host,
                                              Callback done) {
  auto lookup = std::make_shared<HostLookup>(std::move(loop), std::move(done));
  if (isNumericAddress(host)) {
    lookup->deliver(Result{{host}, {}});
  } else {
    // Detached: a name server that never answers must not hold up the owner.
    // The thread keeps the object alive until it has delivered or dropped.
    std::thread([lookup, name = std::move(host)] { lookup->deliver(resolve(name)); }).detach();
  }
  return lookup;
}

void HostLookup::abandon() {
  std::lock_guard lock(mutex_);
  abandoned_ = true;
  done_ = nullptr;
}

void HostLookup::deliver(Result result) {
  // Posted under the lock: once abandon() has returned nothing is posted any
  // more, so the loop may go once its owner has abandoned the look-up.
  std::lock_guard lock(mutex_);
  if (abandoned_) return;
  asio::post(loop_, [self = shared_from_this(), r = std::move(result)]() mutable {
    Callback cb;
    {
      std::lock_guard inner(self->mutex_);
      if (self->abandoned_) return;
      cb = std::move(self->done_);
    }
    if (cb) cb(std::move(r));
  });
}

HostLookup::Result HostLookup::resolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    const int err = errno;
    return {{}, rc == EAI_SYSTEM ? std::strerror(err) : ::gai_strerror(rc)};
  }
  Result result;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    char text[NI_MAXHOST];
    if (::getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) !=
        0) {
      continue;
    }
    if (std::find(result.addresses.begin(), result.addresses.end(), text) ==
        result.addresses.end()) {
      result.addresses.emplace_back(text);
    }
  }
  ::freeaddrinfo(list);
  if (result.addresses.empty()) result.error = "no address found";
  return result;
}

}  // namespace vantro
