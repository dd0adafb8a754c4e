// The routines, each called inside a forked test process whose standard
// output and error are captured.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "monitor.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  ssize_t n = 0;
  lseek(fd, 0, SEEK_SET);
  while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  return text;
}

// Runs body in a forked process with standard output and error captured;
// the process's exit status is what body returned.
Outcome RunInTestProcess(const std::function<int()>& body) {
  const int out = memfd_create("stdout", MFD_CLOEXEC);
  const int err = memfd_create("stderr", MFD_CLOEXEC);
  Outcome outcome;
  if (out < 0 || err < 0) return outcome;
  // Nothing buffered in this process may be written again by the copy.
  if (fflush(nullptr) != 0) return outcome;
  const pid_t pid = fork();
  if (pid == 0) {
    if (dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(100);
    _exit(body());
  }
  if (pid > 0) {
    const auto status = harness::WaitForExit(pid);
    if (!status) {
      proc::KillStarted(pid);
      harness::WaitForExit(pid);
    }
    outcome.status = status ? *status : -1;
  }
  outcome.out = ReadAll(out);
  outcome.err = ReadAll(err);
  close(out);
  close(err);
  return outcome;
}

// Argument vectors for the target; they live as long as the test process.
std::vector<std::string> g_words;
std::vector<char*> g_argv;

void SetTarget(const char* program, const std::vector<std::string>& args) {
  g_words.assign(1, program == nullptr ? "" : program);
  g_words.insert(g_words.end(), args.begin(), args.end());
  g_argv.clear();
  for (auto& word : g_words) g_argv.push_back(word.data());
  g_argv.push_back(nullptr);
  monitor::child_program = program == nullptr ? nullptr : g_argv[0];
  monitor::child_agrs = g_argv.data();
}

// Waits in the test process for one of the watched signals.
int TakeSignal() {
  const timespec timeout{harness::kDeadlineMs / 1000, 0};
  return sigtimedwait(&monitor::_mask, nullptr, &timeout);
}

bool IsAlive(pid_t pid) { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

// Ends the target the routines left behind, as every test process must.
int EndTarget(int result) {
  const pid_t target = monitor::_child_process;
  proc::KillStarted(target);
  if (target > 0) harness::WaitForExit(target);
  return result;
}

// Exit codes of the test processes, so that a failure says which check.
enum Check {
  kPassed = 0,
  kSetupFailed = 10,
  kNoSignal,
  kNotRelaunched,
  kRelaunched,
  kTargetChanged,
  kNoCoreDumped,
  kSkipped = 77
};

// Where the kernel sends core files: a leading '|' hands them to a program,
// which decides on its own whether a core is written.
std::string CorePattern() {
  std::ifstream file("/proc/sys/kernel/core_pattern");
  std::string pattern;
  std::getline(file, pattern);
  return pattern;
}

// True when the ended target left a core file: looked at without reaping
// it, so that SigHandler still collects it.
bool DumpedCore(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0 && info.si_code == CLD_DUMPED;
}

struct EndCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  const char* mode;  // probe mode
  int kill_with;     // signal sent to the probe, or 0
  const char* line;  // what SigHandler must write
  bool relaunched;
  int turns;        // SIGCHLDs to take: a traced target stops before it ends
  bool dumps_core;  // the status must carry the core-dump bit
};

class TargetEnd : public ::testing::TestWithParam<EndCase> {};

// Ends the target in one way, takes its SIGCHLDs and hands them to
// SigHandler.
TEST_P(TargetEnd, IsReportedAndRelaunchedOnlyAfterASignal) {
  const EndCase c = GetParam();
  char scratch[4096];
  ASSERT_TRUE(proc::MakeScratch("monitor-unit", scratch, sizeof scratch));

  const Outcome outcome = RunInTestProcess([&] {
    // A core file, if any, lands in a scratch directory.
    if (chdir(scratch) != 0) return static_cast<int>(kSetupFailed);
    const rlimit no_core{0, RLIM_INFINITY};
    setrlimit(RLIMIT_CORE, &no_core);
    // The probe reports once it runs: a signal sent before the exec would
    // reach a copy of this test process instead.
    int report[2];
    if (pipe(report) != 0) return static_cast<int>(kSetupFailed);
    SetTarget(PROBE_PATH, {std::to_string(report[1]), c.mode});
    if (!monitor::BlockSignal() || monitor::StartChild() <= 0) return static_cast<int>(kSetupFailed);
    const pid_t first = monitor::_child_process;
    const auto line = harness::LineReader(report[0]).Next();
    if (!line) return EndTarget(kSetupFailed);
    if (*line == "traceme refused") return EndTarget(kSkipped);
    if (c.kill_with != 0) kill(first, c.kill_with);
    for (int turn = 0; turn < c.turns; ++turn) {
      if (TakeSignal() != SIGCHLD) return EndTarget(kNoSignal);
      if (c.dumps_core && turn + 1 == c.turns && !DumpedCore(first)) return EndTarget(kNoCoreDumped);
      monitor::SigHandler(SIGCHLD);
    }
    const pid_t now = monitor::_child_process;
    if (c.relaunched && (now == first || !IsAlive(now))) return EndTarget(kNotRelaunched);
    // An exited target is forgotten: no later end may be taken for it.
    if (!c.relaunched && (now != 0 || waitpid(-1, nullptr, WNOHANG) != -1)) return EndTarget(kRelaunched);
    return EndTarget(kPassed);
  });

  EXPECT_TRUE(proc::RemoveTree(scratch));
  if (outcome.status == kSkipped << 8) GTEST_SKIP() << "PTRACE_TRACEME is refused here";
  // A core-dumping program behind core_pattern may choose to write nothing.
  if (outcome.status == kNoCoreDumped << 8 && CorePattern().rfind('|', 0) == 0) {
    GTEST_SKIP() << "core_pattern hands cores to a program, which wrote none: " << CorePattern();
  }
  EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_EQ(outcome.out, std::string("fork ok\n") + c.line + "\n" + (c.relaunched ? "fork ok\n" : ""));
  EXPECT_EQ(outcome.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Ends, TargetEnd,
    ::testing::Values(
        EndCase{"KilledBySigkill", "stay", SIGKILL, "child exit by signal:9", true, 1, false},
        EndCase{"KilledBySigsegv", "stay", SIGSEGV, "child exit by signal:11", true, 1, false},
        // The status has the core bit set (139): still signal 11.
        EndCase{"CrashesWithCore", "core", 0, "child exit by signal:11", true, 1, true},
        // The tracer sees the crash first as a stop, and lets it
        // go on silently; the end that follows is relaunched.
        EndCase{"TracedAndCrashes", "traceme-crash", 0, "child exit by signal:11", true, 2, false},
        // Signals sent to a traced target, by itself or by
        // another process, are handed back when it is let go;
        // only the trap that follows an execve is dropped.
        EndCase{"TracedAndSentSigtrap", "traceme-stay", SIGTRAP, "child exit by signal:5", true, 2, false},
        EndCase{"TracedAndRaisesSigtrap", "traceme-trap", 0, "child exit by signal:5", true, 2, false},
        // A trap the target sends itself is not the trap of an execve:
        // handed back, it ends the target.
        EndCase{"TracedAndTrapsItself", "traceme-selftrap", 0, "child exit by signal:5", true, 2, false},
        EndCase{"TracedAndHitsABreakpoint", "traceme-breakpoint", 0, "child exit by signal:5", true, 2, false},
        EndCase{"TracedAndSendsItselfSigsegv", "traceme-core", 0, "child exit by signal:11", true, 2, false},
        EndCase{"ExitsWithZero", "exit:0", 0, "child exit normally:0", false, 1, false},
        EndCase{"ExitsWithOne", "exit:1", 0, "child exit normally:256", false, 1, false},
        EndCase{"ExitsWithThree", "exit:3", 0, "child exit normally:768", false, 1, false}),
    [](const auto& test) { return std::string(test.param.name); });

// A SIGCHLD whose wait collects nothing (the target stopped, continued, or
// someone sent SIGCHLD by hand), and every other watched signal: no line,
// no launch, the same target.
TEST(SigHandler, SignalsThatCollectNothingChangeNothing) {
  const Outcome outcome = RunInTestProcess([] {
    SetTarget(PROBE_PATH, {"-1", "stay"});
    if (!monitor::BlockSignal() || monitor::StartChild() <= 0) return static_cast<int>(kSetupFailed);
    const pid_t target = monitor::_child_process;

    kill(target, SIGSTOP);
    if (TakeSignal() != SIGCHLD) return EndTarget(kNoSignal);
    monitor::SigHandler(SIGCHLD);
    kill(target, SIGCONT);
    if (TakeSignal() != SIGCHLD) return EndTarget(kNoSignal);
    monitor::SigHandler(SIGCHLD);
    for (int signo : {SIGCHLD, SIGHUP, SIGINT, SIGTERM, SIGPIPE, SIGALRM}) monitor::SigHandler(signo);

    if (monitor::_child_process != target || !IsAlive(target)) return EndTarget(kTargetChanged);
    return EndTarget(kPassed);
  });
  EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_EQ(outcome.out, "fork ok\n");
  EXPECT_EQ(outcome.err, "");
}

// A target that exited is left down, whatever comes after: a SIGALRM (sent
// by hand, or one left over from an earlier failed fork) launches nothing.
TEST(SigHandler, AlarmAfterTheTargetExitedLaunchesNothing) {
  const Outcome outcome = RunInTestProcess([] {
    SetTarget(PROBE_PATH, {"-1", "exit:0"});
    if (!monitor::BlockSignal() || monitor::StartChild() <= 0) return static_cast<int>(kSetupFailed);
    if (TakeSignal() != SIGCHLD) return EndTarget(kNoSignal);
    monitor::SigHandler(SIGCHLD);
    monitor::SigHandler(SIGALRM);
    return monitor::_child_process == 0 ? static_cast<int>(kPassed) : EndTarget(kRelaunched);
  });
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "fork ok\nchild exit normally:0\n");
  EXPECT_EQ(outcome.err, "");
}

// After a relaunch's fork failed there is no target: a SIGCHLD then reaps
// whatever ended without a word, and the next SIGALRM launches the target.
TEST(SigHandler, WhileARelaunchIsPending) {
  const Outcome outcome = RunInTestProcess([] {
    SetTarget(PROBE_PATH, {"-1", "stay"});
    if (!monitor::BlockSignal()) return static_cast<int>(kSetupFailed);
    const pid_t unrelated = fork();
    if (unrelated == 0) _exit(0);
    if (TakeSignal() != SIGCHLD) return static_cast<int>(kNoSignal);
    monitor::_child_process = -1;
    monitor::SigHandler(SIGCHLD);
    if (waitpid(unrelated, nullptr, WNOHANG) != -1 || errno != ECHILD) return 20;
    monitor::SigHandler(SIGALRM);
    return EndTarget(IsAlive(monitor::_child_process) ? kPassed : kNotRelaunched);
  });
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "fork ok\n");
  EXPECT_EQ(outcome.err, "");
}

