// The supervisor: start-up, launch of the target, and the signal loop.
#include "monitor.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

namespace monitor {

pid_t _child_process = -1;
char* child_program = nullptr;
char** child_agrs = nullptr;
sigset_t _mask;

// One system call per line, so that every line leaves the process whole and
// at once, without stdio buffers that a forked process would inherit. Once
// detached, the streams lead to /dev/null; a line that cannot be written has
// nowhere else to go, so its failure is dropped.
void WriteLine(int fd, std::initializer_list<const char*> parts) {
  constexpr size_t kMaxParts = 7;
  char newline[] = "\n";
  iovec pieces[kMaxParts + 1];
  size_t count = 0;
  for (const char* part : parts) {
    if (count == kMaxParts) break;
    pieces[count++] = {const_cast<char*>(part), strlen(part)};
  }
  pieces[count++] = {newline, 1};
  const ssize_t written = writev(fd, pieces, static_cast<int>(count));
  static_cast<void>(written);
}

void WriteLine(int fd, const char* first, const char* second) { WriteLine(fd, {first, second}); }

namespace {

// The status a forked process leaves with when the target could not be
// executed, as a shell does for a command it cannot run.
constexpr int kExecFailedStatus = 127;
// How long to wait before trying again a relaunch whose fork failed, and
// an exec that failed for a moment.
constexpr unsigned kForkRetrySeconds = 1;
constexpr unsigned kExecRetrySeconds = 1;

// Writes the label followed directly by the number in decimal.
void WriteLineWithNumber(int fd, const char* label, int number) {
  char digits[16];
  char* first = digits + sizeof digits;
  *--first = '\0';
  // Negate in unsigned arithmetic so that INT_MIN does not overflow.
  unsigned magnitude = number < 0 ? 0U - static_cast<unsigned>(number) : static_cast<unsigned>(number);
  do {
    *--first = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (number < 0) *--first = '-';
  WriteLine(fd, label, first);
}

// Failures of execve that only mean "not now": the file is open for writing
// (a new version being copied in place), or the system is short of memory,
// processes or open files for a moment, as right after a crash.
bool IsTransient(int error) { return error == ETXTBSY || error == EAGAIN || error == ENOMEM || error == ENFILE; }

// Runs in the forked process only. Whatever happens here must end in exec
// or _exit: returning would run a second copy of the supervisor's loop, and
// exit() would run exit handlers and flush stdio buffers copied from the
// supervisor. A transient failure is tried again about once a second, here
// and not in the supervisor, whose loop must never sleep; every other
// failure leaves the target down.
[[noreturn]] void ExecTarget() {
  for (;;) {
    int error = EFAULT;
    if (child_program != nullptr) {
      execve(child_program, child_agrs, environ);
      error = errno;
    }
    WriteLine(STDERR_FILENO, "exec error");
    if (!IsTransient(error)) _exit(kExecFailedStatus);
    // The watched signals stay blocked, so only a signal that ends this
    // process can cut the pause short, and the result does not matter.
    static_cast<void>(sleep(kExecRetrySeconds));
  }
}

// Launches the target again. A failed fork is retried by the next SIGALRM,
// so that a short shortage of processes or memory does not leave the
// supervisor without a target for good.
void Relaunch() {
  _child_process = StartChild();
  if (_child_process < 0) alarm(kForkRetrySeconds);
}

// Whether a stopped tracee came out of execve or execveat: at a stop for a
// signal raised on the way out of a system call, orig_rax still names it.
// The numbers are those of every ABI a process may have used for the call
// (64-bit, i386 and x32: the new program's may differ), none of which is the
// number of a call that can send a signal.
bool CameOutOfExec(pid_t tracee) {
  constexpr long kX32 = 0x40000000;
  constexpr long kExecCalls[] = {SYS_execve, SYS_execveat, 11, 358, kX32 | 520, kX32 | 545};
  errno = 0;
  const long call = ptrace(PTRACE_PEEKUSER, tracee, offsetof(struct user, regs.orig_rax), nullptr);
  if (errno != 0) return false;
  for (const long exec_call : kExecCalls) {
    if (call == exec_call) return true;
  }
  return false;
}

// Whether the signal that stopped a tracee exists only because it is
// traced, and would do harm if handed back: the SIGTRAP that the kernel
// sends a traced process once its execve has succeeded, told from any other
// SIGTRAP (a kill(getpid(), SIGTRAP) of the program's own, one from another
// process, a breakpoint) by the system call it came out of; and the SIGSTOP
// that a process created with CLONE_PTRACE starts with, which the kernel
// queues without a sender.
bool IsTracersOwnSignal(pid_t tracee, int signo) {
  if (signo == SIGTRAP) return CameOutOfExec(tracee);
  if (signo != SIGSTOP) return false;
  siginfo_t info{};
  if (ptrace(PTRACE_GETSIGINFO, tracee, nullptr, &info) != 0) return false;
  return info.si_pid == 0;
}

// Whether SIGSTOP is pending for this thread alone: the stop that the kernel
// queues for a process created with CLONE_PTRACE, still to come when that
// process stopped first for another signal. The 31st field of
// /proc/TID/stat is the thread's own pending set; the command name in the
// second may hold spaces and parentheses, so the fields are counted from
// the last ')'.
bool StopPendingForThread(pid_t tid) {
  char path[40];
  const int length = snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(tid));
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) return false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[1024];
  const ssize_t got = read(fd, text, sizeof text - 1);
  static_cast<void>(close(fd));  // opened for reading: nothing to lose
  if (got <= 0) return false;
  text[got] = '\0';
  const char* field = strrchr(text, ')');
  for (int number = 2; field != nullptr && number < 31; ++number) field = strchr(field + 1, ' ');
  if (field == nullptr) return false;
  const unsigned long long pending = strtoull(field + 1, nullptr, 10);
  return ((pending >> (SIGSTOP - 1)) & 1U) != 0;
}

// A target, or one of its threads, that called PTRACE_TRACEME has made the
// supervisor its tracer, and so has a process that it created with
// CLONE_PTRACE: every signal such a tracee receives, a crash included, now
// stops it and is reported here instead of taking effect. Detaching hands
// the signal back, so the tracee goes on as if no one were tracing it, and
// a crash then ends the target and is relaunched as usual. A tracee that
// still has the kernel's SIGSTOP to come is let go only at that stop:
// detached before, it would stop for ever.
void ReleaseTracee(pid_t tracee, int stop_status) {
  const int stopped_by = WSTOPSIG(stop_status);
  const int pass_on = IsTracersOwnSignal(tracee, stopped_by) ? 0 : stopped_by;
  const auto request = stopped_by != SIGSTOP && StopPendingForThread(tracee) ? PTRACE_CONT : PTRACE_DETACH;
  // ptrace takes the signal number in its pointer-sized data argument. It
  // fails only when the tracee is already gone, and that end is collected
  // on the next SIGCHLD.
  void* signal_to_deliver =
      reinterpret_cast<void*>(static_cast<intptr_t>(pass_on));  // NOLINT(performance-no-int-to-ptr)
  static_cast<void>(ptrace(request, tracee, nullptr, signal_to_deliver));
}

// The target has ended: by a signal it is launched again at once; by exit
// it is left down, and its pid is forgotten, so that a process that is
// later given the same pid is never taken for it.
void TargetEnded(int exit_status) {
  if (WIFSIGNALED(exit_status)) {
    WriteLineWithNumber(STDOUT_FILENO, "child exit by signal:", WTERMSIG(exit_status));
    Relaunch();
    return;
  }
  // The whole status word, not the exit code: code 1 is reported as 256.
  WriteLineWithNumber(STDOUT_FILENO, "child exit normally:", exit_status);
  _child_process = 0;
}

// One SIGCHLD may stand for many children, and not all of them are the
// target: orphans reparented to a supervisor that is the first process of
// a PID namespace, children the target created with CLONE_PARENT, threads
// and processes that made the supervisor their tracer. Each is collected
// here, or it would stay a zombie, or stopped, for ever. __WALL reports
// traced threads too; WNOHANG returns once nothing is left to report, and
// at once for a SIGCHLD sent by hand or raised by a stop or a continue.
void ReapChildren() {
  for (;;) {
    int exit_status = 0;
    const pid_t collected = waitpid(-1, &exit_status, WNOHANG | __WALL);
    if (collected <= 0) return;
    if (WIFSTOPPED(exit_status)) {
      ReleaseTracee(collected, exit_status);
    } else if (collected == _child_process) {
      TargetEnded(exit_status);
    }
  }
}

// Whether /dev/null can be opened and is the null device, as daemon() will
// require after it has forked: 0, or the errno that daemon() would report.
int NullDeviceError() {
  const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat device {};
  int error = 0;
  if (fstat(fd, &device) != 0) {
    error = errno;
  } else if (!S_ISCHR(device.st_mode) || device.st_rdev != makedev(1, 3)) {
    error = ENODEV;
  }
  // Nothing was written through it, so closing cannot lose anything.
  static_cast<void>(close(fd));
  return error;
}

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

bool RaiseCoreLimit() {
  struct rlimit rlim {};
  if (getrlimit(RLIMIT_CORE, &rlim) != 0) return false;

  struct rlimit rlim_new {};
  rlim_new.rlim_cur = RLIM_INFINITY;
  rlim_new.rlim_max = RLIM_INFINITY;
  if (setrlimit(RLIMIT_CORE, &rlim_new) == 0) return true;

  // Raising the hard limit takes a privilege; the soft limit may always go
  // up to the hard one.
  rlim_new.rlim_cur = rlim.rlim_max;
  rlim_new.rlim_max = rlim.rlim_max;
  return setrlimit(RLIMIT_CORE, &rlim_new) == 0;
}

bool RunAsDaemon() {
  // daemon() forks first and only then opens /dev/null, so a failure there
  // would reach only the background copy, after the caller had been told
  // success. Ask its question first, in the invoking process.
  int error = NullDeviceError();
  int ret = -1;
  if (error == 0) {
    // Keep the working directory, so that a relative target path still
    // resolves; the standard streams go to /dev/null.
    ret = daemon(1, 0);
    if (ret == 0) return true;
    error = errno;
  }
  printf("111111111111111 %d - %d\n", error, ret);
  return false;
}

bool RestoreChildSignal() {
  // With SIGCHLD ignored the kernel reaps the target itself and raises no
  // SIGCHLD, so its death would go unseen and it would never be relaunched.
  // An ignored disposition survives exec, so whoever started us may have
  // left it so; a handler cannot have survived, so nothing else is touched.
  struct sigaction current {};
  bool restored = sigaction(SIGCHLD, nullptr, &current) == 0;
  if (restored && current.sa_handler == SIG_IGN) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    restored = sigaction(SIGCHLD, &default_action, nullptr) == 0;
  }
  if (!restored) WriteLine(STDERR_FILENO, "sigaction fail");
  return restored;
}

