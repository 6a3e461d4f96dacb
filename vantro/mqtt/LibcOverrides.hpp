#pragma once
// Two C library calls that libmosquitto makes are answered by this program
// where that saves a system call per packet. Both act only while an object
// below is alive on the calling thread, and only on what it names; every
// other call, on any thread, goes to the C library (or a sanitizer) as usual.
#include <cerrno>
#include <cstddef>

#include "vantro/runtime/Bytes.hpp"

namespace vantro::mqtt {

// libmosquitto 2.0 gives each client a socket pair for waking its own network
// thread, and writes a byte to it with every packet it queues. This program
// runs no such thread and nobody reads the pair: once its buffer is full each
// of those writes fails, a wasted system call per publication. A client made
// while a SocketPairRefusal is alive gets no pair (socketpair() fails, which
// libmosquitto accepts) and never writes to one.
class SocketPairRefusal {
 public:
  SocketPairRefusal();
  ~SocketPairRefusal();
  SocketPairRefusal(const SocketPairRefusal&) = delete;
  SocketPairRefusal& operator=(const SocketPairRefusal&) = delete;

 private:
  bool previous_;
};

// libmosquitto reads a packet in pieces: its first byte, its length a byte at
// a time, then the rest, so an acknowledgement of four bytes takes three
// read() calls and a fourth to learn that nothing follows. While a ReadFeed
// is alive, read() of its descriptor is served from `bytes`, which the caller
// received from the socket in one call; once they are used up the next read
// answers what the socket answered after them: EAGAIN (nothing more yet),
// end of stream (`kEndOfStream`) or another error number.
class ReadFeed {
 public:
  static constexpr int kEndOfStream = 0;

  ReadFeed(int fd, ByteView bytes, int after = EAGAIN);
  ~ReadFeed();
  ReadFeed(const ReadFeed&) = delete;
  ReadFeed& operator=(const ReadFeed&) = delete;

  /// Every byte was read, and so was the answer after them.
  bool finished() const { return finished_; }
  /// read() calls served so far.
  std::size_t calls() const { return calls_; }

  /// For the program's read(): whether this feed answers reads of `fd`,
  /// and one such read.
  bool feeds(int fd) const { return fd == fd_; }
  long serve(void* buf, std::size_t count);

 private:
  const int fd_;
  const ByteView bytes_;
  const int after_;
  std::size_t at_ = 0;
  std::size_t calls_ = 0;
  bool finished_ = false;
  ReadFeed* previous_;
};

}  // namespace vantro::mqtt
