// The program's own read(): it changes nothing outside the thread and the
// descriptor it was set up for.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <thread>

#include "vantro/mqtt/LibcOverrides.hpp"

using vantro::Bytes;
using vantro::mqtt::ReadFeed;

namespace {

struct Pair {
  int fd[2] = {-1, -1};
  Pair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~Pair() {
    ::close(fd[0]);
    ::close(fd[1]);
  }
};

TEST(ReadFeed, ServesItsDescriptorFromTheBytesThenWhatTheSocketSaid) {
  Pair pair;
  Pair other;
  ASSERT_EQ(::write(pair.fd[1], "real", 4), 4);
  ASSERT_EQ(::write(other.fd[1], "else", 4), 4);
  const Bytes fed{1, 2, 3, 4, 5};
  std::array<char, 8> buf{};
  {
    const ReadFeed feed(pair.fd[0], fed);
    EXPECT_EQ(::read(pair.fd[0], buf.data(), 1), 1);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(::read(pair.fd[0], buf.data(), buf.size()), 4);
    EXPECT_EQ(buf[3], 5);
    EXPECT_FALSE(feed.finished());
    EXPECT_EQ(::read(pair.fd[0], buf.data(), buf.size()), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_TRUE(feed.finished());
    // Another descriptor, and the same one on another thread, read as ever.
    EXPECT_EQ(::read(other.fd[0], buf.data(), buf.size()), 4);
    long elsewhere = 0;
    std::thread([&] { elsewhere = ::read(pair.fd[0], buf.data(), buf.size()); }).join();
    EXPECT_EQ(elsewhere, 4);
    EXPECT_EQ(feed.calls(), 3u);
  }
  {
    const ReadFeed end(pair.fd[0], {}, ReadFeed::kEndOfStream);
    EXPECT_EQ(::read(pair.fd[0], buf.data(), buf.size()), 0);
  }
  {
    const ReadFeed reset(pair.fd[0], {}, ECONNRESET);
    EXPECT_EQ(::read(pair.fd[0], buf.data(), buf.size()), -1);
    EXPECT_EQ(errno, ECONNRESET);
  }
  // Gone: the socket is read itself.
  ASSERT_EQ(::write(pair.fd[1], "more", 4), 4);
  EXPECT_EQ(::read(pair.fd[0], buf.data(), buf.size()), 4);
}

}  // namespace
