// The checks made before detaching, while the caller still waits for the
// outcome: the target's path must name a file this process may execute,
// reached otherwise than through the standard descriptors.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <linux/openat2.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <initializer_list>

#include "monitor.h"
#include "outside_text.h"

namespace monitor {
namespace {

// Whether this process holds CAP_DAC_OVERRIDE, which lets it execute any
// file with at least one execute bit; root without it is bound by the bits
// like anyone else.
bool HoldsDacOverride() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct capabilities[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, capabilities) != 0) return geteuid() == 0;
  return (capabilities[0].effective & (1U << CAP_DAC_OVERRIDE)) != 0;
}

// Whether the older faccessat system call, which asks for the real user and
// group and, when the real user is root, with the permitted capabilities,
// asks what execve will: when those are the effective ones, as they are
// unless the process runs set-user-ID or set-group-ID, or has changed its
// effective capabilities. For any other real user it asks with none.
bool RealIdsAskForTheEffective() {
  if (getuid() != geteuid() || getgid() != getegid()) return false;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct capabilities[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, capabilities) != 0) return false;
  for (const auto& word : capabilities) {
    if (word.effective != (getuid() == 0 ? word.permitted : 0U)) return false;
  }
  return true;
}

// Whether the effective user may execute the file at path, with the
// attributes given, by what decides execve beyond ACLs and security
// modules: a mount that forbids execution, the capability that overrides
// the mode bits, else the owner's bit for the owner, the group's for a
// member of the file's group, and the others' for anyone else.
bool ModeAllowsExecute(const char* path, const struct stat& file) {
  struct statvfs mount {};
  if (statvfs(path, &mount) == 0 && (mount.f_flag & ST_NOEXEC) != 0) return false;
  if (HoldsDacOverride()) return (file.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  const uid_t user = geteuid();
  if (file.st_uid == user) return (file.st_mode & S_IXUSR) != 0;
  if (file.st_gid == getegid() || group_member(file.st_gid) != 0) return (file.st_mode & S_IXGRP) != 0;
  return (file.st_mode & S_IXOTH) != 0;
}

// The same questions execve asks, answered before anything detaches: 0 when
// path names a file that this process may execute, else the reason. stat
// and faccessat follow symbolic links and resolve a relative path against
// the working directory, which the supervisor keeps, as execve does;
// AT_EACCESS asks for the effective user, and for root at least one execute
// bit. Only execve can tell whether the file is a valid program.
int ExecError(const char* path, struct stat* target) {
  if (stat(path, target) != 0) return errno;
  if (S_ISDIR(target->st_mode)) return EISDIR;
  // execve's answer for a device, a fifo or a socket.
  if (!S_ISREG(target->st_mode)) return EACCES;
  if (faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == 0) return 0;
  int error = errno;
  // Some container runtimes' seccomp policies deny the system call behind
  // AT_EACCESS with EPERM, where glibc would answer it itself only after
  // ENOSYS. They commonly allow the older faccessat, which honours ACLs and
  // user namespaces as execve does, and asks for the effective ids where
  // the real ones are the same. Where it cannot answer either, the mode
  // bits do, so that a refused question never refuses a target that execve
  // would run.
  if (error != EPERM && error != ENOSYS) return error;
  if (RealIdsAskForTheEffective()) {
    if (syscall(SYS_faccessat, AT_FDCWD, path, X_OK) == 0) return 0;
    error = errno;
    if (error != EPERM && error != ENOSYS) return error;
  }
  return ModeAllowsExecute(path, *target) ? 0 : EACCES;
}

// Whether descriptor fd is open for writing on the file described by
// target. Descriptors 0 to 2 never are, for this purpose: they lead to
// /dev/null once detached.
bool WritesTo(int fd, const struct stat& target) {
  if (fd <= STDERR_FILENO) return false;
  const int mode = fcntl(fd, F_GETFL);
  if (mode < 0 || ((mode & O_ACCMODE) != O_WRONLY && (mode & O_ACCMODE) != O_RDWR)) return false;
  struct stat file {};
  return fstat(fd, &file) == 0 && file.st_dev == target.st_dev && file.st_ino == target.st_ino;
}

}  // namespace

int ListedDescriptor(const char* name) {
  // The kernel writes the number as "%u". strtol would also take a prefix
  // ("8~"), a sign, spaces, and a number beyond an int, which the cast to
  // one would turn into another descriptor.
  if (name[0] == '\0' || (name[0] == '0' && name[1] != '\0')) return -1;
  int fd = 0;
  for (const char* digit = name; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') return -1;
    const int value = *digit - '0';
    if (fd > (INT_MAX - value) / 10) return -1;
    fd = fd * 10 + value;
  }
  return fd;
}

