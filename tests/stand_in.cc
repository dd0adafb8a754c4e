// Stands in for monitor around monitor-exec, alike in all but what the
// environment says: "stand_in PROGRAM [ARGUMENT...]" runs PROGRAM with its
// arguments as its child, so that its own command line after its name is
// the child's, as monitor's is, and leaves one sleeping child of its own
// beside it, which monitor-exec ends only if it takes this process for
// monitor. It exits as the child did, and its other child is ended with
// it (it leads a group of its own). Settings, each off unless set to 1:
//   STAND_IN_SESSION  lead a session (monitor does), else only a group
//   STAND_IN_BLOCK    block the six signals monitor blocks in its targets
//   STAND_IN_CATCH    catch SIGCHLD with a handler (monitor catches none)
//   STAND_IN_SHIFT    run PROGRAM's arguments only: the command lines differ
//   STAND_IN_DROP     run PROGRAM without the last argument: this command
//                     line is the child's and one argument more
//   STAND_IN_EXTRA    run PROGRAM with one argument more, "extra": the
//                     child's command line is this one's and that argument
//   STAND_IN_ZOMBIE   the other child has exited, and is collected only
//                     once PROGRAM has ended
// and STAND_IN_CROWD=N leaves N more sleeping children beside it; once
// PROGRAM has ended, none may be left, or it exits with 126.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool Set(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && strcmp(value, "1") == 0;
}

void Caught(int) {}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 120;
  if (Set("STAND_IN_SESSION") ? setsid() < 0 : setpgid(0, 0) != 0) return 121;
  if (Set("STAND_IN_BLOCK")) {
    sigset_t watched;
    sigemptyset(&watched);
    const int signals[] = {SIGHUP, SIGALRM, SIGINT, SIGCHLD, SIGPIPE, SIGTERM};
    for (const int signal_number : signals) sigaddset(&watched, signal_number);
    if (sigprocmask(SIG_BLOCK, &watched, nullptr) != 0) return 122;
  }
  if (Set("STAND_IN_CATCH")) {
    struct sigaction action {};
    action.sa_handler = Caught;
    if (sigaction(SIGCHLD, &action, nullptr) != 0) return 123;
  }
  const bool zombie = Set("STAND_IN_ZOMBIE");
  const pid_t other = fork();
  if (other < 0) return 124;
  if (other == 0) {
    if (zombie) _exit(0);
    while (true) pause();
  }
  // Until it has ended, it is no zombie yet; WNOWAIT leaves it one.
  siginfo_t ended{};
  if (zombie && waitid(P_PID, static_cast<id_t>(other), &ended, WEXITED | WNOWAIT) != 0) return 127;
  const char* crowd = getenv("STAND_IN_CROWD");
  for (long more = crowd != nullptr ? strtol(crowd, nullptr, 10) : 0; more > 0; --more) {
    const pid_t one = fork();
    if (one < 0) return 124;
    if (one == 0) {
      while (true) pause();
    }
  }
  const pid_t child = fork();
  if (child == 0) {
    char** program = Set("STAND_IN_SHIFT") ? &argv[2] : &argv[1];
    if (Set("STAND_IN_DROP")) argv[argc - 1] = nullptr;
    char* more[64] = {};
    if (Set("STAND_IN_EXTRA") && argc < 62) {
      for (int at = 1; at < argc; ++at) more[at - 1] = argv[at];
      more[argc - 1] = const_cast<char*>("extra");
      program = more;
    }
    // monitor-exec itself, with the arguments that follow it shifted out.
    execv(argv[1], program);
    _exit(125);
  }
  // Every child is collected, as monitor does: monitor-exec waits until
  // what it ended is gone.
  int status = 0;
  pid_t collected = 0;
  while (child > 0 && (collected = waitpid(zombie ? child : -1, &status, 0)) > 0 && collected != child) {
  }
  const bool waited = child > 0 && collected == child;
  if (crowd != nullptr && waitpid(-1, nullptr, WNOHANG) != -1) return 126;
  static_cast<void>(kill(other, SIGKILL));
  if (zombie) static_cast<void>(waitpid(other, nullptr, 0));
  if (!waited) return 126;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
