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

// Reads /proc/TID/NAME of a thread into text, NUL-terminated; false when
// it cannot.
template <size_t size>
bool ReadThreadFile(pid_t tid, const char* name, char (&text)[size]) {
  char path[48];
  const int length = snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(tid), name);
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) return false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got = read(fd, text, size - 1);
  static_cast<void>(close(fd));  // opened for reading: nothing to lose
  if (got <= 0) return false;
  text[got] = '\0';
  return true;
}

// Field number of /proc/TID/stat, read as an unsigned number; false when
// unreadable. The command name in the second field may hold spaces and
// parentheses, so the fields are counted from the last ')'.
bool ThreadStatField(pid_t tid, int number, unsigned long long* value) {
  char text[1024];
  if (!ReadThreadFile(tid, "stat", text)) return false;
  const char* field = strrchr(text, ')');
  for (int at = 2; field != nullptr && at < number; ++at) field = strchr(field + 1, ' ');
  if (field == nullptr) return false;
  char* end = nullptr;
  errno = 0;
  *value = strtoull(field + 1, &end, 10);
  return errno == 0 && end != field + 1;
}

// The stack pointer of a stopped tracee. PTRACE_GET_SYSCALL_INFO (Linux 5.3
// and later) gives it in one layout on every architecture and for a tracee
// of either word size; an older kernel refuses the request, and then
// /proc/TID/syscall has it as its second-to-last field ("-1 SP PC" outside a
// system call, "NR ARG1..ARG6 SP PC" inside one).
bool StackPointer(pid_t tracee, unsigned long long* sp) {
  __ptrace_syscall_info info{};
  const long got = ptrace(PTRACE_GET_SYSCALL_INFO, tracee, sizeof info, &info);
  if (got >= static_cast<long>(offsetof(__ptrace_syscall_info, stack_pointer) + sizeof info.stack_pointer)) {
    *sp = info.stack_pointer;
    return true;
  }
  char text[256];
  if (!ReadThreadFile(tracee, "syscall", text)) return false;
  // The last two fields, each after a space; the text may end in a newline.
  char* last = strrchr(text, ' ');
  if (last == nullptr) return false;
  *last = '\0';
  const char* second_to_last = strrchr(text, ' ');
  if (second_to_last == nullptr) return false;
  char* end = nullptr;
  errno = 0;
  *sp = strtoull(second_to_last + 1, &end, 16);
  return errno == 0 && end != second_to_last + 1 && *end == '\0';
}

// Whether a tracee stopped for SIGTRAP is at the trap that the kernel sends
// once a traced execve or execveat has succeeded. The signal cannot tell:
// that trap and a kill(getpid(), SIGTRAP) carry the same siginfo. Nor can
// the system call the stop came out of, which arm64 and arm clear at the
// exec, and which a tracee of the other word size numbers in its own ABI.
// What tells them apart everywhere is that the new program has not run a
// single instruction yet: its stack pointer is still the start of its stack
// (the 28th field of /proc/TID/stat), which no program keeps once it has
// called anything. A SIGTRAP raised before a program first moves its stack
// pointer (a breakpoint on its very first instruction) is taken for the
// exec's, and dropped.
bool CameOutOfExec(pid_t tracee) {
  unsigned long long sp = 0;
  unsigned long long stack_start = 0;
  return StackPointer(tracee, &sp) && ThreadStatField(tracee, 28, &stack_start) && stack_start != 0 &&
         sp == stack_start;
}

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

// Whether SIGSTOP is pending for this thread alone: the stop that the kernel
// queues for a process created with CLONE_PTRACE, still to come when that
// process stopped first for another signal. The 31st field of
// /proc/TID/stat is the thread's own pending set.
bool StopPendingForThread(pid_t tid) {
  unsigned long long pending = 0;
  return ThreadStatField(tid, 31, &pending) && ((pending >> (SIGSTOP - 1)) & 1U) != 0;
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
