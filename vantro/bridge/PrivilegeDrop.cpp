#include "vantro/bridge/PrivilegeDrop.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "vantro/bridge/Bridge.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

class SystemAccounts : public AccountDatabase {
 public:
  uid_t userId(const std::string& name) const override {
    errno = 0;
    const passwd* pw = ::getpwnam(name.c_str());
    if (!pw) throw std::runtime_error(fmt::format("getpwnam(): name not found: '{}'", name));
    return pw->pw_uid;
  }
  gid_t groupId(const std::string& name) const override {
    errno = 0;
    const group* gr = ::getgrnam(name.c_str());
    if (!gr) throw std::runtime_error(fmt::format("getgrnam(): name not found: '{}'", name));
    return gr->gr_gid;
  }
  std::vector<gid_t> groupsListing(const std::string& member) const override {
    static std::mutex m;  // getgrent walks one process-wide cursor
    std::lock_guard lock(m);
    std::vector<gid_t> out;
    ::setgrent();
    while (const group* gr = ::getgrent()) {
      for (char** mem = gr->gr_mem; mem && *mem; ++mem) {
        if (member == *mem) {
          out.push_back(gr->gr_gid);
          break;
        }
      }
    }
    ::endgrent();
    return out;
  }
};

void check(int rc, const char* what) {
  if (rc != 0) throw std::system_error(errno, std::generic_category(), what);
}

// Keeps CAP_SYS_TIME (and only it) across the change of user id, and raises it
// into the ambient set so that children started later have it too.
void keepOnlySysTime() {
  cap_value_t v[] = {CAP_SYS_TIME};
  cap_t caps = cap_init();
  if (!caps) throw std::system_error(errno, std::generic_category(), "cap_init");
  int rc = cap_set_flag(caps, CAP_PERMITTED, 1, v, CAP_SET);
  rc = rc ? rc : cap_set_flag(caps, CAP_EFFECTIVE, 1, v, CAP_SET);
  rc = rc ? rc : cap_set_flag(caps, CAP_INHERITABLE, 1, v, CAP_SET);
  rc = rc ? rc : cap_set_proc(caps);
  const int err = errno;
  cap_free(caps);
  if (rc != 0) throw std::system_error(err, std::generic_category(), "cap_set_proc(CAP_SYS_TIME)");
  check(::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_SYS_TIME, 0L, 0L),
        "prctl(PR_CAP_AMBIENT_RAISE, CAP_SYS_TIME)");
}

}  // namespace

const AccountDatabase& systemAccounts() {
  static const SystemAccounts db;
  return db;
}

void dropPrivilegesTo(const std::string& account, const AccountDatabase& db, bool keepSysTime) {
  if (::getuid() != 0) return;
  try {
    const uid_t running_uid = db.userId(account);
    const gid_t running_gid = db.groupId(account);
    const std::vector<gid_t> supplGroups = db.groupsListing(account);
    if (keepSysTime) check(::prctl(PR_SET_KEEPCAPS, 1L, 0L, 0L, 0L), "prctl(PR_SET_KEEPCAPS)");
    check(::setgroups(supplGroups.size(), supplGroups.data()), "setgroups");
    check(::setresgid(running_gid, running_gid, running_gid), "setresgid");
    check(::setresuid(running_uid, running_uid, running_uid), "setresuid");
    if (keepSysTime && running_uid != 0) keepOnlySysTime();
  } catch (...) {
    print("Could not set effective group/user id");
    throw;
  }
  if (::getuid() == 0) throw std::runtime_error("");
  print("Dropped root privileges");
  uid_t r = 0, e = 0, s = 0;
  ::getresuid(&r, &e, &s);
  print("user ID real/effective/saved ({}, {}, {})", r, e, s);
  const int n = ::getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<std::size_t>(n > 0 ? n : 0));
  if (n > 0) {
    const int got = ::getgroups(n, groups.data());
    groups.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  }
  vantro::print("Suppl. groups [{}], effective group {}, real group {}",
                fmt::format("{}", fmt::join(groups, ", ")), ::getegid(), ::getgid());
}

void dropRootPrivileges() {
  dropPrivilegesTo(kServiceAccount, systemAccounts(), true);
}

}  // namespace vantro