bool BlockSignal() {
  // sigemptyset and sigaddset fail only for an invalid signal number.
  sigemptyset(&_mask);
  sigaddset(&_mask, SIGHUP);
  sigaddset(&_mask, SIGALRM);
  sigaddset(&_mask, SIGINT);
  sigaddset(&_mask, SIGCHLD);
  sigaddset(&_mask, SIGPIPE);
  sigaddset(&_mask, SIGTERM);

  // Blocked before the first fork: a target that dies before the loop
  // first waits leaves its SIGCHLD pending rather than lost. The target
  // inherits this mask, and targets may rely on it (a server that never
  // ignored SIGPIPE would otherwise die on every closed connection).
  const int err = pthread_sigmask(SIG_BLOCK, &_mask, nullptr);
  if (err != 0) {
    WriteLine(STDERR_FILENO, "pthread_sigmask fail");
    return false;
  }
  return true;
}

pid_t StartChild() {
  _child_process = fork();
  if (_child_process == 0) ExecTarget();
  if (_child_process < 0) {
    WriteLine(STDERR_FILENO, "fork error");
    return _child_process;
  }
  WriteLine(STDOUT_FILENO, "fork ok");
  return _child_process;
}

void WaitSignal() {
  for (;;) {
    int signo = 0;
    if (sigwait(&_mask, &signo) != 0) {
      WriteLine(STDERR_FILENO, "wait signal error");
      continue;
    }
    SigHandler(signo);
  }
}

void SigHandler(int signo) {
  switch (signo) {
    case SIGCHLD:
      ReapChildren();
      return;
    case SIGALRM:
      // Only a relaunch whose fork failed is waiting for the alarm.
      if (_child_process < 0) Relaunch();
      return;
    default:
      // SIGHUP, SIGINT, SIGPIPE and SIGTERM are taken and have no effect:
      // the supervisor is stopped from outside with SIGKILL or SIGUSR1.
      return;
  }
}

}  // namespace monitor