// A process that is given the pid of a target that exited and was left
// down is not that target: its death by a signal is reaped in silence and
// launches nothing. The pid is handed out again through ns_last_pid, which
// this suite may write as the first process of its own PID namespace.
TEST(SigHandler, AReusedPidOfAnExitedTargetIsNotTheTarget) {
  const Outcome outcome = RunInTestProcess([] {
    SetTarget(PROBE_PATH, {"-1", "exit:0"});
    if (!monitor::BlockSignal() || monitor::StartChild() <= 0) return static_cast<int>(kSetupFailed);
    const pid_t ended = monitor::_child_process;
    if (TakeSignal() != SIGCHLD) return EndTarget(kNoSignal);
    monitor::SigHandler(SIGCHLD);

    const int last_pid = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    if (last_pid < 0) return static_cast<int>(kSkipped);
    const std::string before = std::to_string(ended - 1);
    const bool set = write(last_pid, before.data(), before.size()) == static_cast<ssize_t>(before.size());
    close(last_pid);
    if (!set) return static_cast<int>(kSkipped);
    const pid_t impostor = fork();
    if (impostor == 0) {
      for (;;) pause();
    }
    if (impostor != ended) {
      proc::KillStarted(impostor);
      harness::WaitForExit(impostor);
      return static_cast<int>(kSkipped);
    }
    kill(impostor, SIGKILL);
    if (TakeSignal() != SIGCHLD) return static_cast<int>(kNoSignal);
    monitor::SigHandler(SIGCHLD);
    return waitpid(-1, nullptr, WNOHANG) == -1 ? static_cast<int>(kPassed) : EndTarget(kRelaunched);
  });
  if (outcome.status == kSkipped << 8) GTEST_SKIP() << "no pid can be handed out again here";
  EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_EQ(outcome.out, "fork ok\nchild exit normally:0\n");
  EXPECT_EQ(outcome.err, "");
}

// Waits, within the deadline, until a child has ended, without collecting it.
bool HasEnded(pid_t pid) {
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  for (;;) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | WNOHANG) == 0 && info.si_pid == pid)
      return true;
    if (harness::NowMs() > give_up) return false;
    proc::SleepUs(5000);
  }
}

// Children that end together raise one SIGCHLD between them: one turn of
// the handler collects them all, and reports the target's end alone.
TEST(SigHandler, OneSignalCollectsEveryChildThatEnded) {
  const Outcome outcome = RunInTestProcess([] {
    SetTarget(PROBE_PATH, {"-1", "exit:0"});
    if (!monitor::BlockSignal() || monitor::StartChild() <= 0) return static_cast<int>(kSetupFailed);
    const pid_t other = fork();
    if (other == 0) _exit(0);
    if (other < 0 || !HasEnded(monitor::_child_process) || !HasEnded(other)) return EndTarget(kSetupFailed);
    if (TakeSignal() != SIGCHLD) return EndTarget(kNoSignal);
    monitor::SigHandler(SIGCHLD);
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD ? static_cast<int>(kPassed) : EndTarget(20);
  });
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "fork ok\nchild exit normally:0\n");
  EXPECT_EQ(outcome.err, "");
}

// The audit architecture of the ABI this test is built for: a seccomp
// filter sees the system-call numbers of that ABI only under it.
constexpr unsigned kAuditArch =
#if defined(__x86_64__)
    AUDIT_ARCH_X86_64;
#elif defined(__i386__)
    AUDIT_ARCH_I386;
#elif defined(__aarch64__) && defined(__AARCH64EL__)
    AUDIT_ARCH_AARCH64;
#elif defined(__arm__) && defined(__ARMEL__)
    AUDIT_ARCH_ARM;
#elif defined(__mips__) && defined(__MIPSEL__) && _MIPS_SIM == _ABI64
    AUDIT_ARCH_MIPSEL64;
#elif defined(__mips__) && defined(__MIPSEL__) && _MIPS_SIM == _ABIO32
    AUDIT_ARCH_MIPSEL;
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    AUDIT_ARCH_PPC64LE;
#elif defined(__s390x__)
    AUDIT_ARCH_S390X;
#elif defined(__riscv) && __riscv_xlen == 64
    AUDIT_ARCH_RISCV64;
#else
    0;  // unknown: FailSystemCalls fails, and so do the tests that need it
#endif

// The system calls that can make a process.
const std::vector<int> kForkCalls{
    __NR_clone,
    __NR_clone3,
#ifdef __NR_fork
    __NR_fork,
#endif
#ifdef __NR_vfork
    __NR_vfork,
#endif
};

// Makes the listed system calls of the calling process fail with error from
// now on, as a shortage or a container's policy would.
bool FailSystemCalls(const std::vector<int>& numbers, int error) {
  // cppcheck-suppress knownConditionTrueFalse ; the compiler, not cppcheck, knows the architecture
  if (kAuditArch == 0) return false;
  std::vector<sock_filter> filter{
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
  };
  for (const int number : numbers) {
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)));
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The relaunch's fork fails: "fork error" on standard error, and the alarm
// that tries again arrives and launches again.
TEST(SigHandler, RelaunchWhoseForkFailsIsRetriedByTheAlarm) {
  const Outcome outcome = RunInTestProcess([] {
    SetTarget(PROBE_PATH, {"-1", "stay"});
    if (!monitor::BlockSignal() || monitor::StartChild() <= 0) return static_cast<int>(kSetupFailed);
    if (!FailSystemCalls(kForkCalls, EAGAIN)) return EndTarget(kSetupFailed);
    kill(monitor::_child_process, SIGKILL);
    if (TakeSignal() != SIGCHLD) return EndTarget(kNoSignal);
    monitor::SigHandler(SIGCHLD);
    if (monitor::_child_process >= 0) return EndTarget(kRelaunched);
    if (TakeSignal() != SIGALRM) return static_cast<int>(kNoSignal);
    monitor::SigHandler(SIGALRM);
    return monitor::_child_process < 0 ? static_cast<int>(kPassed) : EndTarget(kRelaunched);
  });
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "fork ok\nchild exit by signal:9\n");
  EXPECT_EQ(outcome.err, "fork error\nfork error\n");
}

