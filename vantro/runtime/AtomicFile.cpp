#include "vantro/runtime/AtomicFile.hpp"

#include "vantro/runtime/UniqueFd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

namespace vantro {
namespace {

[[noreturn]] void throwErrno(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

void writeAll(int fd, ByteView content, const std::string& path) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, fmt::format("cannot write {}", path));
    }
    done += static_cast<std::size_t>(n);
  }
}

void syncDirectory(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) throwErrno(errno, fmt::format("cannot open directory {}", dir));
  if (::fsync(fd.get()) != 0) throwErrno(errno, fmt::format("cannot sync directory {}", dir));
}

}  // namespace

bool writeFileAtomically(const std::string& dir, const std::string& name, ByteView content,
                         AtomicWrite mode, const BeforeCommitHook& beforeCommit, mode_t fileMode) {
  const std::string target = dir + "/" + name;
  // A leading dot keeps the temporary file out of "*.status" listings.
  std::string temp = dir + "/." + name + ".XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) throwErrno(errno, fmt::format("cannot create a temporary file for {}", target));

  bool committed = false;
  try {
    if (::fchmod(fd.get(), fileMode) != 0) throwErrno(errno, fmt::format("cannot chmod {}", temp));
    writeAll(fd.get(), content, temp);
    if (::fsync(fd.get()) != 0) throwErrno(errno, fmt::format("cannot sync {}", temp));
    fd.closeChecked(temp);
    if (beforeCommit) beforeCommit(temp);

    if (mode == AtomicWrite::Replace) {
      if (::rename(temp.c_str(), target.c_str()) != 0) {
        throwErrno(errno, fmt::format("cannot rename {} to {}", temp, target));
      }
      committed = true;
    } else {
      if (::link(temp.c_str(), target.c_str()) != 0) {
        if (errno != EEXIST) throwErrno(errno, fmt::format("cannot link {} to {}", temp, target));
      } else {
        committed = true;
      }
      ::unlink(temp.c_str());
      if (!committed) return false;
    }
  } catch (...) {
    if (!committed) ::unlink(temp.c_str());
    throw;
  }
  syncDirectory(dir);
  return true;
}

Bytes readSmallFile(const std::string& path, std::size_t maxBytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) throwErrno(errno, fmt::format("cannot open {}", path));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throwErrno(errno, fmt::format("cannot stat {}", path));
  if (S_ISDIR(st.st_mode)) throw std::runtime_error(fmt::format("{} is a directory", path));
  if (!S_ISREG(st.st_mode)) throw std::runtime_error(fmt::format("{} is not a regular file", path));

  // One byte more than allowed tells an overlong file from one of exactly maxBytes.
  Bytes out(maxBytes + 1);
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, fmt::format("cannot read {}", path));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > maxBytes) {
    throw std::runtime_error(fmt::format("{} is longer than {} bytes", path, maxBytes));
  }
  out.resize(got);
  return out;
}

}  // namespace vantro
