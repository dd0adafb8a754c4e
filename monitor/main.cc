// monitor PROGRAM [ARGUMENT...]: keeps PROGRAM running in the background.
#include <unistd.h>

#include "monitor.h"

namespace {

// main's -1, which the caller sees as exit status 255.
constexpr int kStartFailed = -1;

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 0) return kStartFailed;
  // Without a target there is nothing to supervise: say so instead of
  // detaching and reporting success.
  if (argc == 1) {
    monitor::WriteLine(STDERR_FILENO, "usage: monitor PROGRAM [ARGUMENT...]");
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
  // which sends the group SIGHUP.
  if (!monitor::BlockSignal()) return kStartFailed;
  if (!monitor::RunAsDaemon()) return kStartFailed;
  // From here on this is the detached copy; its failures are seen only in
  // its own exit status.
  if (monitor::StartChild() < 0) return kStartFailed;
  monitor::WaitSignal();
}