// Makes PTRACE_GET_SYSCALL_INFO fail with EIO in the calling process, as a
// kernel older than 5.3 refuses it; every other request goes through.
bool RefuseSyscallInfo() {
  // cppcheck-suppress knownConditionTrueFalse ; the compiler, not cppcheck, knows the architecture
  if (kAuditArch == 0) return false;
  // The request is ptrace's first argument; its low half is the word read.
  constexpr unsigned kRequest = offsetof(seccomp_data, args) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ptrace, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kRequest),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PTRACE_GET_SYSCALL_INFO, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    return false;
  }
  // The request is refused as such, not for want of a tracee.
  __ptrace_syscall_info info{};
  errno = 0;
  return ptrace(PTRACE_GET_SYSCALL_INFO, getpid(), sizeof info, &info) == -1 && errno == EIO;
}

struct TrapCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  const char* mode;
  bool without_proc;
};

class TrapWithoutSyscallInfo : public ::testing::TestWithParam<TrapCase> {};

// On a kernel without PTRACE_GET_SYSCALL_INFO the exec's trap is still
// dropped, and a trap the target sends itself still handed back: the stack
// pointer is then read from /proc. Where /proc cannot give it either,
// nothing tells where the stack pointer stands, and the trap is taken for
// the exec's, so that the new program runs.
TEST_P(TrapWithoutSyscallInfo, IsStillToldApart) {
  const TrapCase c = GetParam();
  const bool exec = std::string(c.mode) == "traceme-exec";
  char scratch[4096];
  ASSERT_TRUE(proc::MakeScratch("monitor-unit", scratch, sizeof scratch));
  const Outcome outcome = RunInTestProcess([&] {
    const rlimit no_core{0, RLIM_INFINITY};
    if (chdir(scratch) != 0 || setrlimit(RLIMIT_CORE, &no_core) != 0) return static_cast<int>(kSetupFailed);
    if (c.without_proc &&
        (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
         mount("none", "/proc", "tmpfs", 0, nullptr) != 0)) {
      return static_cast<int>(kSkipped);
    }
    int report[2];
    if (pipe(report) != 0 || !RefuseSyscallInfo()) return static_cast<int>(kSetupFailed);
    SetTarget(PROBE_PATH, {std::to_string(report[1]), c.mode});
    if (!monitor::BlockSignal() || monitor::StartChild() <= 0) return static_cast<int>(kSetupFailed);
    const pid_t first = monitor::_child_process;
    harness::LineReader reader(report[0]);
    const auto line = reader.Next();
    if (!line) return EndTarget(kSetupFailed);
    if (*line == "traceme refused") return EndTarget(kSkipped);
    // The stop for the trap, then, for a self-sent one, the end it causes.
    for (int turn = 0; turn < (exec ? 1 : 2); ++turn) {
      if (TakeSignal() != SIGCHLD) return EndTarget(kNoSignal);
      monitor::SigHandler(SIGCHLD);
    }
    const pid_t now = monitor::_child_process;
    if (exec) {
      const auto executed = reader.Next();
      if (!executed || harness::ParseReport(*executed).pid != first) return EndTarget(kNotRelaunched);
      return now == first && IsAlive(first) ? EndTarget(kPassed) : EndTarget(kRelaunched);
    }
    return now != first && IsAlive(now) ? EndTarget(kPassed) : EndTarget(kNotRelaunched);
  });
  EXPECT_TRUE(proc::RemoveTree(scratch));
  if (outcome.status == kSkipped << 8)
    GTEST_SKIP() << "PTRACE_TRACEME is refused, or no mount namespace can be made here";
  EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  EXPECT_EQ(outcome.out, exec ? "fork ok\n" : "fork ok\nchild exit by signal:5\nfork ok\n");
  EXPECT_EQ(outcome.err, "");
}

INSTANTIATE_TEST_SUITE_P(Traps, TrapWithoutSyscallInfo,
                         ::testing::Values(TrapCase{"OfTheExec", "traceme-exec", false},
                                           TrapCase{"SentByItself", "traceme-selftrap", false},
                                           TrapCase{"OfTheExecWithoutProc", "traceme-exec", true}),
                         [](const auto& test) { return std::string(test.param.name); });

class FailedExec : public ::testing::TestWithParam<const char*> {};

// The forked process says "exec error" and leaves with _exit(127): it runs
// nothing of the test process after StartChild and flushes none of its
// stdio buffers (the unflushed "pending" must appear once, not twice). The
// supervisor sees an ordinary exit and does not relaunch.
TEST_P(FailedExec, EndsTheForkedProcessAtOnce) {
  char scratch[4096];
  ASSERT_TRUE(proc::MakeScratch("monitor-unit", scratch, sizeof scratch));
  const std::string file = std::string(scratch) + "/not-executable";
  const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  const char* non_executable = file.c_str();
  const std::string which = GetParam();
  const char* program = which == "absent" ? nullptr : which == "non-executable" ? non_executable : GetParam();

  const Outcome outcome = RunInTestProcess([&] {
    SetTarget(program, {"-1", "stay"});
    if (!monitor::BlockSignal()) return static_cast<int>(kSetupFailed);
    printf("pending");
    if (monitor::StartChild() <= 0) return static_cast<int>(kSetupFailed);
    if (TakeSignal() != SIGCHLD) return EndTarget(kNoSignal);
    monitor::SigHandler(SIGCHLD);
    return fflush(stdout) == 0 ? static_cast<int>(kPassed) : static_cast<int>(kSetupFailed);
  });
  EXPECT_TRUE(proc::RemoveTree(scratch));

  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "fork ok\nchild exit normally:32512\npending");
  EXPECT_EQ(outcome.err, "exec error\n");
}

INSTANTIATE_TEST_SUITE_P(Paths, FailedExec,
                         ::testing::Values("/nonexistent/probe", "/", "non-executable", "absent",
                                           "sleep" /* no search along PATH */));

struct GraceCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  const char* file;  // MISSING, NOT_EXECUTABLE (0644) or NOT_A_PROGRAM (0755 text)
  monitor::Launch launch;
};

class DeployGrace : public ::testing::TestWithParam<GraceCase> {};

