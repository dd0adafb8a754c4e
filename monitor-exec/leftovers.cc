// Ending what the previous instance left: the processes of the
// supervisor's process group other than the supervisor and this process
// and, for a systemd service, the processes of the service's cgroup that
// left the group (servers whose workers call setsid). Each is signalled
// only after it has been proved to be one of them, and the start waits,
// within a bound, until all are gone: a port or shared memory that they
// still hold would make the next instance fail.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "companion.h"

#ifndef CGROUP2_SUPER_MAGIC
#define CGROUP2_SUPER_MAGIC 0x63677270
#endif

namespace companion {
namespace {

// What /proc/PID/stat says of a process that matters here.
struct Process {
  char state = '?';
  pid_t group = 0;
  unsigned long long start = 0;  // clock ticks after boot
};

bool ReadSmallFile(const char* path, char* text, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got = read(fd, text, size - 1);
  static_cast<void>(close(fd));  // opened for reading: nothing to lose
  if (got <= 0) return false;
  text[got] = '\0';
  return true;
}

// Whether /proc is mounted and numbers processes as this process's PID
// namespace does, so that /proc/PID is the process kill(PID) would reach.
bool ProcIsOwn() {
  char link[16];
  const ssize_t length = readlink("/proc/self", link, sizeof link - 1);
  if (length <= 0) return false;
  link[length] = '\0';
  return strtol(link, nullptr, 10) == getpid();
}

bool ReadProcess(pid_t pid, Process* process) {
  char path[40];
  char text[1024];
  // At most 28 bytes: it always fits.
  static_cast<void>(snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid)));
  if (!ReadSmallFile(path, text, sizeof text)) return false;
  // The name in the second field may hold spaces and parentheses: the
  // fields are counted from the last ')'. After it: state (3), parent (4),
  // group (5), ..., start time (22).
  const char* at = strrchr(text, ')');
  if (at == nullptr || at[1] != ' ') return false;
  process->state = at[2];
  for (int field = 3; field <= 22; ++field) {
    at = strchr(at + 1, ' ');
    if (at == nullptr) return false;
    if (field == 5) process->group = static_cast<pid_t>(strtol(at + 1, nullptr, 10));
  }
  process->start = strtoull(at + 1, nullptr, 10);
  return true;
}

// The cgroup v2 path of a process, from the "0::PATH" line of
// /proc/PID/cgroup, into path.
bool ReadCgroup(const char* file, char* path, size_t size) {
  char text[1024];
  if (!ReadSmallFile(file, text, sizeof text)) return false;
  const char* line = strncmp(text, "0::", 3) == 0 ? text : strstr(text, "\n0::");
  if (line == nullptr) return false;
  line += line[0] == '\n' ? 4 : 3;
  const size_t length = strcspn(line, "\n");
  if (length == 0 || length >= size) return false;
  memcpy(path, line, length);
  path[length] = '\0';
  return true;
}

bool EndsWith(const char* text, const char* end) {
  const size_t length = strlen(text);
  const size_t end_length = strlen(end);
  return length >= end_length && strcmp(text + length - end_length, end) == 0;
}

// Calls take(pid) for each pid listed in a file of decimal numbers, one
// per line, read in pieces so that no list is too long. A process outside
// this PID namespace is listed as 0.
template <typename Take>
bool ForEachListedPid(const char* file, Take take) {
  const int fd = open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char piece[4096];
  long pid = 0;
  bool digits = false;
  ssize_t got = 0;
  while ((got = read(fd, piece, sizeof piece)) > 0) {
    for (ssize_t at = 0; at < got; ++at) {
      if (piece[at] >= '0' && piece[at] <= '9') {
        pid = pid * 10 + (piece[at] - '0');
        digits = true;
      } else {
        if (digits) take(static_cast<pid_t>(pid));
        pid = 0;
        digits = false;
      }
    }
  }
  static_cast<void>(close(fd));
  if (digits) take(static_cast<pid_t>(pid));
  return got == 0;
}

