// Start-up: the core-file limit, the SIGCHLD disposition, detaching, and
// adopting what the targets leave.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "monitor.h"

namespace monitor {
namespace {

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

void AdoptOrphans() {
  // A target's processes outlive it: the workers of a killed master, a
  // master that called setsid, a daemon that forked twice. Marked a child
  // subreaper, the supervisor becomes their parent when their own dies,
  // instead of the first process of the namespace, so that they stay
  // within reach of the next instance (monitor-exec ends them as its
  // supervisor's other children); the loop collects each of them when it
  // ends. Not inherited across fork, so it is set in the detached copy.
  // Without it (a kernel before 3.4) supervision goes on as before.
  if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) WriteLine(STDERR_FILENO, "prctl fail");
}

bool BlockBrokenPipe() {
  // A refusal is written on a stream whose reader may have gone (the end
  // of a pipeline that ended first): with SIGPIPE at its default action,
  // the write would end monitor, and the caller would be told of a death
  // by a signal instead of the refusal's 255. Blocked, the signal stays
  // pending and the write fails; it is one of the watched signals, blocked
  // for good before detaching.
  sigset_t broken_pipe;
  sigemptyset(&broken_pipe);
  sigaddset(&broken_pipe, SIGPIPE);
  if (pthread_sigmask(SIG_BLOCK, &broken_pipe, nullptr) == 0) return true;
  WriteLine(STDERR_FILENO, "pthread_sigmask fail");
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

}  // namespace monitor