// A relaunch whose file is missing, not executable or not yet a program
// (as in the middle of an install over it) keeps trying for about two
// seconds, with one "exec error" for all its tries, then leaves the target
// down as any exec failure does. The first launch, checked before
// detaching, gives up at once.
TEST_P(DeployGrace, IsGivenToARelaunchOnly) {
  const GraceCase c = GetParam();
  char scratch[4096];
  ASSERT_TRUE(proc::MakeScratch("monitor-unit", scratch, sizeof scratch));
  const std::string file = std::string(scratch) + "/program";
  const std::string which = c.file;
  if (which != "MISSING") {
    std::ofstream text(file);
    text << "not a program\n";
    text.close();
    ASSERT_EQ(chmod(file.c_str(), which == "NOT_EXECUTABLE" ? 0644 : 0755), 0);
  }
  const Outcome outcome = RunInTestProcess([&] {
    SetTarget(file.c_str(), {"-1", "stay"});
    if (!monitor::BlockSignal()) return static_cast<int>(kSetupFailed);
    const long long started = harness::NowMs();
    if (monitor::StartChild(c.launch) <= 0) return static_cast<int>(kSetupFailed);
    if (TakeSignal() != SIGCHLD) return EndTarget(kNoSignal);
    // The time goes out through the exit status, in tenths of a second.
    const long long tenths = (harness::NowMs() - started) / 100;
    monitor::SigHandler(SIGCHLD);
    return static_cast<int>(tenths < 100 ? tenths : 100);
  });
  EXPECT_TRUE(proc::RemoveTree(scratch));
  ASSERT_TRUE(WIFEXITED(outcome.status)) << outcome.status;
  const long long took_ms = WEXITSTATUS(outcome.status) * 100LL;
  EXPECT_EQ(outcome.out, "fork ok\nchild exit normally:32512\n");
  EXPECT_EQ(outcome.err, "exec error\n");
  if (c.launch == monitor::Launch::kRelaunch) {
    EXPECT_GE(took_ms, 1500) << "gave up before the grace was over";
  } else {
    // Far below the grace: the forked process did not wait at all.
    EXPECT_LT(took_ms, 1500) << "the first launch waited";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, DeployGrace,
    ::testing::Values(GraceCase{"MissingAtARelaunch", "MISSING", monitor::Launch::kRelaunch},
                      GraceCase{"NotExecutableAtARelaunch", "NOT_EXECUTABLE", monitor::Launch::kRelaunch},
                      GraceCase{"NotAProgramAtARelaunch", "NOT_A_PROGRAM", monitor::Launch::kRelaunch},
                      GraceCase{"MissingAtTheFirstLaunch", "MISSING", monitor::Launch::kFirst},
                      GraceCase{"NotExecutableAtTheFirstLaunch", "NOT_EXECUTABLE", monitor::Launch::kFirst},
                      GraceCase{"NotAProgramAtTheFirstLaunch", "NOT_A_PROGRAM", monitor::Launch::kFirst}),
    [](const auto& test) { return std::string(test.param.name); });

class TransientExecFailure : public ::testing::TestWithParam<int> {};

// An exec that fails only for a moment (the system short of memory,
// processes or open files) is tried again by the forked process, which
// says "exec error" each time and does not end.
TEST_P(TransientExecFailure, IsTriedAgainByTheForkedProcess) {
  const Outcome outcome = RunInTestProcess([] {
    SetTarget(PROBE_PATH, {"-1", "stay"});
    if (!monitor::BlockSignal() || !FailSystemCalls({__NR_execve, __NR_execveat}, GetParam())) {
      return static_cast<int>(kSetupFailed);
    }
    if (monitor::StartChild() <= 0) return static_cast<int>(kSetupFailed);
    // Standard error is a file shared with the forked process.
    const std::string twice = "exec error\nexec error\n";
    const long long give_up = harness::NowMs() + harness::kDeadlineMs;
    char text[64] = {};
    while (pread(STDERR_FILENO, text, twice.size(), 0) < static_cast<ssize_t>(twice.size()) &&
           IsAlive(monitor::_child_process) && harness::NowMs() < give_up) {
      proc::SleepUs(10000);
    }
    return EndTarget(IsAlive(monitor::_child_process) ? kPassed : kNotRelaunched);
  });
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "fork ok\n");
  EXPECT_EQ(outcome.err.rfind("exec error\nexec error\n", 0), 0U) << outcome.err;
}

INSTANTIATE_TEST_SUITE_P(Errors, TransientExecFailure, ::testing::Values(EAGAIN, ENOMEM, ENFILE),
                         [](const auto& test) { return std::string(strerrorname_np(test.param)); });

// Whether execve runs path, from a forked copy of the test process.
bool ExecveRuns(const char* path) {
  const pid_t pid = fork();
  if (pid == 0) {
    char* argv[] = {const_cast<char*>(path), const_cast<char*>("-1"), const_cast<char*>("exit:0"), nullptr};
    execve(path, argv, environ);
    _exit(127);
  }
  const auto status = harness::WaitForExit(pid);
  return status && *status == 0;
}

// Makes the system call behind faccessat(..., AT_EACCESS) fail with EPERM
// in the calling process, as some container runtimes' seccomp policies do;
// false if the filter cannot be installed or does not take effect.
bool RefuseTheEffectiveAccessQuestion() {
  return FailSystemCalls({SYS_faccessat2}, EPERM) && faccessat(AT_FDCWD, "/", X_OK, AT_EACCESS) != 0 && errno == EPERM;
}

// Makes both permission questions fail with EPERM, the older faccessat
// (and access, where it exists) as well: only the mode bits can answer.
bool RefuseEveryAccessQuestion() {
#ifdef SYS_access
  if (!FailSystemCalls({SYS_access}, EPERM)) return false;
#endif
  return FailSystemCalls({SYS_faccessat2, SYS_faccessat}, EPERM) && RefuseTheEffectiveAccessQuestion() &&
         syscall(SYS_faccessat, AT_FDCWD, "/", X_OK) != 0 && errno == EPERM;
}

// Who a test process becomes besides root: the user and group that own
// nothing, and a supplementary group.
constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65534;
constexpr gid_t kSupplementaryGroup = 65533;
constexpr uid_t kThirdUser = 65533;

// How much of the permission question the system answers.
enum class Question { kAnswered, kEffectiveRefused, kEveryRefused };

// Makes the system refuse the permission question as asked.
bool Refuse(Question question) {
  if (question == Question::kEffectiveRefused) return RefuseTheEffectiveAccessQuestion();
  if (question == Question::kEveryRefused) return RefuseEveryAccessQuestion();
  return true;
}

struct Asker {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  Question question;              // what the system refuses to answer
  bool other_real_user;           // the real user is kOtherUser, the effective root
  bool other_effective_user;      // the effective user is kOtherUser, in kOtherGroup and
                                  // kSupplementaryGroup; the real one root
  bool two_other_users = false;   // the real user kThirdUser, the effective kOtherUser,
                                  // with no capability at all
  bool other_real_group = false;  // kOtherUser alone, the real group kSupplementaryGroup,
                                  // the effective kOtherGroup, no supplementary one
};

// Becomes the asker; false if this process may not.
bool BecomeAsker(const Asker& asker) {
  const auto keep = static_cast<uid_t>(-1);
  if (asker.other_real_user && setresuid(kOtherUser, keep, keep) != 0) return false;
  if (asker.other_real_group &&
      (setgroups(0, nullptr) != 0 || setresgid(kSupplementaryGroup, kOtherGroup, kOtherGroup) != 0 ||
       setresuid(kOtherUser, kOtherUser, kOtherUser) != 0)) {
    return false;
  }
  // Neither is root, so every capability goes: only the ids decide.
  if (asker.two_other_users && (setgroups(0, nullptr) != 0 || setresuid(kThirdUser, kOtherUser, kOtherUser) != 0)) {
    return false;
  }
  if (asker.other_effective_user && (setgroups(1, &kSupplementaryGroup) != 0 ||
                                     setresgid(static_cast<gid_t>(-1), kOtherGroup, static_cast<gid_t>(-1)) != 0 ||
                                     setresuid(keep, kOtherUser, keep) != 0)) {
    return false;
  }
  return true;
}

class CheckTarget : public ::testing::TestWithParam<Asker> {};

