// The user and group the program runs as: looked up before anything
// changes, taken last before the program is awaited and executed.
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "companion.h"

namespace companion {
namespace {

bool AllDigits(const char* text) { return text[0] != '\0' && strspn(text, "0123456789") == strlen(text); }

// A user by name, or by number when the name is all digits and the
// database knows that number.
passwd* FindUser(const char* name) {
  errno = 0;
  passwd* entry = getpwnam(name);
  if (entry == nullptr && AllDigits(name) && strlen(name) < 11) {
    entry = getpwuid(static_cast<uid_t>(strtoul(name, nullptr, 10)));
  }
  return entry;
}

group* FindGroup(const char* name) {
  errno = 0;
  group* entry = getgrnam(name);
  if (entry == nullptr && AllDigits(name) && strlen(name) < 11) {
    entry = getgrgid(static_cast<gid_t>(strtoul(name, nullptr, 10)));
  }
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
  return true;
}

}  // namespace companion
