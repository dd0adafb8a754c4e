// The supervisor: start-up, launch of the target, and the signal loop.
#include "monitor.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
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
// How long to wait before trying again a relaunch whose fork failed.
constexpr unsigned kForkRetrySeconds = 1;

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

// Runs in the forked process only. Whatever happens here must end in exec
// or _exit: returning would run a second copy of the supervisor's loop, and
// exit() would run exit handlers and flush stdio buffers copied from the
// supervisor.
[[noreturn]] void ExecTarget() {
  if (child_program != nullptr) execve(child_program, child_agrs, environ);
  WriteLine(STDERR_FILENO, "exec error");
  _exit(kExecFailedStatus);
}

// Launches the target again. A failed fork is retried by the next SIGALRM,
// so that a short shortage of processes or memory does not leave the
// supervisor without a target for good.
void Relaunch() {
  _child_process = StartChild();
  if (_child_process < 0) alarm(kForkRetrySeconds);
}

// A SIGTRAP that the kernel itself sends a traced process once its execve
// has succeeded, before the new program's first instruction: it is marked
// as sent by the process to itself.
bool IsExecTrap(pid_t pid) {
  siginfo_t info{};
  if (ptrace(PTRACE_GETSIGINFO, pid, nullptr, &info) != 0) return false;
  return info.si_code == SI_USER && info.si_pid == pid;
}

// A target that called PTRACE_TRACEME has made the supervisor its tracer:
// every signal it receives, a crash included, now stops it and is reported
// here instead of taking effect. Detaching hands the signal back, so the
// target goes on as if no one were tracing it, and a crash then ends it and
// is relaunched as usual. The trap that follows an execve exists only
// because of the tracer: handed back, it would kill the new program at
// once, and every relaunch after it.
void ReleaseTracedChild(int stop_status) {
  int pass_on = WSTOPSIG(stop_status);
  if (pass_on == SIGTRAP && IsExecTrap(_child_process)) pass_on = 0;
  // ptrace takes the signal number in its pointer-sized data argument. It
  // fails only when the target is already gone, and that end is collected
  // on the next SIGCHLD.
  void* signal_to_deliver =
      reinterpret_cast<void*>(static_cast<intptr_t>(pass_on));  // NOLINT(performance-no-int-to-ptr)
  static_cast<void>(ptrace(PTRACE_DETACH, _child_process, nullptr, signal_to_deliver));
}

void ReapChild() {
  // There is no target to wait for while a relaunch is pending, and
  // waitpid(-1) would collect any child at all.
  if (_child_process <= 0) return;

  // SIGCHLD also comes when the target stops or continues, or from kill(1);
  // the wait must not block then, and collects nothing. A traced target's
  // stops are reported even without WUNTRACED.
  int exit_status = 0;
  const pid_t collected = waitpid(_child_process, &exit_status, WNOHANG);
  if (collected != _child_process) return;

  if (WIFSTOPPED(exit_status)) {
    ReleaseTracedChild(exit_status);
    return;
  }
  if (WIFSIGNALED(exit_status)) {
    WriteLineWithNumber(STDOUT_FILENO, "child exit by signal:", WTERMSIG(exit_status));
    Relaunch();
    return;
  }
  // The whole status word, not the exit code: code 1 is reported as 256.
  WriteLineWithNumber(STDOUT_FILENO, "child exit normally:", exit_status);
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

// The same questions execve asks, answered before anything detaches: 0 when
// path names a file that this process may execute, else the reason. stat
// and faccessat follow symbolic links and resolve a relative path against
// the working directory, which the supervisor keeps, as execve does;
// AT_EACCESS asks for the effective user, and for root at least one execute
// bit. Only execve can tell whether the file is a valid program.
int ExecError(const char* path) {
  struct stat target {};
  if (stat(path, &target) != 0) return errno;
  if (S_ISDIR(target.st_mode)) return EISDIR;
  // execve's answer for a device, a fifo or a socket.
  if (!S_ISREG(target.st_mode)) return EACCES;
  if (faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) != 0) return errno;
  return 0;
}

}  // namespace

bool CheckTarget() {
  const int error = ExecError(child_program);
  if (error == 0) return true;
  const bool looks_like_a_command = error == ENOENT && strchr(child_program, '/') == nullptr;
  WriteLine(STDERR_FILENO, {"exec error: ", child_program, ": ", strerror(error),
                            looks_like_a_command ? " (the path is used as given; PATH is not searched)" : ""});
  return false;
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
      ReapChild();
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
