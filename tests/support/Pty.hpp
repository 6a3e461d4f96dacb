#pragma once
// A pseudo-terminal pair for tests of code that talks to a serial device.
//
//   vantro::test::Pty pty;
//   SerialLink link(io, pty.slavePath(), 115200);   // the code under test opens the slave
//   pty.write("HL\x02");                            // bytes the "board" sends
//   Bytes got = pty.read(4, 1s);                    // bytes the code under test sent
//   pty.closeMaster();                              // the adapter is unplugged
//
// The slave side is set raw (no echo, no line-end translation), so bytes pass
// unchanged both ways. The pair keeps a slave descriptor of its own open, so the
// master never sees a hang-up while the code under test closes and reopens the
// slave. Master operations are meant for the test's thread; they throw
// std::system_error when a system call fails.
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "vantro/runtime/Bytes.hpp"

namespace vantro::test {

class Pty {
 public:
  /// Opens a new pair (openpty). Throws std::system_error.
  Pty();
  /// Closes both sides (the master unless closeMaster() already did).
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  /// The device path of the slave side, e.g. "/dev/pts/3".
  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return master_; }
  /// The pair's own slave descriptor (e.g. for tcgetattr on the line settings).
  int slaveFd() const { return slave_; }

  /// Writes all bytes to the master: the code under test reads them from the slave.
  void write(ByteView bytes);
  void write(std::string_view s) {
    write(ByteView(reinterpret_cast<const Byte*>(s.data()), s.size()));
  }

  /// Reads from the master what the code under test wrote: returns as soon as
  /// `n` bytes arrived, or what arrived by `timeout` (possibly nothing).
  Bytes read(std::size_t n, std::chrono::milliseconds timeout);
  /// Everything that arrives until nothing more comes for `quiet`.
  Bytes readUntilQuiet(std::chrono::milliseconds quiet);

  /// Closes the master, as when the USB adapter is unplugged: the slave then
  /// reads end of file, writes fail with EIO, and the path no longer opens.
  /// Idempotent.
  void closeMaster();
  bool masterOpen() const { return master_ >= 0; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace vantro::test