// The check before detaching must never refuse what execve would run, and
// must refuse what it certainly would not: compared with execve itself, in
// the same working directory and as the same user; also where the system
// refuses to answer the permission question itself, and where the real
// user is not the effective one.
TEST_P(CheckTarget, AgreesWithExecve) {
  const Asker asker = GetParam();
  char scratch[4096];
  ASSERT_TRUE(proc::MakeScratch("monitor-unit", scratch, sizeof scratch));
  const std::string dir = scratch;
  ASSERT_EQ(chmod(scratch, 0755), 0);
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/program", 0755));
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/owner-only", 0100));
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/group-only", 0010));
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/supplementary-group-only", 0010));
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/others-only", 0001));
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/other-users-own", 0100));
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/no-execute", 0644));
  // Where the other ids cannot own files, they cannot be become either.
  const bool owned =
      chown((dir + "/other-users-own").c_str(), kOtherUser, static_cast<gid_t>(-1)) == 0 &&
      chown((dir + "/group-only").c_str(), static_cast<uid_t>(-1), kOtherGroup) == 0 &&
      chown((dir + "/supplementary-group-only").c_str(), static_cast<uid_t>(-1), kSupplementaryGroup) == 0;
  ASSERT_EQ(mkdir((dir + "/directory").c_str(), 0755), 0);
  ASSERT_EQ(symlink("program", (dir + "/link").c_str()), 0);
  ASSERT_EQ(symlink("directory", (dir + "/link-to-directory").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir + "/dangling").c_str()), 0);
  {
    std::ofstream text(dir + "/text");
    text << "not a program\n";
  }
  ASSERT_EQ(chmod((dir + "/text").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0755), 0);
  // A runnable program of 3 GiB, sparse: a 32-bit build that asks stat
  // without large-file support is told EOVERFLOW instead.
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/huge", 0755));
  ASSERT_EQ(truncate((dir + "/huge").c_str(), off_t{3} << 30), 0);

  struct Case {
    const char* path;
    bool passes;  // the check's answer, where it does not depend on the user
  };
  const Case cases[] = {
      {"program", true},     {"./program", true},       {"directory/../link", true},
      {"owner-only", true},  {"others-only", true},     {"text", true},  // only execve can tell it is no program
      {"no-execute", false}, {"directory", false},      {"link-to-directory", false},
      {"dangling", false},   {"program/", false},       {"fifo", false},
      {"group-only", true},  {"other-users-own", true}, {"supplementary-group-only", true},
      {"huge", true}};  // beyond what a 32-bit off_t holds
  bool skipped =
      (asker.other_real_user || asker.other_effective_user || asker.two_other_users || asker.other_real_group) &&
      !owned;
  for (const Case& c : cases) {
    if (skipped) break;
    const Outcome outcome = RunInTestProcess([&] {
      if (chdir(scratch) != 0) return static_cast<int>(kSetupFailed);
      if (!BecomeAsker(asker)) return static_cast<int>(kSkipped);
      if (!Refuse(asker.question)) return static_cast<int>(kSetupFailed);
      SetTarget(c.path, {});
      return (monitor::CheckTarget() ? 1 : 0) | (ExecveRuns(c.path) ? 2 : 0);
    });
    ASSERT_TRUE(WIFEXITED(outcome.status)) << c.path;
    ASSERT_NE(WEXITSTATUS(outcome.status), kSetupFailed) << "the permission question could not be refused";
    const int result = WEXITSTATUS(outcome.status);
    if (result == kSkipped) {
      skipped = true;
      break;
    }
    const bool passes = (result & 1) != 0;
    const bool runs = (result & 2) != 0;
    EXPECT_TRUE(passes || !runs) << c.path << ": refused, but execve runs it";
    // Files with a single execute bit run or not depending on who asks; the
    // check must follow execve there.
    const std::string path = c.path;
    if (path.find("only") != std::string::npos || path == "other-users-own") {
      EXPECT_EQ(passes, runs) << c.path;
    } else {
      EXPECT_EQ(passes, c.passes) << c.path;
    }
    EXPECT_EQ(outcome.err.empty(), passes) << c.path << ": " << outcome.err;
    if (!passes) {
      EXPECT_EQ(outcome.err.rfind(std::string("exec error: ") + c.path + ": ", 0), 0U) << outcome.err;
    }
  }
  EXPECT_TRUE(proc::RemoveTree(scratch));
  if (skipped)
    GTEST_SKIP() << "user " << kOtherUser << " cannot be become here (it takes CAP_SETUID and the id mapped)";
}

INSTANTIATE_TEST_SUITE_P(
    PermissionQuestion, CheckTarget,
    ::testing::Values(Asker{"Answered", Question::kAnswered, false, false},
                      Asker{"Refused", Question::kEffectiveRefused, false, false},
                      Asker{"EveryFormRefused", Question::kEveryRefused, false, false},
                      Asker{"AnsweredForAnotherRealUser", Question::kAnswered, true, false},
                      Asker{"RefusedForAnotherRealUser", Question::kEffectiveRefused, true, false},
                      Asker{"AnsweredForAnotherEffectiveUser", Question::kAnswered, false, true},
                      Asker{"RefusedForAnotherEffectiveUser", Question::kEffectiveRefused, false, true},
                      Asker{"RefusedForTwoOtherUsers", Question::kEffectiveRefused, false, false, true},
                      Asker{"RefusedForAnotherRealGroup", Question::kEffectiveRefused, false, false, false, true}),
    [](const auto& test) { return std::string(test.param.name); });

class CheckTargetBeyondTheBits : public ::testing::TestWithParam<Question> {};

// Grants user execute permission on path through an ACL, on a file whose
// mode bits grant that user nothing; false where ACLs are not supported.
bool GrantThroughAcl(const std::string& path, uid_t user) {
  // The attribute's layout: a version, then entries of a tag, permissions
  // and an id, every number little-endian whatever the processor.
  std::string acl;
  const auto number = [&acl](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) acl += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  const auto entry = [&number](uint16_t tag, uint16_t permissions, uint32_t id) {
    number(tag, 2);
    number(permissions, 2);
    number(id, 4);
  };
  constexpr uint32_t kUndefinedId = ~0U;
  number(2, 4);
  // Owner rwx, the user r-x, owning group nothing, mask r-x, others nothing.
  entry(0x01, 7, kUndefinedId);
  entry(0x02, 5, user);
  entry(0x04, 0, kUndefinedId);
  entry(0x10, 5, kUndefinedId);
  entry(0x20, 0, kUndefinedId);
  return setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
}

// Becomes root of a new user namespace in which only root is mapped, so
// that files of other owners are out of reach of its capabilities.
bool BecomeRootOfANewUserNamespace() {
  if (unshare(CLONE_NEWUSER) != 0) return false;
  const auto write_file = [](const char* path, const char* text) {
    std::ofstream file(path);
    file << text;
    file.close();
    return static_cast<bool>(file);
  };
  return write_file("/proc/self/setgroups", "deny") && write_file("/proc/self/uid_map", "0 0 1") &&
         write_file("/proc/self/gid_map", "0 0 1");
}

// What decides execve beyond the permission bits: a mount that forbids
// execution, the capability that overrides the bits, dropped by root,
// held by another user, or out of reach in a user namespace that does not
// map the file's owner, and an ACL that grants what the bits do not. The
// check must follow execve wherever the system answers the permission
// question in one of its two forms; where it answers neither, only the
// mode bits can, and the ACL and the namespace are beyond them. Needs root.
TEST_P(CheckTargetBeyondTheBits, AgreesWithExecve) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const Question question = GetParam();
  char scratch[4096];
  ASSERT_TRUE(proc::MakeScratch("monitor-unit", scratch, sizeof scratch));
  const std::string dir = scratch;
  ASSERT_EQ(chmod(scratch, 0755), 0);
  ASSERT_EQ(mkdir((dir + "/noexec").c_str(), 0755), 0);
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/someone-elses", 0700));
  ASSERT_EQ(chown((dir + "/someone-elses").c_str(), 12345, 12345), 0);
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/roots", 0700));
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/granted-by-acl", 0700));
  const bool acl = GrantThroughAcl(dir + "/granted-by-acl", kOtherUser);

  enum Setup {
    kNoexecMount,
    kRootWithoutOverride,
    kRootWithReadSearchAlone,
    kUserWithOverride,
    kUserGrantedByAcl,
    kRootOfANamespaceWithoutTheOwner
  };
  for (const Setup setup : {kNoexecMount, kRootWithoutOverride, kRootWithReadSearchAlone, kUserWithOverride,
                            kUserGrantedByAcl, kRootOfANamespaceWithoutTheOwner}) {
    const bool beyond_the_bits = setup == kUserGrantedByAcl || setup == kRootOfANamespaceWithoutTheOwner;
    if (beyond_the_bits && question == Question::kEveryRefused) continue;
    if (setup == kUserGrantedByAcl && !acl) continue;
    const std::string path = dir + (setup == kNoexecMount        ? "/noexec/program"
                                    : setup == kUserWithOverride ? "/roots"
                                    : setup == kUserGrantedByAcl ? "/granted-by-acl"
                                                                 : "/someone-elses");
    const Outcome outcome = RunInTestProcess([&] {
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct caps[2]{};
      const uint32_t overrides = (1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH);
      if (setup == kNoexecMount) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", (dir + "/noexec").c_str(), "tmpfs", MS_NOEXEC, nullptr) != 0 ||
            !harness::CopyFile(PROBE_PATH, path, 0755)) {
          return static_cast<int>(kSetupFailed);
        }
      } else if (setup == kRootWithoutOverride || setup == kRootWithReadSearchAlone) {
        if (syscall(SYS_capget, &header, caps) != 0) return static_cast<int>(kSetupFailed);
        caps[0].effective &= ~(setup == kRootWithoutOverride ? overrides : 1U << CAP_DAC_OVERRIDE);
        if (syscall(SYS_capset, &header, caps) != 0) return static_cast<int>(kSetupFailed);
      } else if (setup == kRootOfANamespaceWithoutTheOwner) {
        if (!BecomeRootOfANewUserNamespace()) return static_cast<int>(kSkipped);
      } else {
        const uid_t nobody = kOtherUser;
        const bool keep = setup == kUserWithOverride;
        if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
            prctl(PR_SET_KEEPCAPS, keep ? 1 : 0, 0, 0, 0) != 0 || setresuid(nobody, nobody, nobody) != 0) {
          return static_cast<int>(kSetupFailed);
        }
        caps[0].effective = caps[0].permitted = keep ? overrides : 0;
        if (syscall(SYS_capset, &header, caps) != 0) return static_cast<int>(kSetupFailed);
      }
      if (!Refuse(question)) return static_cast<int>(kSetupFailed);
      SetTarget(path.c_str(), {});
      return (monitor::CheckTarget() ? 1 : 0) | (ExecveRuns(path.c_str()) ? 2 : 0);
    });
    ASSERT_TRUE(WIFEXITED(outcome.status)) << path;
    if (WEXITSTATUS(outcome.status) == kSkipped) continue;
    ASSERT_NE(WEXITSTATUS(outcome.status), kSetupFailed) << path << ": could not be set up";
    const bool passes = (WEXITSTATUS(outcome.status) & 1) != 0;
    const bool runs = (WEXITSTATUS(outcome.status) & 2) != 0;
    EXPECT_EQ(passes, runs) << path << " (setup " << setup << ")"
                            << (passes ? ": accepted, but execve refuses it" : ": refused, but execve runs it") << "; "
                            << outcome.err;
  }
  EXPECT_TRUE(proc::RemoveTree(scratch));
}