namespace {

// Asks each descriptor that /proc/self/fd lists; false when it cannot be
// read. /proc/self is this process wherever that /proc was mounted, if it
// shows this process at all.
bool ScanListedDescriptors(const struct stat& target, int* found) {
  const int directory = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return false;
  alignas(dirent64) char entries[512];
  long got = 0;
  while (*found < 0 && (got = syscall(SYS_getdents64, directory, entries, sizeof entries)) > 0) {
    for (long at = 0; at < got && *found < 0;) {
      const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
      at += entry->d_reclen;
      const int fd = ListedDescriptor(entry->d_name);
      if (fd != directory && WritesTo(fd, target)) *found = fd;
    }
  }
  // Opened for reading: closing it cannot lose anything.
  static_cast<void>(close(directory));
  return got >= 0;
}

// Descriptors asked without /proc at the most: a limit of "infinity" is
// a billion, which would take a minute to ask; no program opens descriptors
// that high.
constexpr rlim_t kMaxScannedDescriptors = rlim_t{1} << 20;

// Asks every descriptor below the open-file limit (and below
// kMaxScannedDescriptors), which no open descriptor is above unless the
// limit was lowered after it was opened. poll() tells, many descriptors at
// a time, which of them are open at all (it marks the others POLLNVAL, and
// with no events asked and no wait it changes nothing), so that a limit of
// a million costs tens of milliseconds rather than a system call per
// descriptor.
int ScanEveryDescriptor(const struct stat& target) {
  struct rlimit files {};
  const rlim_t limit = getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : FD_SETSIZE;
  const int end = static_cast<int>(limit < kMaxScannedDescriptors ? limit : kMaxScannedDescriptors);
  constexpr int kBatch = 64;
  pollfd batch[kBatch];
  for (int first = STDERR_FILENO + 1, count = 0; first < end; first += count) {
    count = end - first < kBatch ? end - first : kBatch;
    for (int i = 0; i < count; ++i) batch[i] = pollfd{first + i, 0, 0};
    // Where poll fails, every descriptor of the batch is asked.
    const bool polled = poll(batch, static_cast<nfds_t>(count), 0) >= 0;
    for (int i = 0; i < count; ++i) {
      if ((!polled || (batch[i].revents & POLLNVAL) == 0) && WritesTo(first + i, target)) return first + i;
    }
  }
  return -1;
}

// The descriptor above 2 through which this process holds the file
// described by target open for writing, or -1. execve fails with ETXTBSY
// while any descriptor is open for writing on its file, and one that
// monitor inherited stays open for as long as monitor runs: the target
// could never start. Without /proc (a bare chroot), every descriptor that
// could be open is asked.
int DescriptorWritingTo(const struct stat& target) {
  int found = -1;
  return ScanListedDescriptors(target, &found) ? found : ScanEveryDescriptor(target);
}

// Whether path resolves without passing through a magic link, one of the
// links of /proc/PID/fd (and /dev/fd, /dev/stdin) that lead to an open
// file rather than to a name: then it cannot reach descriptors 0 to 2. False
// where it does, and where openat2 is missing or refused.
bool ResolvesWithoutMagicLinks(const char* path) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd < 0) return false;
  // An O_PATH descriptor: closing it cannot lose anything.
  static_cast<void>(close(static_cast<int>(fd)));
  return true;
}

// Whether path reaches its file through descriptor 0, 1 or 2 (/dev/stdin,
// /dev/fd/1, /proc/self/fd/2 and links to them): detaching puts /dev/null
// there, so the target would no longer be found. Comparing names misses
// links and other mounts of /proc, and comparing files would refuse
// "monitor ./program < ./program"; instead the path is looked up with
// /dev/null on the three descriptors for a moment (the originals are put
// back afterwards, with their close-on-exec flags). When /dev/null cannot
// be opened, detaching will fail and say so. A path without magic links
// needs none of this.
bool ReachedThroughStandardDescriptors(const char* path) {
  if (ResolvesWithoutMagicLinks(path)) return false;
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return false;
  int saved[3] = {-1, -1, -1};
  int flags[3] = {-1, -1, -1};
  bool swapped = true;
  for (int fd = 0; fd < 3; ++fd) {
    flags[fd] = fcntl(fd, F_GETFD);
    // A closed descriptor stays closed: /dev/null put on it is closed again
    // (if it was closed, null_fd itself may be that descriptor).
    if (flags[fd] >= 0) saved[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (flags[fd] >= 0 && saved[fd] < 0) swapped = false;
  }
  for (int fd = 0; fd < 3; ++fd) swapped = swapped && dup2(null_fd, fd) == fd;
  struct stat detached {};
  const bool found_detached = swapped && stat(path, &detached) == 0;
  for (int fd = 0; fd < 3; ++fd) {
    // Restoring cannot fail for a descriptor that was just duplicated; the
    // results are dropped, as nothing could be done about them.
    if (saved[fd] >= 0) {
      static_cast<void>(dup3(saved[fd], fd, (flags[fd] & FD_CLOEXEC) != 0 ? O_CLOEXEC : 0));
      static_cast<void>(close(saved[fd]));
    } else if (flags[fd] < 0) {
      static_cast<void>(close(fd));
    }
  }
  static_cast<void>(close(null_fd));
  // A swap that failed answers nothing, and refuses nothing. With /dev/null
  // on descriptors 0 to 2, a path through one of them either fails or ends
  // at the null device, a leaf; any other path finds a regular file (the
  // target passed that test already), whichever build a concurrent rename
  // left there. A path that fails both ways has gone meanwhile, and execve
  // will answer for it.
  if (!swapped) return false;
  if (found_detached) return !S_ISREG(detached.st_mode);
  struct stat attached {};
  return stat(path, &attached) == 0;
}

}  // namespace

