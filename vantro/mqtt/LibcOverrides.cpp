// This file defines read() and socketpair() for the whole program, and so
// must not see the C library's inline wrappers of them.
#undef _FORTIFY_SOURCE
#include "vantro/mqtt/LibcOverrides.hpp"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace vantro::mqtt {
namespace {

thread_local bool tRefused = false;
thread_local ReadFeed* tFeed = nullptr;

// The definition that the program's own one hides: the C library's, or a
// sanitizer's wrapper of it.
template <typename F>
F* next(const char* name) {
  return reinterpret_cast<F*>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

SocketPairRefusal::SocketPairRefusal() : previous_(std::exchange(tRefused, true)) {}

SocketPairRefusal::~SocketPairRefusal() {
  tRefused = previous_;
}

ReadFeed::ReadFeed(int fd, ByteView bytes, int after)
    : fd_(fd), bytes_(bytes), after_(after), previous_(std::exchange(tFeed, this)) {}

ReadFeed::~ReadFeed() {
  tFeed = previous_;
}

long ReadFeed::serve(void* buf, std::size_t count) {
  ++calls_;
  if (at_ < bytes_.size() && count > 0) {
    const std::size_t n = std::min(count, bytes_.size() - at_);
    std::memcpy(buf, bytes_.data() + at_, n);
    at_ += n;
    return static_cast<long>(n);
  }
  if (count == 0) return 0;
  finished_ = true;
  if (after_ == kEndOfStream) return 0;
  errno = after_;
  return -1;
}

}  // namespace vantro::mqtt

extern "C" int socketpair(int domain, int type, int protocol, int fds[2]) noexcept {
  if (vantro::mqtt::tRefused) {
    errno = EMFILE;
    return -1;
  }
  static auto* const real = vantro::mqtt::next<int(int, int, int, int*)>("socketpair");
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real(domain, type, protocol, fds);
}

extern "C" ssize_t read(int fd, void* buf, size_t count) {
  vantro::mqtt::ReadFeed* const feed = vantro::mqtt::tFeed;
  if (feed != nullptr && feed->feeds(fd)) return feed->serve(buf, count);
  static auto* const real = vantro::mqtt::next<ssize_t(int, void*, size_t)>("read");
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real(fd, buf, count);
}