INSTANTIATE_TEST_SUITE_P(PermissionQuestion, CheckTargetBeyondTheBits,
                         ::testing::Values(Question::kAnswered, Question::kEffectiveRefused, Question::kEveryRefused),
                         [](const auto& test) {
                           return test.param == Question::kAnswered           ? "Answered"
                                  : test.param == Question::kEffectiveRefused ? "Refused"
                                                                              : "EveryFormRefused";
                         });

// Detaching puts /dev/null on descriptors 0 to 2, so a path that reaches
// its file through one of them would no longer find it: refused, however
// it is spelt, while the same file by its own name, or through another
// descriptor, passes. The descriptors come back as they were.
TEST(CheckTargetPath, ThroughAStandardDescriptorIsRefused) {
  char scratch[4096];
  ASSERT_TRUE(proc::MakeScratch("monitor-unit", scratch, sizeof scratch));
  const std::string dir = scratch;
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/program", 0755));
  ASSERT_EQ(symlink("/dev/stdin", (dir + "/link-to-stdin").c_str()), 0);
  struct Case {
    std::string path;
    bool passes;
  };
  const std::vector<Case> cases{{"/dev/stdin", false},    {"/dev/fd/0", false},     {"/proc/self/fd/0", false},
                                {"link-to-stdin", false}, {"/dev/stdout", false},   {"/proc/thread-self/fd/1", false},
                                {"program", true},        {"/proc/self/fd/5", true}};
  for (const Case& c : cases) {
    const Outcome outcome = RunInTestProcess([&] {
      // The program on standard input and output, output close-on-exec, and
      // on descriptor 5.
      const int program = open((dir + "/program").c_str(), O_RDONLY);
      if (chdir(scratch) != 0 || program < 0 || dup2(program, STDIN_FILENO) != 0 ||
          dup3(program, STDOUT_FILENO, O_CLOEXEC) != 1 || dup2(program, 5) != 5) {
        return static_cast<int>(kSetupFailed);
      }
      struct stat before {};
      if (fstat(program, &before) != 0) return static_cast<int>(kSetupFailed);
      SetTarget(c.path.c_str(), {});
      const int result = monitor::CheckTarget() ? 1 : 0;
      struct stat in {};
      struct stat out {};
      if (fstat(STDIN_FILENO, &in) != 0 || fstat(STDOUT_FILENO, &out) != 0 || in.st_ino != before.st_ino ||
          out.st_ino != before.st_ino || fcntl(STDIN_FILENO, F_GETFD) != 0 ||
          fcntl(STDOUT_FILENO, F_GETFD) != FD_CLOEXEC) {
        return 2;
      }
      return result;
    });
    EXPECT_EQ(outcome.status, (c.passes ? 1 : 0) << 8) << c.path << ": " << outcome.err;
    EXPECT_EQ(outcome.err, c.passes ? ""
                                    : "exec error: " + c.path +
                                          ": reached through standard input, output or error, which lead to "
                                          "/dev/null once monitor detaches\n");
  }
  // The supervisor's own pid names the same descriptors as /proc/self.
  const Outcome own = RunInTestProcess([&] {
    const int program = open((dir + "/program").c_str(), O_RDONLY);
    if (program < 0 || dup2(program, STDIN_FILENO) != 0) return static_cast<int>(kSetupFailed);
    const std::string path = "/proc/" + std::to_string(getpid()) + "/fd/0";
    SetTarget(path.c_str(), {});
    return monitor::CheckTarget() ? 1 : 0;
  });
  EXPECT_EQ(own.status, 0) << own.err;
  // Where no descriptor is left to save the standard ones in, the check
  // answers nothing, and refuses nothing.
  const Outcome crowded = RunInTestProcess([&] {
    const rlimit four{4, 4};
    if (chdir(scratch) != 0 || close_range(3, ~0U, 0) != 0 || setrlimit(RLIMIT_NOFILE, &four) != 0) {
      return static_cast<int>(kSetupFailed);
    }
    SetTarget("program", {});
    return monitor::CheckTarget() ? 0 : 1;
  });
  EXPECT_EQ(crowded.status, 0) << crowded.err;
  // Standard descriptors that were closed are closed again afterwards, and
  // the check leaves no descriptor of its own behind: through a magic link,
  // so that the descriptors are swapped, and by a plain name.
  for (const char* path : {"/proc/self/fd/5", "program"}) {
    const Outcome closed = RunInTestProcess([&] {
      const int program = open((dir + "/program").c_str(), O_RDONLY);
      if (chdir(scratch) != 0 || program < 0 || (program != 5 && (dup2(program, 5) != 5 || close(program) != 0)) ||
          close(STDIN_FILENO) != 0 || close(STDOUT_FILENO) != 0) {
        return static_cast<int>(kSetupFailed);
      }
      const int open_before = proc::OpenDescriptors(getpid());
      SetTarget(path, {});
      if (!monitor::CheckTarget()) return 1;
      if (proc::OpenDescriptors(getpid()) != open_before) return 3;
      return fcntl(STDIN_FILENO, F_GETFD) == -1 && fcntl(STDOUT_FILENO, F_GETFD) == -1 ? 0 : 2;
    });
    EXPECT_EQ(closed.status, 0) << path << ": " << closed.err;
  }
  EXPECT_TRUE(proc::RemoveTree(scratch));
}

// The descriptors 0 to 2 of the calling process: what each leads to and its
// close-on-exec flag, or -1 for a closed one.
std::vector<std::pair<long long, int>> StandardDescriptors() {
  std::vector<std::pair<long long, int>> found;
  for (int fd = 0; fd < 3; ++fd) {
    struct stat file {};
    const int flags = fcntl(fd, F_GETFD);
    found.emplace_back(flags >= 0 && fstat(fd, &file) == 0 ? static_cast<long long>(file.st_ino) : -1, flags);
  }
  return found;
}

