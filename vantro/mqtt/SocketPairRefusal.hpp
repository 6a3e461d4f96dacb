#pragma once
// libmosquitto 2.0 gives each client a socket pair for waking its own network
// thread, and writes a byte to it with every packet it queues. This program
// runs no such thread and nobody reads the pair: once its buffer is full each
// of those writes fails, a wasted system call per publication. A client made
// while a SocketPairRefusal is alive on the calling thread gets no pair
// (socketpair() fails there, which libmosquitto accepts) and never writes to
// one. Other threads, and this one before and after, are not affected.
namespace vantro::mqtt {

class SocketPairRefusal {
 public:
  SocketPairRefusal();
  ~SocketPairRefusal();
  SocketPairRefusal(const SocketPairRefusal&) = delete;
  SocketPairRefusal& operator=(const SocketPairRefusal&) = delete;

 private:
  bool previous_;
};

}  // namespace vantro::mqtt
