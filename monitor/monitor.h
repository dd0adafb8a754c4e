// The supervisor's routines and its process-wide state.
//
// One thread, no signal handlers, no heap: the watched signals are blocked
// and taken synchronously by WaitSignal, and the target's path and argument
// vector are pointers into the supervisor's own argument vector.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <sys/types.h>

namespace monitor {

// The target's pid in the supervisor: what the last fork of a launch
// returned, negative after a failed fork (a relaunch is then pending), 0
// once the target has exited and was left down, and 0 in a forked process.
// -1 before the first launch.
extern pid_t _child_process;
// The target's path, argv[1] of the supervisor, used in place.
extern char* child_program;
// The target's argument vector, &argv[1] of the supervisor, used in place.
extern char** child_agrs;
// The watched signal set, filled by BlockSignal and read by WaitSignal.
extern sigset_t _mask;

// Writes one message line, first then second, in a single system call.
void WriteLine(int fd, const char* first, const char* second = "");
// Writes number in decimal at the end of digits; returns where it begins.
const char* FormatDecimal(int number, char (&digits)[16]);
// Checks that the target's path names a file that this process may
// execute, and that it does not reach it through a standard descriptor;
// otherwise writes "exec error: PATH: REASON" on standard error.
bool CheckTarget();
// Raises the core-file size limit so that every target inherits it: to
// unlimited where permitted, else the soft limit to the hard one.
bool RaiseCoreLimit();
// Detaches into the background, keeping the working directory; fails in
// the invoking process when /dev/null is not the null device.
bool RunAsDaemon();
// Makes this process the parent of every orphan its targets leave.
void AdoptOrphans();
// Blocks SIGPIPE, so that a refusal written on a broken pipe still ends the
// start with its status.
bool BlockBrokenPipe();
// Puts SIGCHLD back to its default disposition if it was inherited ignored.
bool RestoreChildSignal();
// Blocks the watched signal set in the calling thread.
bool BlockSignal();
// The first launch, whose target was checked before detaching, or a
// relaunch, which may come in the middle of a deploy of a new build.
enum class Launch { kFirst, kRelaunch };
// Forks and executes the target; returns what fork returned.
pid_t StartChild(Launch launch = Launch::kFirst);
// Launches the target and records its pid in _child_process; when the fork
// fails, the next SIGALRM, about a second later, tries again.
void LaunchTarget(Launch launch);
// Takes watched signals one at a time, forever.
[[noreturn]] void WaitSignal();
// Acts on one watched signal taken by WaitSignal.
void SigHandler(int signo);
// Whether /proc is mounted and this process's own: numbering processes as
// this process's PID namespace does, so that /proc/TID is the thread that
// waitpid reported as TID.
bool ProcIsOwn();
// Reads /proc/TID/NAME of a thread into text of size bytes, NUL-terminated;
// false when it cannot, or when /proc is not this process's own.
bool ReadThreadFile(pid_t tid, const char* name, char* text, size_t size);
// Field number of /proc/TID/stat, read as an unsigned number; false when
// ReadThreadFile cannot read it, or it is no number.
bool ThreadStatField(pid_t tid, int number, unsigned long long* value);
// Whether a tracee stopped for SIGTRAP is at the trap that the kernel sends
// once a traced execve or execveat has succeeded.
bool CameOutOfExec(pid_t tracee);
// Lets go a tracee that the wait reported stopped, with stop_status the
// status the wait returned.
void ReleaseTracee(pid_t tracee, int stop_status);

}  // namespace monitor
