// The status directory must be writable by the account the gateway runs as:
// the gateway UID file and the peer state files are written there, and a
// gateway that finds out only when the board asks it to store a peer's state
// would lose that state.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "vantro/bridge/Bridge.hpp"
#include "vantro/bridge/PrivilegeDrop.hpp"

namespace vantro {
namespace {

// Whether the account (uid, groups) may create files in a directory with `st`.
bool mayWrite(const struct stat& st, uid_t uid, const std::vector<gid_t>& groups) {
  constexpr mode_t kUser = S_IWUSR | S_IXUSR;
  constexpr mode_t kGroup = S_IWGRP | S_IXGRP;
  constexpr mode_t kOther = S_IWOTH | S_IXOTH;
  if (uid == 0) return true;
  if (st.st_uid == uid) return (st.st_mode & kUser) == kUser;
  if (std::find(groups.begin(), groups.end(), st.st_gid) != groups.end()) {
    return (st.st_mode & kGroup) == kGroup;
  }
  return (st.st_mode & kOther) == kOther;
}

}  // namespace

void checkStatusDirWritable(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    throw std::runtime_error(fmt::format("status directory {}: {}", dir, std::strerror(errno)));
  }
  if (!S_ISDIR(st.st_mode)) {
    throw std::runtime_error(fmt::format("status directory {} is not a directory", dir));
  }
  struct statvfs fs {};
  if (::statvfs(dir.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0) {
    throw std::runtime_error(fmt::format("status directory {} is on a read-only file system", dir));
  }
  if (::getuid() != 0) {
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
      throw std::runtime_error(
          fmt::format("status directory {} is not writable: {}", dir, std::strerror(errno)));
    }
    return;
  }
  // Started as root: the gateway will run as the service account.
  const AccountDatabase& db = systemAccounts();
  uid_t uid = 0;
  std::vector<gid_t> groups;
  try {
    uid = db.userId(kServiceAccount);
    groups = db.groupsListing(kServiceAccount);
    groups.push_back(db.groupId(kServiceAccount));
  } catch (const std::exception&) {
    return;  // no service account: the privilege drop reports that
  }
  if (!mayWrite(st, uid, groups)) {
    throw std::runtime_error(fmt::format(
        "status directory {} is not writable by the service account {}", dir, kServiceAccount));
  }
}

}  // namespace vantro
