// The launch of the target, its relaunch, and the signal loop.
#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "monitor.h"

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
  iovec pieces[] = {
      {const_cast<char*>(first), strlen(first)}, {const_cast<char*>(second), strlen(second)}, {newline, 1}};
  const ssize_t written = writev(fd, pieces, 3);
  static_cast<void>(written);
}

const char* FormatDecimal(int number, char (&digits)[16]) {
  char* first = digits + sizeof digits;
  *--first = '\0';
  // Negate in unsigned arithmetic so that INT_MIN does not overflow.
  unsigned magnitude = number < 0 ? 0U - static_cast<unsigned>(number) : static_cast<unsigned>(number);
  do {
    *--first = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (number < 0) *--first = '-';
  return first;
}

namespace {

// The status a forked process leaves with when the target could not be
// executed, as a shell does for a command it cannot run.
constexpr int kExecFailedStatus = 127;
// How long to wait before trying again a relaunch whose fork failed, and
// an exec that failed for a moment.
constexpr unsigned kForkRetrySeconds = 1;
constexpr unsigned kExecRetrySeconds = 1;
// How long a relaunch keeps trying a target file that a deploy has removed
// or not yet made executable, and how often within that time.
constexpr long long kDeployGraceMs = 2000;
constexpr long kDeployRetryMs = 250;

// Writes the label followed directly by the number in decimal.
void WriteLineWithNumber(int fd, const char* label, int number) {
  char digits[16];
  WriteLine(fd, label, FormatDecimal(number, digits));
}

// Failures of execve that only mean "not now": the file is open for writing
// (a new version being copied in place), or the system is short of memory,
// processes or open files for a moment, as right after a crash.
bool IsTransient(int error) { return error == ETXTBSY || error == EAGAIN || error == ENOMEM || error == ENFILE; }

// Failures of execve that a deploy causes for a moment when it replaces the
// target's file in steps rather than renaming a new one over it: install
// removes the file (ENOENT), creates it without execute permission
// (EACCES), writes it and only then sets its mode; a file removed and then
// copied anew may be executable before it is whole (ENOEXEC).
bool IsDeployWindow(int error) { return error == ENOENT || error == EACCES || error == ENOEXEC; }

// Whether the deploy grace that began at *started (zero before the first
// failure, which starts it) is still running.
bool WithinDeployGrace(timespec* started) {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
  if (started->tv_sec == 0 && started->tv_nsec == 0) *started = now;
  const long long elapsed_ms = (now.tv_sec - started->tv_sec) * 1000LL + (now.tv_nsec - started->tv_nsec) / 1000000;
  return elapsed_ms < kDeployGraceMs;
}

// Runs in the forked process only. Whatever happens here must end in exec
// or _exit: returning would run a second copy of the supervisor's loop, and
// exit() would run exit handlers and flush stdio buffers copied from the
// supervisor. A transient failure is tried again about once a second, here
// and not in the supervisor, whose loop must never sleep. At a relaunch
// (and at a first launch whose fork had to be retried, which is taken as
// one), a file missing or not yet executable is tried again a few times
// over the deploy grace, since the target usually crash-loops while its
// fix is installed; the first launch was checked before detaching and gets
// none. Every other failure leaves the target down. Once the supervisor
// has gone, nothing is tried again: a target started then would run
// unsupervised.
[[noreturn]] void ExecTarget(Launch launch, pid_t supervisor) {
  timespec grace_started{};
  bool reported = false;
  for (;;) {
    int error = EFAULT;
    if (child_program != nullptr) {
      execve(child_program, child_agrs, environ);
      error = errno;
    }
    const bool transient = IsTransient(error);
    // One line for the whole grace, however many tries it takes.
    if (transient || !reported) WriteLine(STDERR_FILENO, "exec error");
    reported = true;
    if (transient) {
      // The watched signals stay blocked, so only a signal that ends this
      // process can cut the pause short, and the result does not matter.
      static_cast<void>(sleep(kExecRetrySeconds));
    } else if (launch == Launch::kRelaunch && IsDeployWindow(error) && WithinDeployGrace(&grace_started)) {
      const timespec pause{0, kDeployRetryMs * 1000000L};
      static_cast<void>(nanosleep(&pause, nullptr));
    } else {
      _exit(kExecFailedStatus);
    }
    if (getppid() != supervisor) _exit(kExecFailedStatus);
  }
}

}  // namespace

void LaunchTarget(Launch launch) {
  _child_process = StartChild(launch);
  // A failed fork is retried by the next SIGALRM, so that a short shortage
  // of processes or memory does not leave the supervisor without a target
  // for good.
  if (_child_process < 0) alarm(kForkRetrySeconds);
}

namespace {

// The target has ended: by a signal it is launched again at once; by exit
// it is left down, and its pid is forgotten, so that a process that is
// later given the same pid is never taken for it.
void TargetEnded(int exit_status) {
  if (WIFSIGNALED(exit_status)) {
    WriteLineWithNumber(STDOUT_FILENO, "child exit by signal:", WTERMSIG(exit_status));
    LaunchTarget(Launch::kRelaunch);
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

}  // namespace

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

pid_t StartChild(Launch launch) {
  // Taken before the fork: a forked process that asked for its parent later
  // could be told the process that adopted it, if the supervisor had died.
  const pid_t supervisor = getpid();
  _child_process = fork();
  if (_child_process == 0) ExecTarget(launch, supervisor);
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
      // Only a launch whose fork failed is waiting for the alarm; a target
      // that exited is left down, whatever alarm comes.
      if (_child_process < 0) LaunchTarget(Launch::kRelaunch);
      return;
    default:
      // SIGHUP, SIGINT, SIGPIPE and SIGTERM are taken and have no effect:
      // the supervisor is stopped from outside with SIGKILL or SIGUSR1.
      return;
  }
}

}  // namespace monitor
