#pragma once
// The serial link to the Duzediv Eri: a raw 8N1 port without flow control.
//
// Reads: read_async(n) and readline_async() are awaited on the event loop;
// read(n) blocks the calling thread. All readers share one read-ahead buffer,
// so they see one byte stream in order (a byte does not cost a system call).
// Every read waits at most the read time-out (1 s) for the rest of what it asks.
// The loop reads the device once each time it signals bytes, into the buffer:
// no read that only finds it empty, no re-arming of the descriptor per read.
//
// Writes come from the event-loop thread and from the transmit worker. A whole
// command is written with writeCommand() (or several writes under lock()), so
// that no two commands interleave on the line.
//
// The port is set up so that opening and closing it never toggles DTR or RTS
// (HUPCL cleared): only the GPIO line may reset the board.
//
// Threads: async reads and close() belong to the event-loop thread; write(),
// flush(), writeCommand(), lock() and read() may be called from any thread.
// The link must outlive every read in progress and be destroyed before its
// io_context.
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>

#include <asio/io_context.hpp>

#include "vantro/runtime/Bytes.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro {

/// The device behind a serial link went away: a hang-up, an I/O error or a
/// failed read. The link is of no more use; the device may come back under
/// the same path.
class SerialLinkLost : public std::system_error {
 public:
  using std::system_error::system_error;
};

class SerialLink {
 public:
  static constexpr std::chrono::milliseconds kDefaultReadTimeout{1000};
  /// A UART without flow control always drains; a write that makes no progress
  /// for this long means the device is stuck, and is reported instead of hanging.
  static constexpr std::chrono::seconds kWriteStallTimeout{10};

  /// Opens `path` at `baud` (any standard rate, 50 to 4000000). Throws
  /// std::system_error naming the path and the reason (e.g. "No such file or
  /// directory"), or std::invalid_argument for a rate that is not standard.
  SerialLink(asio::io_context& io, std::string path, unsigned baud,
             std::chrono::milliseconds readTimeout = kDefaultReadTimeout);
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  const std::string& path() const;
  bool isOpen() const;

  /// Up to `n` bytes: all `n`, or fewer (possibly none) when the read time-out
  /// (measured from the call) passed without the rest. Throws SerialLinkLost
  /// when the device went away (hang-up, EIO), std::system_error when the link
  /// is or gets closed, and
  /// Cancelled when the awaiting task is cancelled. A read takes its bytes from
  /// the shared buffer only when it returns them, so a cancelled read loses none.
  Awaitable<Bytes> read_async(std::size_t n);
  /// One line including its line end ("\n", so "\r\n" too), or what arrived
  /// before the time-out, possibly nothing.
  Awaitable<Bytes> readline_async();
  /// As read_async, blocking the calling thread. Not while the loop runs on
  /// another thread with an async read pending: the two would race for the
  /// device's bytes. Callers use one or the other at a time.
  Bytes read(std::size_t n);

  /// Writes all bytes, in order; blocks until the kernel took them. Throws
  /// std::system_error on a closed link, a device that went away, or when the
  /// device took nothing for kWriteStallTimeout.
  void write(ByteView bytes);
  void write(std::string_view s) {
    write(ByteView(reinterpret_cast<const Byte*>(s.data()), s.size()));
  }
  /// Returns when the written bytes have left the host (tcdrain).
  void flush();
  /// Writes one whole command and flushes, under the write lock.
  void writeCommand(ByteView command);
  /// Holds the write lock over several writes that form one command.
  std::unique_lock<std::recursive_mutex> lock();

  /// Closes the port; closing a closed link does nothing. Pending async reads
  /// end with an error.
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantro
