// The user and group the program runs as: looked up before anything
// changes, taken last before the program is awaited and executed, with
// the capabilities it keeps.
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <unistd.h>

#include "companion.h"

namespace companion {
namespace {

// The largest id: (uid_t) -1 means "no change" to the calls that take one.
constexpr unsigned long long kMaxId = 0xfffffffe;

// A user by name, or by number where the name is a plain decimal number
// that the database knows.
const passwd* FindUser(const char* name) {
  const passwd* entry = getpwnam(name);
  unsigned long long id = 0;
  if (entry == nullptr && Decimal(name, kMaxId, &id)) entry = getpwuid(static_cast<uid_t>(id));
  return entry;
}

const group* FindGroup(const char* name) {
  const group* entry = getgrnam(name);
  unsigned long long id = 0;
  if (entry == nullptr && Decimal(name, kMaxId, &id)) entry = getgrgid(static_cast<gid_t>(id));
  return entry;
}

}  // namespace

bool LookUpIdentity(const Options& options, Identity* identity, Reason* reason) {
  if (options.user != nullptr) {
    const passwd* user = FindUser(options.user);
    if (user == nullptr) {
      Say(reason, "no such user: %s", options.user);
      return false;
    }
    if (strlen(user->pw_name) >= sizeof identity->name) {
      Say(reason, "user name too long: %s", user->pw_name);
      return false;
    }
    identity->change_user = true;
    identity->change_group = true;
    identity->uid = user->pw_uid;
    identity->gid = user->pw_gid;
    strcpy(identity->name, user->pw_name);
  }
  if (options.group != nullptr) {
    const group* chosen = FindGroup(options.group);
    if (chosen == nullptr) {
      Say(reason, "no such group: %s", options.group);
      return false;
    }
    identity->change_group = true;
    identity->gid = chosen->gr_gid;
  }
  return true;
}

bool TakeIdentity(const Identity& identity, Reason* reason) {
  if (!HoldCapabilitiesAcrossSetuid(identity, reason)) return false;
  if (identity.change_user) {
    // The user's supplementary groups, as a login would give them, with the
    // primary group chosen.
    if (initgroups(identity.name, identity.gid) != 0) {
      Say(reason, "cannot set the supplementary groups of %s: %s", identity.name, strerror(errno));
      return false;
    }
  } else if (identity.change_group && setgroups(1, &identity.gid) != 0) {
    Say(reason, "cannot set the supplementary groups: %s", strerror(errno));
    return false;
  }
  if (identity.change_group && setgid(identity.gid) != 0) {
    Say(reason, "cannot set the group %u: %s", static_cast<unsigned>(identity.gid), strerror(errno));
    return false;
  }
  // The user last: once it is set, the groups can no longer change.
  if (identity.change_user && setuid(identity.uid) != 0) {
    Say(reason, "cannot set the user %s: %s", identity.name, strerror(errno));
    return false;
  }
  return KeepOnlyCapabilities(identity, reason);
}

}  // namespace companion