// Calls take(pid) for each process that /proc lists.
template <typename Take>
bool ForEachProcess(Take take) {
  const int directory = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return false;
  alignas(8) char entries[4096];
  long got = 0;
  while ((got = syscall(SYS_getdents64, directory, entries, sizeof entries)) > 0) {
    for (long at = 0; at < got;) {
      // A record: d_ino and d_off (8 bytes each), d_reclen (2), d_type (1),
      // then the name.
      const char* name = entries + at + 19;
      unsigned short length = 0;
      memcpy(&length, entries + at + 16, sizeof length);
      if (length == 0) break;
      at += length;
      if (name[0] >= '1' && name[0] <= '9') take(static_cast<pid_t>(strtol(name, nullptr, 10)));
    }
  }
  static_cast<void>(close(directory));
  return got == 0;
}

// Signals pid with SIGKILL if it is still the process that was proved a
// leftover: through a pidfd, opened before the proof is read again, so
// that a pid used again by another process is never signalled.
void KillIfStill(pid_t pid, unsigned long long start) {
  const long pidfd = syscall(SYS_pidfd_open, pid, 0);
  const bool have_pidfd = pidfd >= 0;
  if (!have_pidfd && errno != ENOSYS && errno != EPERM) return;  // gone already
  Process process;
  if (ReadProcess(pid, &process) && process.start == start) {
    if (have_pidfd) {
      static_cast<void>(syscall(SYS_pidfd_send_signal, static_cast<int>(pidfd), SIGKILL, nullptr, 0));
    } else {
      // Kernels before 5.3: the start time was read again just now.
      static_cast<void>(kill(pid, SIGKILL));
    }
  }
  if (have_pidfd) static_cast<void>(close(static_cast<int>(pidfd)));
}

// Whether the list in file holds both this process and the supervisor:
// each process is in one cgroup, so that list is theirs.
bool ListsBoth(const char* file, pid_t supervisor) {
  bool self = false;
  bool parent = false;
  const pid_t me = getpid();
  return ForEachListedPid(file,
                          [&](pid_t pid) {
                            self = self || pid == me;
                            parent = parent || pid == supervisor;
                          }) &&
         self && parent;
}

// Finds the process list of cgroup (a path as /proc/self/cgroup gives it)
// under a cgroup v2 mount: /sys/fs/cgroup, or /sys/fs/cgroup/unified on a
// hybrid system. A container's mount may show only a subtree, whose root
// is cut from the front of the path: each shorter tail of the path is
// tried, and the list taken only if it holds both this process and the
// supervisor.
bool FindCgroupProcs(const char* cgroup, pid_t supervisor, char* file, size_t size) {
  static const char* const kMounts[] = {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"};
  for (const char* mount : kMounts) {
    struct statfs mounted {};
    if (statfs(mount, &mounted) != 0 || mounted.f_type != CGROUP2_SUPER_MAGIC) continue;
    for (const char* tail = cgroup; tail != nullptr; tail = strchr(tail + 1, '/')) {
      const int length = snprintf(file, size, "%s%s/cgroup.procs", mount, tail);
      if (static_cast<size_t>(length) < size && ListsBoth(file, supervisor)) return true;
    }
  }
  return false;
}

bool Living(const Process& process) { return process.state != 'Z' && process.state != 'X'; }

class Round {
 public:
  Round(const Leftovers& leftovers, Ended* ended) : leftovers_(leftovers), ended_(ended) {}

  // Signals every leftover still living; returns how many there were. A
  // list that cannot be read is said in the start line, not taken for an
  // empty one.
  int EndAll() {
    living_ = 0;
    if (!ForEachProcess([this](pid_t pid) { Consider(pid, false); })) ended_->unlisted = true;
    if (leftovers_.service && !ForEachListedPid(leftovers_.cgroup_procs, [this](pid_t pid) { Consider(pid, true); })) {
      ended_->unlisted = true;
    }
    return living_;
  }

 private:
  void Consider(pid_t pid, bool in_cgroup) {
    if (pid <= 1 || pid == getpid() || pid == leftovers_.group) return;
    Process process;
    if (!ReadProcess(pid, &process) || !Living(process)) return;
    // A member of the group; or, listed by the service's cgroup, one that
    // started after the supervisor. Those of the group were taken already.
    if (in_cgroup ? process.group == leftovers_.group : process.group != leftovers_.group) return;
    if (process.start < leftovers_.supervisor_start) return;
    ++living_;
    Count(pid);
    KillIfStill(pid, process.start);
  }

  void Count(pid_t pid) {
    for (int seen = 0; seen < ended_->count && seen < kSeen; ++seen) {
      if (seen_[seen] == pid) return;
    }
    if (ended_->count < kSeen) seen_[ended_->count] = pid;
    if (ended_->count < static_cast<int>(sizeof ended_->first / sizeof ended_->first[0])) {
      ended_->first[ended_->count] = pid;
    }
    ++ended_->count;
  }

  static constexpr int kSeen = 1024;
  const Leftovers& leftovers_;
  Ended* ended_;
  int living_ = 0;
  pid_t seen_[kSeen] = {};
};

}  // namespace

