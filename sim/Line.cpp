#include "sim/Line.hpp"

#include <ctime>

#include <fcntl.h>
#include <fmt/format.h>

namespace sim {

namespace {

Fd openAppend(const std::string& path) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd.valid()) throwErrno("cannot open log file " + path);
  return fd;
}

void writeAll(int fd, ByteView b, const std::string& path) {
  std::size_t done = 0;
  while (done < b.size()) {
    const ssize_t n = ::write(fd, b.data() + done, b.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("cannot write log file " + path);
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

std::int64_t monotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

RxLog::RxLog(const std::string& path) : path_(path), fd_(openAppend(path)) {}

void RxLog::append(ByteView bytes) {
  writeAll(fd_.get(), bytes, path_);
}

TxLog::TxLog(const std::string& path) : path_(path), fd_(openAppend(path)) {}

void TxLog::sent(std::uint64_t seq, std::uint32_t uid, std::int64_t monotonicNs) {
  const std::string line = fmt::format("{} {} {}\n", seq, uid, monotonicNs);
  writeAll(fd_.get(), ByteView(reinterpret_cast<const Byte*>(line.data()), line.size()), path_);
}

void Line::send(ByteView record, std::uint64_t seq, std::uint32_t uid, bool cut) {
  if (!attached()) return;  // unplugged: the board talks into the void
  out_.insert(out_.end(), record.begin(), record.end());
  if ((seq != 0 || cut) && txLog_) marks_.push_back({out_.size(), cut ? 0 : seq, uid});
  flush();
}

void Line::flush() {
  while (attached() && written_ < out_.size()) {
    const ssize_t n = ::write(fd_, out_.data() + written_, out_.size() - written_);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      throwErrno("write to the pty master");
    }
    written_ += static_cast<std::size_t>(n);
  }
  if (!marks_.empty() && marks_.front().end <= written_) {
    const std::int64_t now = monotonicNs();
    while (!marks_.empty() && marks_.front().end <= written_) {
      txLog_->sent(marks_.front().seq, marks_.front().uid, now);
      marks_.pop_front();
    }
  }
  if (written_ == out_.size()) {
    out_.clear();
    written_ = 0;
  } else if (written_ > 65536) {  // drop the sent part now and then
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(written_));
    for (auto& m : marks_) m.end -= written_;
    written_ = 0;
  }
}

Bytes Line::receive() {
  Bytes in(4096);
  const ssize_t n = attached() ? ::read(fd_, in.data(), in.size()) : 0;
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return {};
    throwErrno("read from the pty master");
  }
  in.resize(static_cast<std::size_t>(n));
  if (rxLog_ && !in.empty()) rxLog_->append(in);
  return in;
}

}  // namespace sim
