// The supervisor: start-up, launch of the target, and the signal loop.
#include "monitor.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
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
void WriteLine(int fd, const char* first, const char* second) {
  char newline[] = "\n";
  iovec parts[] = {
      {const_cast<char*>(first), strlen(first)}, {const_cast<char*>(second), strlen(second)}, {newline, 1}};
  const ssize_t written = writev(fd, parts, 3);
  static_cast<void>(written);
}

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

void ReapChild() {
  // There is no target to wait for while a relaunch is pending, and
  // waitpid(-1) would collect any child at all.
  if (_child_process <= 0) return;

  // SIGCHLD also comes when the target stops or continues, or from kill(1);
  // the wait must not block then, and collects nothing.
  int exit_status = 0;
  const pid_t collected = waitpid(_child_process, &exit_status, WNOHANG);
  if (collected != _child_process) return;

  if (WIFSIGNALED(exit_status)) {
    WriteLineWithNumber(STDOUT_FILENO, "child exit by signal:", WTERMSIG(exit_status));
    Relaunch();
    return;
  }
  // The whole status word, not the exit code: code 1 is reported as 256.
  WriteLineWithNumber(STDOUT_FILENO, "child exit normally:", exit_status);
}

}  // namespace

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
  // Keep the working directory, so that a relative target path still
  // resolves; the standard streams go to /dev/null.
  const int ret = daemon(1, 0);
  if (ret == 0) return true;
  const int error = errno;
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
