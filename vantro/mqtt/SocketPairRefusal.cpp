#include "vantro/mqtt/SocketPairRefusal.hpp"

#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

namespace vantro::mqtt {
namespace {

thread_local bool tRefused = false;

}  // namespace

SocketPairRefusal::SocketPairRefusal() : previous_(std::exchange(tRefused, true)) {}

SocketPairRefusal::~SocketPairRefusal() {
  tRefused = previous_;
}

}  // namespace vantro::mqtt

// Defined in the program, this socketpair() is the one that the shared
// libraries call too; it hands everything but a refused call on to the C
// library's (or a sanitizer's) own.
extern "C" int socketpair(int domain, int type, int protocol, int fds[2]) noexcept {
  if (vantro::mqtt::tRefused) {
    errno = EMFILE;
    return -1;
  }
  using Next = int (*)(int, int, int, int*);
  static const auto next = reinterpret_cast<Next>(::dlsym(RTLD_NEXT, "socketpair"));
  if (next == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return next(domain, type, protocol, fds);
}