// With no descriptor to spare for the check (the limit on open files at
// its floor), a path through a magic link cannot be looked into: it is not
// refused, and descriptors 0 to 2 are left exactly as they were. A path
// that cannot be looked up at all with /dev/null on descriptors 0 to 2 (a
// file under a directory on standard input) reaches its file through them,
// and is refused.
TEST(CheckTargetPath, StandardDescriptorsAtTheEdges) {
  char scratch[4096];
  ASSERT_TRUE(proc::MakeScratch("monitor-unit", scratch, sizeof scratch));
  const std::string dir = scratch;
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/program", 0755));
  for (const rlim_t limit : {rlim_t{4}, rlim_t{5}}) {
    const Outcome crowded = RunInTestProcess([&] {
      // Descriptor 3 holds the program; 0 is a pipe, close-on-exec.
      int ends[2];
      const int program = open((dir + "/program").c_str(), O_RDONLY);
      if (program < 0 || dup2(program, 3) != 3 || close_range(4, ~0U, 0) != 0 || pipe(ends) != 0 ||
          dup3(ends[0], STDIN_FILENO, O_CLOEXEC) != 0 || close(ends[0]) != 0 || close(ends[1]) != 0) {
        return static_cast<int>(kSetupFailed);
      }
      const rlimit floor{limit, limit};
      if (setrlimit(RLIMIT_NOFILE, &floor) != 0) return static_cast<int>(kSetupFailed);
      const auto before = StandardDescriptors();
      SetTarget("/proc/self/fd/3", {});
      if (!monitor::CheckTarget()) return 1;
      return StandardDescriptors() == before ? 0 : 2;
    });
    EXPECT_EQ(crowded.status, 0) << "limit " << limit << ": " << crowded.err;
  }
  ASSERT_EQ(mkdir((dir + "/directory").c_str(), 0755), 0);
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/directory/program", 0755));
  const Outcome under_stdin = RunInTestProcess([&] {
    const int directory = open((dir + "/directory").c_str(), O_RDONLY | O_DIRECTORY);
    if (directory < 0 || dup2(directory, STDIN_FILENO) != 0) return static_cast<int>(kSetupFailed);
    SetTarget("/dev/stdin/program", {});
    return monitor::CheckTarget() ? 1 : 0;
  });
  EXPECT_EQ(under_stdin.status, 0);
  EXPECT_EQ(under_stdin.err,
            "exec error: /dev/stdin/program: reached through standard input, output or error, which lead to "
            "/dev/null once monitor detaches\n");
  EXPECT_TRUE(proc::RemoveTree(scratch));
}

class RenameIntoPlace : public ::testing::TestWithParam<bool> {};

// A deploy that renames new builds into place while monitor starts: the
// target is runnable at every moment, so no start may be refused. Another
// process swaps the path between two files as fast as it can. Also where
// openat2 is missing (or refused), and the descriptor check must look the
// path up with /dev/null on descriptors 0 to 2 while the renames go on.
TEST_P(RenameIntoPlace, IsNeverRefused) {
  char scratch[4096];
  ASSERT_TRUE(proc::MakeScratch("monitor-unit", scratch, sizeof scratch));
  const std::string dir = scratch;
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/program", 0755));
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/build-a", 0755));
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/build-b", 0755));
  const Outcome outcome = RunInTestProcess([&] {
    const pid_t deployer = fork();
    if (deployer == 0) {
      const std::string next = dir + "/next";
      const std::string program = dir + "/program";
      const long long give_up = harness::NowMs() + harness::kDeadlineMs;
      for (int round = 0; harness::NowMs() < give_up; ++round) {
        if (link((dir + (round % 2 == 0 ? "/build-a" : "/build-b")).c_str(), next.c_str()) != 0 ||
            rename(next.c_str(), program.c_str()) != 0) {
          _exit(1);
        }
      }
      _exit(0);
    }
    if (deployer < 0) return static_cast<int>(kSetupFailed);
    if (GetParam() && !FailSystemCalls({SYS_openat2}, ENOSYS)) {
      proc::KillStarted(deployer);
      harness::WaitForExit(deployer);
      return static_cast<int>(kSetupFailed);
    }
    SetTarget((dir + "/program").c_str(), {});
    int refused = 0;
    for (int start = 0; start < 3000; ++start) refused += monitor::CheckTarget() ? 0 : 1;
    proc::KillStarted(deployer);
    harness::WaitForExit(deployer);
    return refused < 100 ? refused : 100;
  });
  EXPECT_EQ(outcome.status, 0) << "refused " << WEXITSTATUS(outcome.status) << " starts: " << outcome.err;
  EXPECT_TRUE(proc::RemoveTree(scratch));
}

INSTANTIATE_TEST_SUITE_P(CheckTargetPath, RenameIntoPlace, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "WithoutOpenat2" : "WithOpenat2"; });

// The refusal line leaves in one system call, so that it cannot interleave
// with other writers of the same log: standard error is a packet socket
// here, which keeps each write a message of its own. It holds a path of
// PATH_MAX bytes whole, control characters escaped and UTF-8 kept; a path
// beyond what any path can be is cut short.
TEST(CheckTarget, RefusalLineLeavesWholeInOneWrite) {
  std::string longest = "/nonexistent";
  const std::string pieces[] = {"/caf\xc3\xa9 \xe2\x9c\x93", "\n\x01\x7f", "\t\r", "/x"};
  for (size_t i = 0; longest.size() + 12 < PATH_MAX; ++i) longest += pieces[i % 4];
  const std::string escape_free(200000, 'x');
  for (const std::string& path : {longest, "/nonexistent/" + escape_free}) {
    const Outcome outcome = RunInTestProcess([&] {
      int pair[2];
      if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0 || dup2(pair[1], STDERR_FILENO) < 0) {
        return static_cast<int>(kSetupFailed);
      }
      const int buffer = 1 << 20;
      if (setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer) != 0)
        return static_cast<int>(kSetupFailed);
      SetTarget(path.c_str(), {});
      if (monitor::CheckTarget()) return 1;
      close(pair[1]);
      close(STDERR_FILENO);
      std::vector<char> message(1 << 20);
      int messages = 0;
      ssize_t got = 0;
      while ((got = recv(pair[0], message.data(), message.size(), MSG_DONTWAIT)) > 0) {
        ++messages;
        if (write(STDOUT_FILENO, message.data(), static_cast<size_t>(got)) != got)
          return static_cast<int>(kSetupFailed);
      }
      return messages;
    });
    EXPECT_EQ(outcome.status, 1 << 8) << "written in " << WEXITSTATUS(outcome.status) << " system calls";
    if (path == longest) {
      std::string escaped;
      for (const char c : path) {
        escaped += c == '\n'     ? "\\n"
                   : c == '\t'   ? "\\t"
                   : c == '\r'   ? "\\r"
                   : c == '\x01' ? "\\x01"
                   : c == '\x7f' ? "\\x7f"
                                 : std::string(1, c);
      }
      // Escaped whole up to 512 bytes, then cut short: the line stays small
      // enough to be built on any stack.
      const std::string start = "exec error: " + escaped.substr(0, 500);
      const std::string end = "...: No such file or directory\n";
      EXPECT_EQ(outcome.out.rfind(start, 0), 0U) << outcome.out;
      EXPECT_EQ(outcome.out.find(end), outcome.out.size() - end.size()) << outcome.out;
      EXPECT_LE(outcome.out.size(), start.size() + 12 + end.size()) << outcome.out;
      EXPECT_EQ(outcome.out.find('\n'), outcome.out.size() - 1) << "not one line";
    } else {
      EXPECT_EQ(outcome.out.rfind("exec error: /nonexistent/xxxx", 0), 0U);
      const std::string end = "...: File name too long\n";
      EXPECT_EQ(outcome.out.find(end), outcome.out.size() - end.size()) << outcome.out.size();
    }
  }
}

// A path cut short is cut between characters: the line stays valid UTF-8
// however the path's characters fall at the limit.
TEST(CheckTarget, RefusalLineCutsBetweenCharacters) {
  for (const std::string character : {"\xc3\xa9", "\xe2\x9c\x93", "\xf0\x9f\x98\x80"}) {
    for (size_t before = 500; before < 512; ++before) {
      // Directories short enough to leave "No such file" the reason.
      std::string path = "/";
      while (path.size() < before) path += path.size() % 100 == 99 ? '/' : 'a';
      while (path.size() < 600) path += character;
      const Outcome outcome = RunInTestProcess([&] {
        SetTarget(path.c_str(), {});
        return monitor::CheckTarget() ? 1 : 0;
      });
      ASSERT_EQ(outcome.status, 0);
      const std::string end = "...: No such file or directory\n";
      ASSERT_GT(outcome.err.size(), end.size());
      const std::string shown = outcome.err.substr(0, outcome.err.size() - end.size());
      EXPECT_EQ(outcome.err.substr(shown.size()), end) << outcome.err;
      // What is shown is the path's start, up to a whole character.
      const std::string prefix = "exec error: ";
      ASSERT_EQ(shown.rfind(prefix, 0), 0U);
      const std::string kept = shown.substr(prefix.size());
      EXPECT_EQ(path.rfind(kept, 0), 0U);
      EXPECT_TRUE(kept.size() <= before || (kept.size() - before) % character.size() == 0)
          << "cut inside a character after " << before << " bytes: " << kept.size();
      EXPECT_GE(kept.size() + character.size(), 509U) << "cut more than the character";
    }
  }
}

