// The capabilities a program keeps once its identity changes: exactly those
// of --keep-caps, in every set, or none. They do not go by themselves:
// setuid from root clears the permitted and effective sets but not the
// inheritable one, setuid between two users clears nothing (a user given
// CAP_SETUID as ambient could become root again), and execve gives root
// every capability back.
#include <errno.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <string.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "companion.h"

namespace companion {
namespace {

struct Capability {
  const char* name;
  int number;
};

// linux/capability.h's names, without their CAP_ prefix.
constexpr Capability kCapabilities[] = {
    {"chown", CAP_CHOWN},
    {"dac_override", CAP_DAC_OVERRIDE},
    {"dac_read_search", CAP_DAC_READ_SEARCH},
    {"fowner", CAP_FOWNER},
    {"fsetid", CAP_FSETID},
    {"kill", CAP_KILL},
    {"setgid", CAP_SETGID},
    {"setuid", CAP_SETUID},
    {"setpcap", CAP_SETPCAP},
    {"linux_immutable", CAP_LINUX_IMMUTABLE},
    {"net_bind_service", CAP_NET_BIND_SERVICE},
    {"net_broadcast", CAP_NET_BROADCAST},
    {"net_admin", CAP_NET_ADMIN},
    {"net_raw", CAP_NET_RAW},
    {"ipc_lock", CAP_IPC_LOCK},
    {"ipc_owner", CAP_IPC_OWNER},
    {"sys_module", CAP_SYS_MODULE},
    {"sys_rawio", CAP_SYS_RAWIO},
    {"sys_chroot", CAP_SYS_CHROOT},
    {"sys_ptrace", CAP_SYS_PTRACE},
    {"sys_pacct", CAP_SYS_PACCT},
    {"sys_admin", CAP_SYS_ADMIN},
    {"sys_boot", CAP_SYS_BOOT},
    {"sys_nice", CAP_SYS_NICE},
    {"sys_resource", CAP_SYS_RESOURCE},
    {"sys_time", CAP_SYS_TIME},
    {"sys_tty_config", CAP_SYS_TTY_CONFIG},
    {"mknod", CAP_MKNOD},
    {"lease", CAP_LEASE},
    {"audit_write", CAP_AUDIT_WRITE},
    {"audit_control", CAP_AUDIT_CONTROL},
    {"setfcap", CAP_SETFCAP},
    {"mac_override", CAP_MAC_OVERRIDE},
    {"mac_admin", CAP_MAC_ADMIN},
    {"syslog", CAP_SYSLOG},
    {"wake_alarm", CAP_WAKE_ALARM},
    {"block_suspend", CAP_BLOCK_SUSPEND},
    {"audit_read", CAP_AUDIT_READ},
    {"perfmon", CAP_PERFMON},
    {"bpf", CAP_BPF},
    {"checkpoint_restore", CAP_CHECKPOINT_RESTORE},
};

unsigned long long Bit(int number) { return 1ULL << number; }

// A capability by its name, as "net_bind_service", "cap_net_bind_service"
// or "CAP_NET_BIND_SERVICE" (a unit's spelling); null if there is none.
const Capability* Find(const char* name, size_t length) {
  if (length > 4 && strncasecmp(name, "cap_", 4) == 0) {
    name += 4;
    length -= 4;
  }
  for (const Capability& known : kCapabilities) {
    if (strlen(known.name) == length && strncasecmp(known.name, name, length) == 0) return &known;
  }
  return nullptr;
}

// Reads a list such as "net_bind_service,kill" into mask.
bool ReadNames(const char* list, unsigned long long* mask, Reason* reason) {
  for (const char* at = list;; ++at) {
    const size_t length = strcspn(at, ",");
    if (length == 0) {
      Say(reason, "--keep-caps: malformed list '%s'", list);
      return false;
    }
    const Capability* found = Find(at, length);
    if (found == nullptr) {
      Say(reason, "--keep-caps: unknown capability '%.*s'", static_cast<int>(length), at);
      return false;
    }
    *mask |= Bit(found->number);
    at += length;
    if (*at == '\0') return true;
  }
}

// The three sets of this process, one bit per capability.
struct Sets {
  unsigned long long effective = 0;
  unsigned long long permitted = 0;
  unsigned long long inheritable = 0;
};

// capget and capset, which the C library leaves undeclared: capabilities
// past 31 are in a second word.
bool ReadSets(Sets* sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  sets->effective = data[0].effective | static_cast<unsigned long long>(data[1].effective) << 32;
  sets->permitted = data[0].permitted | static_cast<unsigned long long>(data[1].permitted) << 32;
  sets->inheritable = data[0].inheritable | static_cast<unsigned long long>(data[1].inheritable) << 32;
  return true;
}

bool WriteSets(const Sets& sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  for (int word = 0; word < _LINUX_CAPABILITY_U32S_3; ++word) {
    const int shift = 32 * word;
    data[word].effective = static_cast<__u32>(sets.effective >> shift);
    data[word].permitted = static_cast<__u32>(sets.permitted >> shift);
    data[word].inheritable = static_cast<__u32>(sets.inheritable >> shift);
  }
  return syscall(SYS_capset, &header, data) == 0;
}

// Whether the program runs as root, whether by --user=root or by a
// --group alone that leaves the user as it was.
bool EndsAsRoot(const Identity& identity) {
  return identity.change_user ? identity.uid == 0 : getuid() == 0 || geteuid() == 0;
}

// This process's securebits into *bits; false, said, where they cannot be
// read.
bool ReadSecurebits(int* bits, Reason* reason) {
  *bits = prctl(PR_GET_SECUREBITS, 0, 0, 0, 0);
  if (*bits >= 0) return true;
  Say(reason, "cannot read the securebits: %s", strerror(errno));
  return false;
}

// Whether execve can be kept from giving root every capability: by
// SECBIT_NOROOT, set already or set with CAP_SETPCAP, unless it is locked
// unset.
bool CanStopRootsCapabilities(const Sets& held, Reason* reason) {
  int bits = 0;
  if (!ReadSecurebits(&bits, reason)) return false;
  if ((bits & SECBIT_NOROOT) != 0) return true;
  if ((bits & SECBIT_NOROOT_LOCKED) != 0) {
    Say(reason, "the user stays root, and locked securebits let execve give it back every capability");
    return false;
  }
  if ((held.effective & Bit(CAP_SETPCAP)) == 0) {
    Say(reason, "the user stays root, and without cap_setpcap execve would give it back every capability");
    return false;
  }
  return true;
}

bool StopRootsCapabilities(Reason* reason) {
  int bits = 0;
  if (!ReadSecurebits(&bits, reason)) return false;
  if ((bits & SECBIT_NOROOT) != 0) return true;
  if (prctl(PR_SET_SECUREBITS, static_cast<unsigned long>(bits) | SECBIT_NOROOT, 0, 0, 0) != 0) {
    Say(reason, "cannot keep execve from giving root every capability: %s", strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

bool LookUpCapabilities(const Options& options, Identity* identity, Reason* reason) {
  const bool changes = identity->change_user || identity->change_group;
  if (options.keep_caps != nullptr && !changes) {
    Say(reason, "--keep-caps needs --user or --group");
    return false;
  }
  if (!changes) return true;
  if (options.keep_caps != nullptr && !ReadNames(options.keep_caps, &identity->keep_caps, reason)) return false;
  Sets held;
  if (!ReadSets(&held)) {
    Say(reason, "cannot read the capabilities: %s", strerror(errno));
    return false;
  }
  // Only a capability permitted now can be kept: none can be gained.
  for (const Capability& known : kCapabilities) {
    if ((identity->keep_caps & ~held.permitted & Bit(known.number)) != 0) {
      Say(reason, "--keep-caps: %s is not in this process's permitted set", known.name);
      return false;
    }
  }
  return !EndsAsRoot(*identity) || CanStopRootsCapabilities(held, reason);
}

bool HoldCapabilitiesAcrossSetuid(const Identity& identity, Reason* reason) {
  // setuid from root to another user clears the permitted set, unless asked
  // not to; the flag itself goes at execve.
  if (!identity.change_user || identity.keep_caps == 0) return true;
  if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) {
    Say(reason, "cannot keep the capabilities through the change of user: %s", strerror(errno));
    return false;
  }
  return true;
}

bool KeepOnlyCapabilities(const Identity& identity, Reason* reason) {
  if (!identity.change_user && !identity.change_group) return true;
  // While CAP_SETPCAP is still held.
  if (EndsAsRoot(identity) && !StopRootsCapabilities(reason)) return false;
  Sets kept;
  kept.effective = kept.permitted = kept.inheritable = identity.keep_caps;
  if (!WriteSets(kept)) {
    Say(reason, "cannot set the capabilities: %s", strerror(errno));
    return false;
  }
  // capset has dropped from the ambient set all that is not both permitted
  // and inheritable. The ambient set is what carries a capability through
  // execve of a program that has no file capabilities: nearly every server.
  for (const Capability& known : kCapabilities) {
    if ((identity.keep_caps & Bit(known.number)) != 0 &&
        prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, known.number, 0, 0) != 0) {
      Say(reason, "cannot make %s ambient: %s", known.name, strerror(errno));
      return false;
    }
  }
  return true;
}

}  // namespace companion
