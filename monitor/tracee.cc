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
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include "monitor.h"

namespace monitor {
namespace {

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
