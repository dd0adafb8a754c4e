// Preloaded into the supervisor to make some of its calls fail.
//
// FORK_FAIL_SKIP=N lets the first N calls of fork through, FORK_FAIL_COUNT=M
// fails the M calls after them with EAGAIN, and FORK_FAIL_FD, if set, gets a
// line "fork refused MS" for each failed call, MS being the monotonic clock
// in milliseconds. DAEMON_FAIL=1 makes daemon fail
// with EAGAIN without forking.
//
// DAEMON_STDERR_FD=N puts descriptor N on standard error once daemon has
// detached, so that the background copy's messages can be read.
// SIGMASK_FAIL_SKIP=N lets the first N calls of pthread_sigmask that block
// SIGPIPE through, and SIGMASK_FAIL_COUNT=M fails the M after them with
// EINVAL; other calls (a run-time's own) are not counted. SIGWAIT_FAIL_COUNT=M
// fails the first M calls of sigwait with EINVAL, at once. EXEC_COUNT_FILE,
// if set, gets one byte appended for each call of execve of the path
// EXEC_COUNT_PATH, before the call.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

int EnvNumber(const char* name, int fallback) {
  const char* text = getenv(name);
  return text != nullptr ? static_cast<int>(strtol(text, nullptr, 10)) : fallback;
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// INTERPOSE_ONCE=1 keeps the library to the process it was preloaded
// into: the programs that process executes may be of another architecture
// (a 32-bit build's tests run the machine's 64-bit /bin/sh), whose loader
// would complain of it on standard error.
__attribute__((constructor)) void KeepToThisProcess() {
  if (EnvNumber("INTERPOSE_ONCE", 0) != 1) return;
  static_cast<void>(unsetenv("LD_PRELOAD"));
  static_cast<void>(unsetenv("INTERPOSE_ONCE"));
}

extern "C" pid_t fork() {
  static int calls = 0;
  ++calls;
  const int skip = EnvNumber("FORK_FAIL_SKIP", 0);
  const int count = EnvNumber("FORK_FAIL_COUNT", 0);
  if (calls > skip && calls <= skip + count) {
    const int fd = EnvNumber("FORK_FAIL_FD", -1);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[64];
    const int length = snprintf(line, sizeof line, "fork refused %lld\n",
                                static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
    if (fd >= 0 && (length <= 0 || write(fd, line, static_cast<size_t>(length)) < 0)) _exit(91);
    errno = EAGAIN;
    return -1;
  }
  auto real_fork = Next<pid_t (*)()>("fork");
  if (real_fork == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real_fork();
}

extern "C" int daemon(int nochdir, int noclose) {
  if (EnvNumber("DAEMON_FAIL", 0) == 1) {
    errno = EAGAIN;
    return -1;
  }
  auto real_daemon = Next<int (*)(int, int)>("daemon");
  if (real_daemon == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  const int detached = real_daemon(nochdir, noclose);
  const int stderr_fd = EnvNumber("DAEMON_STDERR_FD", -1);
  if (detached == 0 && stderr_fd >= 0 && dup2(stderr_fd, STDERR_FILENO) != STDERR_FILENO) _exit(92);
  return detached;
}

extern "C" int pthread_sigmask(int how, const sigset_t* newmask, sigset_t* oldmask) {
  if (how == SIG_BLOCK && newmask != nullptr && sigismember(newmask, SIGPIPE) == 1) {
    static int calls = 0;
    ++calls;
    const int skip = EnvNumber("SIGMASK_FAIL_SKIP", 0);
    if (calls > skip && calls <= skip + EnvNumber("SIGMASK_FAIL_COUNT", 0)) return EINVAL;
  }
  auto real_sigmask = Next<int (*)(int, const sigset_t*, sigset_t*)>("pthread_sigmask");
  return real_sigmask != nullptr ? real_sigmask(how, newmask, oldmask) : ENOSYS;
}

extern "C" int sigwait(const sigset_t* set, int* sig) {
  static int calls = 0;
  if (++calls <= EnvNumber("SIGWAIT_FAIL_COUNT", 0)) return EINVAL;
  auto real_sigwait = Next<int (*)(const sigset_t*, int*)>("sigwait");
  return real_sigwait != nullptr ? real_sigwait(set, sig) : ENOSYS;
}

extern "C" int execve(const char* path, char* const argv[], char* const envp[]) {
  const char* count_file = getenv("EXEC_COUNT_FILE");
  const char* counted = getenv("EXEC_COUNT_PATH");
  if (count_file != nullptr && counted != nullptr && strcmp(path, counted) == 0) {
    const int fd = open(count_file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, "x", 1) != 1 || close(fd) != 0) _exit(93);
  }
  auto real_execve = Next<int (*)(const char*, char* const[], char* const[])>("execve");
  if (real_execve == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real_execve(path, argv, envp);
}

// FAIL_CALL=NAME fails the calls of one function that the program's own
// code makes, not those a run-time makes while it starts, before this
// library's constructor: getrlimit of RLIMIT_CORE with EPERM, sigaction of
// SIGCHLD with EINVAL, clock_gettime of CLOCK_MONOTONIC with EINVAL, prctl
// of PR_SET_CHILD_SUBREAPER with EINVAL (as before Linux 3.4), socket with
// EMFILE.
// OPEN_FILES_UNLIMITED=1 makes getrlimit show no limit on open files.
// CLOCK_FROM_ZERO=1 makes CLOCK_MONOTONIC count from a process's first
// reading of it, which shows 1 ns, as a time namespace made just before
// would.
#include <sys/resource.h>

namespace {

bool g_started = false;

[[gnu::constructor]] void MarkStarted() { g_started = true; }

bool Failing(const char* name) {
  const char* failed = getenv("FAIL_CALL");
  return g_started && failed != nullptr && strcmp(failed, name) == 0;
}

}  // namespace

// The project builds with 64-bit file offsets, under which getrlimit is
// this function.
extern "C" int getrlimit64(__rlimit_resource_t resource, struct rlimit64* rlimits) {
  if (resource == RLIMIT_CORE && Failing("getrlimit")) {
    errno = EPERM;
    return -1;
  }
  if (resource == RLIMIT_NOFILE && g_started && EnvNumber("OPEN_FILES_UNLIMITED", 0) == 1) {
    rlimits->rlim_cur = RLIM64_INFINITY;
    rlimits->rlim_max = RLIM64_INFINITY;
    return 0;
  }
  auto real_getrlimit = Next<int (*)(__rlimit_resource_t, struct rlimit64*)>("getrlimit64");
  if (real_getrlimit == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real_getrlimit(resource, rlimits);
}

extern "C" int sigaction(int sig, const struct sigaction* act, struct sigaction* oact) {
  if (sig == SIGCHLD && Failing("sigaction")) {
    errno = EINVAL;
    return -1;
  }
  auto real_sigaction = Next<int (*)(int, const struct sigaction*, struct sigaction*)>("sigaction");
  if (real_sigaction == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real_sigaction(sig, act, oact);
}

extern "C" int clock_gettime(clockid_t clock_id, struct timespec* tp) {
  if (clock_id == CLOCK_MONOTONIC && Failing("clock_gettime")) {
    errno = EINVAL;
    return -1;
  }
  auto real_clock_gettime = Next<int (*)(clockid_t, struct timespec*)>("clock_gettime");
  if (real_clock_gettime == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  const int got = real_clock_gettime(clock_id, tp);
  if (got != 0 || clock_id != CLOCK_MONOTONIC || EnvNumber("CLOCK_FROM_ZERO", 0) != 1) return got;
  constexpr long long kNs = 1000000000;
  static long long origin = -1;
  const long long reading = static_cast<long long>(tp->tv_sec) * kNs + tp->tv_nsec;
  if (origin < 0) origin = reading - 1;
  tp->tv_sec = static_cast<time_t>((reading - origin) / kNs);
  tp->tv_nsec = static_cast<long>((reading - origin) % kNs);
  return 0;
}

// PIDFD_OPEN_FAIL=ERRNO fails every pidfd_open made through syscall() with
// that error, as a kernel before 5.3 (ENOSYS) or a seccomp filter (EPERM)
// would. PIDFD_HOLD_FD=N holds the first one: it writes "PID ASKED" on
// descriptor N, its own pid and the pid asked for, and goes on only once a
// byte comes back there (or the other end is closed), so that a test can
// change what the call will find; with PIDFD_HOLD_AT_SIGNAL=1 it holds the
// first pidfd_send_signal instead, saying the pid the pidfd refers to.
// PIDFD_SEND_SIGNAL_FAIL=ERRNO fails
// every pidfd_send_signal so, as a security module that forbids the signal
// would; PIDFD_SEND_SIGNAL_LOST=1 makes each succeed without a signal, as
// where the process takes longer than the caller's wait to end. Other
// calls go through unchanged.
#include <stdarg.h>
#include <sys/syscall.h>

namespace {

// The pid that pidfd refers to, as its fdinfo says, or -1.
long PidOf(long pidfd) {
  char path[64];
  char text[512];
  if (snprintf(path, sizeof path, "/proc/self/fdinfo/%ld", pidfd) <= 0) return -1;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return -1;
  text[got] = '\0';
  const char* line = strstr(text, "Pid:");
  return line != nullptr ? strtol(line + 4, nullptr, 10) : -1;
}

void HoldFirstPidfdCall(long asked) {
  static bool held = false;
  const int fd = EnvNumber("PIDFD_HOLD_FD", -1);
  if (held || fd < 0) return;
  held = true;
  char message[64];
  const int length = snprintf(message, sizeof message, "%d %ld", static_cast<int>(getpid()), asked);
  if (length <= 0 || write(fd, message, static_cast<size_t>(length)) != length) _exit(94);
  char go = 0;
  if (read(fd, &go, 1) < 0) _exit(95);
}

}  // namespace

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the header's name is a reserved one.
extern "C" long syscall(long number, ...) noexcept {
  // As the C library's own does: six arguments, whatever the call takes.
  va_list list;
  va_start(list, number);
  long arguments[6];
  for (long& argument : arguments) argument = va_arg(list, long);
  va_end(list);
  if (number == SYS_pidfd_open) {
    const int error = EnvNumber("PIDFD_OPEN_FAIL", 0);
    if (error > 0) {
      errno = error;
      return -1;
    }
    if (EnvNumber("PIDFD_HOLD_AT_SIGNAL", 0) != 1) HoldFirstPidfdCall(arguments[0]);
  }
  if (number == SYS_pidfd_send_signal && EnvNumber("PIDFD_HOLD_AT_SIGNAL", 0) == 1) {
    HoldFirstPidfdCall(PidOf(arguments[0]));
  }
  if (number == SYS_pidfd_send_signal && EnvNumber("PIDFD_SEND_SIGNAL_FAIL", 0) > 0) {
    errno = EnvNumber("PIDFD_SEND_SIGNAL_FAIL", 0);
    return -1;
  }
  if (number == SYS_pidfd_send_signal && EnvNumber("PIDFD_SEND_SIGNAL_LOST", 0) == 1) return 0;
  auto real_syscall = Next<long (*)(long, ...)>("syscall");
  if (real_syscall == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real_syscall(number, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4], arguments[5]);
}

#include <linux/prctl.h>
#include <sys/socket.h>

extern "C" int prctl(int option, ...) {
  va_list list;
  va_start(list, option);
  unsigned long arguments[4];
  for (unsigned long& argument : arguments) argument = va_arg(list, unsigned long);
  va_end(list);
  if (option == PR_SET_CHILD_SUBREAPER && Failing("prctl")) {
    errno = EINVAL;
    return -1;
  }
  auto real_prctl = Next<int (*)(int, ...)>("prctl");
  if (real_prctl == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real_prctl(option, arguments[0], arguments[1], arguments[2], arguments[3]);
}

extern "C" int socket(int domain, int type, int protocol) noexcept {
  if (Failing("socket")) {
    errno = EMFILE;
    return -1;
  }
  auto real_socket = Next<int (*)(int, int, int)>("socket");
  if (real_socket == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real_socket(domain, type, protocol);
}
