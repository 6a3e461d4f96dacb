#include "sim/Pty.hpp"

#include <climits>
#include <stdexcept>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>

namespace sim {

namespace {

void makeRaw(int fd, const char* which) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) throwErrno(std::string("tcgetattr on the pty ") + which);
  ::cfmakeraw(&t);
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) throwErrno(std::string("tcsetattr on the pty ") + which);
}

void setFlags(int fd, int fdFlags, int statusFlags) {
  if (::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | fdFlags) != 0 ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | statusFlags) != 0)
    throwErrno("fcntl on the pty");
}

}  // namespace

Pty Pty::open() {
  int master = -1;
  int slave = -1;
  char name[PATH_MAX] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throwErrno("openpty");
  Pty p;
  p.master_ = Fd(master);
  p.slave_ = Fd(slave);
  p.slavePath_ = name;
  makeRaw(slave, "slave");
  makeRaw(master, "master");
  setFlags(master, FD_CLOEXEC, O_NONBLOCK);
  setFlags(slave, FD_CLOEXEC, 0);
  return p;
}

void Pty::hangUp() {
  master_.reset();
  slave_.reset();
}

Symlink::Symlink(std::string linkPath, const std::string& target) : path_(std::move(linkPath)) {
  retarget(target);
}

Symlink::~Symlink() {
  remove();
}

void Symlink::retarget(const std::string& target) {
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode))
      throw std::runtime_error("--link " + path_ +
                               " exists and is not a symlink; not replacing it");
    if (::unlink(path_.c_str()) != 0) throwErrno("cannot remove the old symlink " + path_);
  }
  if (::symlink(target.c_str(), path_.c_str()) != 0)
    throwErrno("cannot create the symlink " + path_ + " to " + target);
  target_ = target;
}

void Symlink::remove() {
  if (path_.empty() || target_.empty()) return;
  char buf[PATH_MAX] = {};
  const ssize_t n = ::readlink(path_.c_str(), buf, sizeof buf - 1);
  if (n >= 0 && std::string(buf, static_cast<std::size_t>(n)) == target_) ::unlink(path_.c_str());
  target_.clear();
}

}  // namespace sim
