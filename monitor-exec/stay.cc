// The staying mode, for runtimes that turn a crash into an exit (a master
// that exits when it catches SIGSEGV or loses a worker): this process
// stays as the program's parent, passes every signal on, and ends as the
// program did, except that an exit with a listed code becomes a death by
// SIGKILL, which monitor relaunches. It costs a process, and the pid that
// monitor watches is no longer the server's.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "companion.h"

namespace companion {
namespace {

[[noreturn]] void DieBy(int signal_number) {
  // This process's own death by a crash signal would write a core of its
  // own beside the program's.
  static_cast<void>(prctl(PR_SET_DUMPABLE, 0, 0, 0, 0));
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  static_cast<void>(sigaction(signal_number, &default_action, nullptr));
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  static_cast<void>(sigprocmask(SIG_UNBLOCK, &only, nullptr));
  static_cast<void>(raise(signal_number));
  // A signal whose default is not to end the process.
  static_cast<void>(kill(getpid(), SIGKILL));
  _exit(kFailed);
}

[[noreturn]] void EndAs(int status, long long started, const Options& options, pid_t child) {
  if (WIFSIGNALED(status)) DieBy(WTERMSIG(status));
  const int code = WEXITSTATUS(status);
  if (!ListedCode(options.stay_codes, code)) _exit(code);
  // A server that cannot start exits at once, every time: holding its
  // exit until it has run for a while keeps monitor from relaunching it in
  // a tight loop.
  const long long ran = NowMs() - started;
  if (ran < kStayMinimumMs) PauseMs(static_cast<long>(kStayMinimumMs - ran));
  char line[512];
  // A line cut short still says what happened.
  static_cast<void>(snprintf(line, sizeof line,
                             "%s (pid %d) exited with code %d after %lld ms, listed as a crash: ending by SIGKILL",
                             options.program[0], static_cast<int>(child), code, ran));
  SayStart(options.log_fd, line);
  DieBy(SIGKILL);
}

[[noreturn]] void PassSignalsOn(pid_t child, const sigset_t& all, long long started, const Options& options) {
  while (true) {
    const int signal_number = sigwaitinfo(&all, nullptr);
    if (signal_number == SIGCHLD) {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) EndAs(status, started, options, child);
    } else if (signal_number > 0) {
      // The program may have ended already; its SIGCHLD is then pending.
      static_cast<void>(kill(child, signal_number));
    } else if (errno != EINTR) {
      char line[128];
      static_cast<void>(
          snprintf(line, sizeof line, "cannot wait for signals: %s; ending the program", strerror(errno)));
      SayFailure(options.log_fd, line);
      static_cast<void>(kill(child, SIGKILL));
      DieBy(SIGKILL);
    }
  }
}

}  // namespace

bool StayAsParent(const Options& options, Reason* reason) {
  // An ignored SIGCHLD makes the kernel reap the program itself and raise
  // no SIGCHLD: this process would wait for ever. Whoever started it may
  // have left it so; the program gets back what was given.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  struct sigaction given_action {};
  if (sigaction(SIGCHLD, &default_action, &given_action) != 0) {
    Say(reason, "cannot set SIGCHLD to its default disposition: %s", strerror(errno));
    return false;
  }
  // Every signal is blocked before the fork, so that none that arrives
  // before the loop is lost: it stays pending until sigwaitinfo takes it.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  if (sigprocmask(SIG_SETMASK, &all, &previous) != 0) {
    Say(reason, "cannot block the signals: %s", strerror(errno));
    return false;
  }
  const long long started = NowMs();
  const pid_t child = fork();
  if (child < 0) {
    Say(reason, "cannot fork: %s", strerror(errno));
    return false;
  }
  if (child > 0) PassSignalsOn(child, all, started, options);
  // The child goes on with the mask and the disposition of SIGCHLD this
  // process was given, which --keep-signals keeps for the program.
  if (sigaction(SIGCHLD, &given_action, nullptr) != 0) {
    Say(reason, "cannot restore the disposition of SIGCHLD: %s", strerror(errno));
    return false;
  }
  if (sigprocmask(SIG_SETMASK, &previous, nullptr) != 0) {
    Say(reason, "cannot restore the signal mask: %s", strerror(errno));
    return false;
  }
  return true;
}

}  // namespace companion
