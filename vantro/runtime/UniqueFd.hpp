#pragma once
// The one owner of raw file descriptors: closes what it holds when it goes.
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace vantro {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  /// Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  /// Closes and reports the error of close(), which for some file systems is
  /// the first sign that written data did not reach the disk.
  void closeChecked(const std::string& what) {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0) {
      throw std::system_error(errno, std::generic_category(), "cannot close " + what);
    }
  }

 private:
  int fd_ = -1;
};

}  // namespace vantro