bool ProveScope(const Options& options, Leftovers* leftovers, Reason* reason) {
  if (options.scope == Scope::kNone) return true;
  const bool asked = options.scope != Scope::kDefault;
  // monitor leads a session and a process group of its own, which its
  // targets inherit: where the parent leads both, the group is its.
  const pid_t parent = getppid();
  if (parent <= 1 || getpgrp() != parent || getsid(0) != parent) {
    if (asked) {
      Say(reason,
          "cannot end leftovers: the parent %d does not lead both this process group and this session, "
          "which may then hold processes of others",
          static_cast<int>(parent));
    }
    return !asked;
  }
  Process supervisor;
  if (!ProcIsOwn() || !ReadProcess(parent, &supervisor)) {
    if (asked) Say(reason, "cannot end leftovers: /proc is not mounted, or is another PID namespace's");
    return !asked;
  }
  leftovers->group = parent;
  leftovers->supervisor_start = supervisor.start;
  if (options.scope == Scope::kService) {
    char parent_file[40];
    char parent_cgroup[sizeof leftovers->cgroup];
    static_cast<void>(snprintf(parent_file, sizeof parent_file, "/proc/%d/cgroup", static_cast<int>(parent)));
    if (!ReadCgroup("/proc/self/cgroup", leftovers->cgroup, sizeof leftovers->cgroup)) {
      Say(reason, "cannot end the service's leftovers: no cgroup v2 path in /proc/self/cgroup");
      return false;
    }
    if (!EndsWith(leftovers->cgroup, ".service")) {
      Say(reason, "cannot end the service's leftovers: cgroup %s is not a service's", leftovers->cgroup);
      return false;
    }
    if (!ReadCgroup(parent_file, parent_cgroup, sizeof parent_cgroup) ||
        strcmp(parent_cgroup, leftovers->cgroup) != 0) {
      Say(reason, "cannot end the service's leftovers: the supervisor %d is not in cgroup %s", static_cast<int>(parent),
          leftovers->cgroup);
      return false;
    }
    if (!FindCgroupProcs(leftovers->cgroup, parent, leftovers->cgroup_procs, sizeof leftovers->cgroup_procs)) {
      Say(reason, "cannot end the service's leftovers: no cgroup v2 hierarchy shows cgroup %s", leftovers->cgroup);
      return false;
    }
    // A service's cgroup holds only what its start made, so nothing in it
    // is older than the supervisor; any cgroup that holds an older
    // process (a login session, a shell's) is not the supervisor's own.
    pid_t older = -1;
    const bool listed = ForEachListedPid(leftovers->cgroup_procs, [&](pid_t pid) {
      Process process;
      if (pid == 0 || (pid != parent && ReadProcess(pid, &process) && process.start < supervisor.start)) older = pid;
    });
    if (!listed) {
      Say(reason, "cannot end the service's leftovers: cannot read %s", leftovers->cgroup_procs);
      return false;
    }
    if (older == 0) {
      Say(reason, "cannot end the service's leftovers: cgroup %s holds processes outside this PID namespace",
          leftovers->cgroup);
      return false;
    }
    if (older > 0) {
      Say(reason, "cannot end the service's leftovers: process %d of cgroup %s is older than the supervisor %d",
          static_cast<int>(older), leftovers->cgroup, static_cast<int>(parent));
      return false;
    }
    leftovers->service = true;
  }
  leftovers->active = true;
  return true;
}

void EndLeftovers(const Leftovers& leftovers, long wait_ms, Ended* ended) {
  const long long started = NowMs();
  Round round(leftovers, ended);
  // Each round signals what is still there, new children of leftovers
  // included, until a round finds none or the wait is over.
  while ((ended->still_present = round.EndAll()) > 0 && NowMs() - started < wait_ms) {
    PauseMs(5);
  }
  ended->elapsed_ms = NowMs() - started;
}

}  // namespace companion