size_t Append(char (&line)[kRefusalLineSize], size_t used, const char* text) {
  while (*text != '\0' && used < sizeof line - 1) line[used++] = *text++;
  return used;
}

size_t UnfinishedCharacter(const char (&line)[kRefusalLineSize], size_t start, size_t used) {
  size_t lead = used;
  while (lead > start && used - lead < 3 && (static_cast<unsigned char>(line[lead - 1]) & 0xc0) == 0x80) --lead;
  if (lead == start) return 0;
  const auto first = static_cast<unsigned char>(line[lead - 1]);
  const size_t length = first >= 0xf0 ? 4 : first >= 0xe0 ? 3 : first >= 0xc0 ? 2 : 1;
  const size_t present = used - lead + 1;
  return length > present ? present : 0;
}

size_t AppendEscaped(char (&line)[kRefusalLineSize], size_t used, const char* text) {
  static const char kHex[] = "0123456789abcdef";
  const size_t start = used;
  const size_t limit = used + kMaxEscapedPath;
  for (const char* p = text; *p != '\0'; ++p) {
    if (used + 4 > limit) return Append(line, used - UnfinishedCharacter(line, start, used), "...");
    const auto byte = static_cast<unsigned char>(*p);
    if (byte >= 0x20 && byte != 0x7f) {
      line[used++] = *p;
      continue;
    }
    line[used++] = '\\';
    if (byte == '\n' || byte == '\t' || byte == '\r') {
      line[used++] = byte == '\n' ? 'n' : byte == '\t' ? 't' : 'r';
    } else {
      line[used++] = 'x';
      line[used++] = kHex[byte >> 4];
      line[used++] = kHex[byte & 15];
    }
  }
  return used;
}

namespace {

// "exec error: PATH: REASON", the reason made of parts, and a hint for the
// two mistakes that a missing path most often is: an option, or a command
// expected on PATH. The line's buffer lives on the stack of this call
// alone, which only a refused start makes, and that start ends the
// process: kept out of line, it never grows the stack, nor the static
// data, that the running supervisor keeps resident.
[[gnu::noinline]] void RefuseTarget(std::initializer_list<const char*> reason, int error) {
  const bool looks_like_an_option = error == ENOENT && child_program[0] == '-';
  const bool looks_like_a_command = error == ENOENT && strchr(child_program, '/') == nullptr;
  const char* hint = looks_like_an_option   ? " (monitor takes no options; usage: monitor PROGRAM [ARGUMENT...])"
                     : looks_like_a_command ? " (the path is used as given; PATH is not searched)"
                                            : "";
  char line[kRefusalLineSize];
  size_t used = AppendEscaped(line, Append(line, 0, "exec error: "), child_program);
  used = Append(line, used, ": ");
  for (const char* part : reason) used = Append(line, used, part);
  used = Append(line, Append(line, used, hint), "\n");
  const ssize_t written = write(STDERR_FILENO, line, used);
  static_cast<void>(written);  // as for WriteLine: nowhere else to go
}

}  // namespace

bool CheckTarget() {
  struct stat target {};
  const int error = ExecError(child_program, &target);
  if (error != 0) {
    RefuseTarget({strerror(error)}, error);
    return false;
  }
  const int writer = DescriptorWritingTo(target);
  if (writer >= 0) {
    char digits[16];
    RefuseTarget({"held open for writing by descriptor ", FormatDecimal(writer, digits),
                  ", which monitor inherited: no process can execute it while that is open (close it before "
                  "starting monitor)"},
                 0);
    return false;
  }
  if (ReachedThroughStandardDescriptors(child_program)) {
    RefuseTarget({"reached through standard input, output or error, which lead to /dev/null once monitor detaches"}, 0);
    return false;
  }
  return true;
}

}  // namespace monitor
