// monitor PROGRAM [ARGUMENT...]: keeps PROGRAM running in the background.
#include <unistd.h>

#include "monitor.h"

namespace {

// main's -1, which the caller sees as exit status 255.
constexpr int kStartFailed = -1;

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 0) return kStartFailed;
  if (!monitor::BlockBrokenPipe()) return kStartFailed;
  // Without a target there is nothing to supervise: say so instead of
  // detaching and reporting success.
  if (argc == 1) {
    monitor::WriteLine(STDERR_FILENO, "usage: monitor PROGRAM [ARGUMENT...]");
    return kStartFailed;
  }
  // Detaching ends the invoking process, and when that is the first process
  // of a PID namespace (a container's entry point, "unshare --pid --fork"),
  // the kernel ends every process of the namespace with it: the caller
  // would be told success, and nothing would run. Refused before anything
  // changes.
  if (getpid() == 1) {
    monitor::WriteLine(STDERR_FILENO,
                       "monitor cannot run as process 1 of a PID namespace: detaching would end every process in it; "
                       "start it under an init that stays in the foreground (see the operator's guide, Containers)");
    return kStartFailed;
  }
  // The target's path and argument vector are the supervisor's own, in place.
  monitor::child_program = argv[1];
  monitor::child_agrs = &argv[1];

  // Refused here, while the caller still waits for the outcome; what only
  // execve can tell (a file that is no valid program) fails in the background.
  if (!monitor::CheckTarget()) return kStartFailed;
  if (!monitor::RaiseCoreLimit()) return kStartFailed;
  if (!monitor::RestoreChildSignal()) return kStartFailed;
  // Blocked before detaching: until daemon() has made the background copy a
  // session of its own, it is in the caller's process group, and a caller
  // that leads a session on a terminal hangs that terminal up as it exits,
  // which sends the group SIGHUP. Not before the checks, so that Ctrl-C or
  // a timeout still ends a start whose check hangs (a dead network mount).
  if (!monitor::BlockSignal()) return kStartFailed;
  if (!monitor::RunAsDaemon()) return kStartFailed;
  // From here on this is the detached copy.
  monitor::AdoptOrphans();
  // The caller has been told success, so a first fork that fails (the
  // caller's processes may still count against RLIMIT_NPROC) is tried
  // again, as a relaunch's is.
  monitor::LaunchTarget(monitor::Launch::kFirst);
  monitor::WaitSignal();
}
