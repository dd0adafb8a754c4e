// The rules for tracees: a target, or a process of its, that made the
// supervisor its tracer stops at every signal it receives, and is let go.
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include "monitor.h"

namespace monitor {
namespace {

// Whether the signal that stopped a tracee exists only because it is
// traced, and would do harm if handed back: the SIGTRAP that the kernel
// sends a traced process once its execve has succeeded, told from any other
// SIGTRAP (a kill(getpid(), SIGTRAP) of the program's own, one from another
// process, a breakpoint) by where its stack pointer stands; and the SIGSTOP
// that a process created with CLONE_PTRACE starts with, which the kernel
// queues without a sender. The target itself is forked plainly, so a
// SIGSTOP without a sender is never that one there: it was sent from an
// ancestor PID namespace, where the sender cannot be named, and is the
// target's own.
bool IsTracersOwnSignal(pid_t tracee, int signo) {
  if (signo == SIGTRAP) return CameOutOfExec(tracee);
  if (signo != SIGSTOP || tracee == _child_process) return false;
  siginfo_t info{};
  if (ptrace(PTRACE_GETSIGINFO, tracee, nullptr, &info) != 0) return false;
  return info.si_pid == 0;
}

// Whether SIGSTOP may be pending for this thread alone: the stop that the
// kernel queues for a process created with CLONE_PTRACE, still to come when
// that process stopped first for another signal. The 31st field of
// /proc/TID/stat is the thread's own pending set. Where /proc cannot say,
// only the target, which is forked plainly, is known to have none: another
// tracee is kept until a stop by SIGSTOP, since one let go before its
// pending stop would stop for ever, while one kept needlessly runs on, its
// signals each passing through here, and no debugger can attach to it.
bool StopPendingForThread(pid_t tid) {
  unsigned long long pending = 0;
  if (!ThreadStatField(tid, 31, &pending)) return tid != _child_process;
  return ((pending >> (SIGSTOP - 1)) & 1U) != 0;
}

}  // namespace

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

}  // namespace monitor
