// The checks made before detaching, while the caller still waits for the
// outcome: the target's path must name a file this process may execute,
// reached otherwise than through the standard descriptors.
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "monitor.h"

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
  const int error = errno;
  // Some container runtimes' seccomp policies deny the system call behind
  // AT_EACCESS with EPERM, where glibc would answer it itself only after
  // ENOSYS. The question is then answered from the mode bits, so that a
  // refused question never refuses a target that execve would run.
  if (error == EPERM || error == ENOSYS) return ModeAllowsExecute(path, *target) ? 0 : EACCES;
  return error;
}

// Whether path reaches its file through descriptor 0, 1 or 2 (/dev/stdin,
// /dev/fd/1, /proc/self/fd/2 and links to them): detaching puts /dev/null
// there, so the target would no longer be found. Comparing names misses
// links and other mounts of /proc, and comparing files would refuse
// "monitor ./program < ./program"; instead the path is looked up with
// /dev/null on the three descriptors for a moment, and again once the
// originals are back (with their close-on-exec flags): both lookups must
// name the same file. The second lookup, rather than the one made before,
// keeps a target renamed into place in between from being refused. When
// /dev/null cannot be opened, detaching will fail and say so.
bool ReachedThroughStandardDescriptors(const char* path) {
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
  // A swap that failed answers nothing, and refuses nothing; nor does a path
  // that has gone meanwhile, which execve will answer for.
  struct stat attached {};
  if (!swapped || stat(path, &attached) != 0) return false;
  return !found_detached || detached.st_dev != attached.st_dev || detached.st_ino != attached.st_ino;
}

// Writes text with its control characters escaped (\n, \t, \r, else
// \xHH), so that a path cannot break a message into lines that look like
// others; every other byte is written as given. The buffer is small, and
// lives only on this failure path, which keeps it off the stack that the
// supervisor carries for ever.
void WriteEscaped(int fd, const char* text) {
  static const char kHex[] = "0123456789abcdef";
  char out[256];
  size_t used = 0;
  for (const char* p = text;; ++p) {
    if (*p == '\0' || used + 4 > sizeof out) {
      const ssize_t written = write(fd, out, used);
      static_cast<void>(written);  // as for WriteLine: nowhere else to go
      used = 0;
      if (*p == '\0') return;
    }
    const auto byte = static_cast<unsigned char>(*p);
    if (byte >= 0x20 && byte != 0x7f) {
      out[used++] = *p;
      continue;
    }
    out[used++] = '\\';
    if (byte == '\n' || byte == '\t' || byte == '\r') {
      out[used++] = byte == '\n' ? 'n' : byte == '\t' ? 't' : 'r';
    } else {
      out[used++] = 'x';
      out[used++] = kHex[byte >> 4];
      out[used++] = kHex[byte & 15];
    }
  }
}

// "exec error: PATH: REASON", and a hint for the two mistakes that a
// missing path most often is: an option, or a command expected on PATH.
void RefuseTarget(const char* reason, int error) {
  const bool looks_like_an_option = error == ENOENT && child_program[0] == '-';
  const bool looks_like_a_command = error == ENOENT && strchr(child_program, '/') == nullptr;
  const char* hint = looks_like_an_option   ? " (monitor takes no options; usage: monitor PROGRAM [ARGUMENT...])"
                     : looks_like_a_command ? " (the path is used as given; PATH is not searched)"
                                            : "";
  const char prefix[] = "exec error: ";
  const ssize_t written = write(STDERR_FILENO, prefix, sizeof prefix - 1);
  static_cast<void>(written);
  WriteEscaped(STDERR_FILENO, child_program);
  WriteLine(STDERR_FILENO, {": ", reason, hint});
}

}  // namespace

bool CheckTarget() {
  struct stat target {};
  const int error = ExecError(child_program, &target);
  if (error != 0) {
    RefuseTarget(strerror(error), error);
    return false;
  }
  if (ReachedThroughStandardDescriptors(child_program)) {
    RefuseTarget("reached through standard input, output or error, which lead to /dev/null once monitor detaches", 0);
    return false;
  }
  return true;
}

}  // namespace monitor