TEST(BlockSignal, AddsTheSixWatchedSignalsToWhatWasBlocked) {
  const Outcome outcome = RunInTestProcess([] {
    sigset_t before;
    sigemptyset(&before);
    sigaddset(&before, SIGUSR2);
    if (pthread_sigmask(SIG_SETMASK, &before, nullptr) != 0) return static_cast<int>(kSetupFailed);
    if (!monitor::BlockSignal()) return 1;
    sigset_t now;
    if (pthread_sigmask(SIG_SETMASK, nullptr, &now) != 0) return static_cast<int>(kSetupFailed);
    for (int signo = 1; signo < NSIG; ++signo) {
      const bool expected = signo == SIGHUP || signo == SIGALRM || signo == SIGINT || signo == SIGCHLD ||
                            signo == SIGPIPE || signo == SIGTERM || signo == SIGUSR2;
      if ((sigismember(&now, signo) == 1) != expected) return 100 + signo;
      if ((sigismember(&monitor::_mask, signo) == 1) != (expected && signo != SIGUSR2)) return 200 + signo;
    }
    return 0;
  });
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out + outcome.err, "");
}

// Whether the calling process holds capability in its effective set; with
// drop, it is taken from its effective and permitted sets first.
bool HasCapability(int capability, bool drop) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const unsigned bit = 1U << (capability % 32);
  __user_cap_data_struct& word = data[capability / 32];
  if (drop) {
    word.effective &= ~bit;
    word.permitted &= ~bit;
    if (syscall(SYS_capset, &header, data) != 0) return false;
  }
  return (word.effective & bit) != 0;
}

class RaiseCoreLimit : public ::testing::TestWithParam<bool> {};

// With the capability to raise a hard limit the limit becomes unlimited;
// without it (dropped here, whoever runs the test) the soft limit is raised
// to the hard one.
TEST_P(RaiseCoreLimit, AsFarAsThePrivilegeAllows) {
  const bool privileged = GetParam();
  const rlim_t kHard = 1 << 20;
  const Outcome outcome = RunInTestProcess([&] {
    if (HasCapability(CAP_SYS_RESOURCE, !privileged) != privileged) return static_cast<int>(kSkipped);
    const rlimit finite{0, kHard};
    if (setrlimit(RLIMIT_CORE, &finite) != 0) return static_cast<int>(kSetupFailed);
    if (!monitor::RaiseCoreLimit()) return 1;
    rlimit now{};
    if (getrlimit(RLIMIT_CORE, &now) != 0) return static_cast<int>(kSetupFailed);
    const rlim_t expected = privileged ? RLIM_INFINITY : kHard;
    return now.rlim_cur == expected && now.rlim_max == expected ? 0 : 2;
  });
  if (outcome.status == kSkipped << 8) {
    GTEST_SKIP() << (privileged ? "CAP_SYS_RESOURCE is not held here" : "CAP_SYS_RESOURCE cannot be dropped");
  }
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out + outcome.err, "");
}

INSTANTIATE_TEST_SUITE_P(Privilege, RaiseCoreLimit, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "WithCapSysResource" : "WithoutCapSysResource"; });

void CountChild(int) {}

void IgnoreTheSignal(int) {}

// /proc is read only where it numbers processes as this process's PID
// namespace does. The first process of a new PID namespace is 1 there, and
// /proc/1 of the /proc it still sees is this suite, the first process of
// the suite's namespace: a reader that trusted it would read the suite's
// files as its own.
TEST(ThreadFiles, AreReadOnlyFromAProcOfThisPidNamespace) {
  const Outcome outcome = RunInTestProcess([] {
    char text[1024];
    if (!monitor::ProcIsOwn() || !monitor::ReadThreadFile(getpid(), "stat", text, sizeof text)) return 1;
    if (unshare(CLONE_NEWPID) != 0) return static_cast<int>(kSkipped);
    const pid_t first = fork();
    if (first == 0) {
      unsigned long long start = 0;
      _exit(getpid() == 1 && !monitor::ProcIsOwn() && !monitor::ReadThreadFile(1, "stat", text, sizeof text) &&
                    !monitor::ThreadStatField(1, 28, &start)
                ? 0
                : 2);
    }
    if (first < 0) return static_cast<int>(kSetupFailed);
    const auto status = harness::WaitForExit(first);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : static_cast<int>(kSetupFailed);
  });
  if (outcome.status == kSkipped << 8) GTEST_SKIP() << "no PID namespace can be made here";
  EXPECT_EQ(outcome.status, 0) << "1: /proc not read where it is this process's own; 2: read where it is not";
}

// A tracee stopped for one signal while the kernel's SIGSTOP is still
// pending for its thread is continued, not let go: it is let go at that
// stop, or it would stop for ever. The pending set is read from
// /proc/TID/stat, whose command name here holds ") " and a space, as a
// program's file name may: counted from the first ')', the fields would
// name another, always empty one.
TEST(ReleaseTracee, WaitsForAStopStillPendingWhateverTheCommandName) {
  const Outcome outcome = RunInTestProcess([] {
    const pid_t tracee = fork();
    if (tracee == 0) {
      if (prctl(PR_SET_NAME, "p) q", 0, 0, 0) != 0 || signal(SIGUSR1, IgnoreTheSignal) == SIG_ERR ||
          ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || raise(SIGUSR1) != 0) {
        _exit(1);
      }
      for (;;) pause();
    }
    if (tracee < 0) return static_cast<int>(kSetupFailed);
    const auto stopped = [tracee]() -> int {
      const long long give_up = harness::NowMs() + harness::kDeadlineMs;
      for (;;) {
        int status = 0;
        const pid_t got = waitpid(tracee, &status, WNOHANG | WUNTRACED | __WALL);
        if (got == tracee) return WIFSTOPPED(status) ? status : -1;
        if (got < 0 || harness::NowMs() > give_up) return -1;
        proc::SleepUs(1000);
      }
    };
    int result = kPassed;
    const int first = stopped();
    if (first < 0 || WSTOPSIG(first) != SIGUSR1 || syscall(SYS_tgkill, tracee, tracee, SIGSTOP) != 0) {
      result = kSetupFailed;
    } else {
      monitor::ReleaseTracee(tracee, first);
      const int second = stopped();
      const bool still_traced = proc::ProcNumber(tracee, "status", "TracerPid:") == getpid();
      if (second < 0 || WSTOPSIG(second) != SIGSTOP || !still_traced) result = 20;
    }
    proc::KillStarted(tracee);
    harness::WaitForExit(tracee);
    return result;
  });
  EXPECT_EQ(outcome.status, 0) << "let go before the pending stop";
}

// An ignored SIGCHLD is put back to default; any other disposition is kept.
TEST(RestoreChildSignal, UndoesOnlyAnInheritedIgnore) {
  const Outcome outcome = RunInTestProcess([] {
    if (signal(SIGCHLD, SIG_IGN) == SIG_ERR) return 10;
    if (!monitor::RestoreChildSignal()) return 1;
    struct sigaction now {};
    // An unread disposition would look like SIG_DFL.
    if (sigaction(SIGCHLD, nullptr, &now) != 0) return 11;
    if (now.sa_handler != SIG_DFL) return 2;
    if (signal(SIGCHLD, CountChild) == SIG_ERR) return 10;
    if (!monitor::RestoreChildSignal()) return 3;
    if (sigaction(SIGCHLD, nullptr, &now) != 0) return 11;
    return now.sa_handler == CountChild ? 0 : 4;
  });
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out + outcome.err, "");
}

}  // namespace
