#pragma once
// Switching the process from root to the service account.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vantro {

inline constexpr const char* kServiceAccount = "tlv";

/// The user and group databases as the privilege drop sees them (a seam for tests).
class AccountDatabase {
 public:
  virtual ~AccountDatabase() = default;
  /// Throws std::runtime_error when there is no such user / group.
  virtual uid_t userId(const std::string& name) const = 0;
  virtual gid_t groupId(const std::string& name) const = 0;
  /// Every group that lists `member`, in database order (exact name match).
  virtual std::vector<gid_t> groupsListing(const std::string& member) const = 0;
};

/// The system's databases (getpwnam, getgrnam, getgrent).
const AccountDatabase& systemAccounts();

/// The privilege drop to `account`: supplementary groups, group id, user id, in
/// that order, then the report lines. With `keepSysTime`, CAP_SYS_TIME stays in
/// the permitted, effective, inheritable and ambient sets, so that the process
/// and the `date` it runs may set the clock, and no other capability is kept.
/// Does nothing unless the real user id is 0.
void dropPrivilegesTo(const std::string& account, const AccountDatabase& db, bool keepSysTime);

}  // namespace vantro
