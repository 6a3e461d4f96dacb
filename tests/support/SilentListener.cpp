#include "tests/support/SilentListener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

namespace vantro::test {

SilentListener::SilentListener(int port) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  const int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener_, 0) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int err = errno;
    close();
    throw std::system_error(err, std::generic_category(),
                            "cannot listen on loopback port " + std::to_string(port));
  }
  port_ = ntohs(addr.sin_port);
  // Backlog 0 holds one or two connections; the rest of these stay in SYN_SENT.
  for (int& fd : fillers_) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  }
  // Let the handshakes of the queued ones complete.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

SilentListener::~SilentListener() {
  close();
}

void SilentListener::close() {
  for (int& fd : fillers_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

}  // namespace vantro::test
