// The routines, each called inside a forked test process whose standard
// output and error are captured.
#include <elf.h>
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

#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "monitor.h"
#include "outside_text.h"

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

// --- The owner's execute bit where only the mode bits can answer.

// execve judges the owner of a file by the owner's execute bit alone: a
// file of its own that lets its group and others execute it, but not its
// owner, is refused to the owner. Where the system answers neither
// permission question for it, the check must refuse it too.
TEST(CheckTarget, OwnFileWithoutTheOwnersExecuteBitIsRefused) {
  char scratch[4096];
  ASSERT_TRUE(proc::MakeScratch("monitor-unit", scratch, sizeof scratch));
  const std::string dir = scratch;
  ASSERT_EQ(chmod(scratch, 0755), 0);
  // The askers whose question the mode bits answer, each kOtherUser.
  const Asker askers[] = {Asker{"AnotherRealUser", Question::kEffectiveRefused, false, true},
                          Asker{"TwoOtherUsers", Question::kEffectiveRefused, false, false, true},
                          Asker{"AnotherRealGroup", Question::kEveryRefused, false, false, false, true}};
  bool skipped = false;
  for (const mode_t mode : {mode_t{0011}, mode_t{0077}}) {
    const std::string path = dir + "/own-" + std::to_string(mode);
    ASSERT_TRUE(harness::CopyFile(PROBE_PATH, path, mode));
    if (chown(path.c_str(), kOtherUser, kOtherGroup) != 0) skipped = true;
    for (const Asker& asker : askers) {
      if (skipped) break;
      const Outcome outcome = RunInTestProcess([&] {
        if (chdir(scratch) != 0) return static_cast<int>(kSetupFailed);
        if (!BecomeAsker(asker)) return static_cast<int>(kSkipped);
        if (!Refuse(asker.question)) return static_cast<int>(kSetupFailed);
        SetTarget(path.c_str(), {});
        return (monitor::CheckTarget() ? 1 : 0) | (ExecveRuns(path.c_str()) ? 2 : 0);
      });
      ASSERT_TRUE(WIFEXITED(outcome.status)) << path;
      ASSERT_NE(WEXITSTATUS(outcome.status), kSetupFailed) << "the permission question could not be refused";
      if (WEXITSTATUS(outcome.status) == kSkipped) {
        skipped = true;
        break;
      }
      EXPECT_EQ(WEXITSTATUS(outcome.status), 0) << path << " for " << asker.name << ": 1, accepted; 2, executed";
      EXPECT_EQ(outcome.err, "exec error: " + path + ": Permission denied\n") << asker.name;
    }
  }
  EXPECT_TRUE(proc::RemoveTree(scratch));
  if (skipped)
    GTEST_SKIP() << "user " << kOtherUser << " cannot be become here (it takes CAP_SETUID and the id mapped)";
}

}  // namespace

// What fuzzing the readers of outside text found, each kept as a test.
namespace {

// The descriptor scan reads the names that /proc/self/fd lists, which the
// kernel writes as plain decimal numbers. Any other name names no
// descriptor: read as a number's prefix, "8~" made the scan ask about
// descriptor 8, and a number beyond an int was cut down to another
// descriptor's (4294967299 to 3).
TEST(ListedDescriptor, ReadsOnlyTheNumbersTheKernelWrites) {
  EXPECT_EQ(monitor::ListedDescriptor("0"), 0);
  EXPECT_EQ(monitor::ListedDescriptor("8"), 8);
  EXPECT_EQ(monitor::ListedDescriptor("2147483647"), 2147483647);
  for (const char* name : {".", "..", "", "8~", "8 ", " 8", "+8", "-8", "08", "4294967299", "2147483648"}) {
    EXPECT_EQ(monitor::ListedDescriptor(name), -1) << '"' << name << '"';
  }
}

}  // namespace

// --- Readers of text and of a tracee's stack, given any input.
namespace {

struct SyscallFileCase {
  const char* text;
  bool read;
  unsigned long long stack_pointer;
  unsigned long long instruction_pointer;
};

// /proc/TID/syscall ends in the stack and instruction pointers in
// hexadecimal; anything else there is no position.
TEST(PositionFromSyscallFile, TakesTheLastTwoFieldsAsHexadecimalNumbers) {
  const SyscallFileCase cases[] = {
      {"-1 7ffd1000 401000", true, 0x7ffd1000, 0x401000},
      {"-1 7ffd1000 401000\n", true, 0x7ffd1000, 0x401000},
      {"59 0x1 0x2 0x3 0x4 0x5 0x6 7ffd1000 401000\n", true, 0x7ffd1000, 0x401000},
      {"-1 ffffffffffffffff fffffffffffffffe", true, 0xffffffffffffffff, 0xfffffffffffffffe},
      {"running", false, 0, 0},
      {"401000", false, 0, 0},
      {"7ffd1000 401000", false, 0, 0},
      {"-1  401000", false, 0, 0},
      {"-1 7ffd10z0 401000", false, 0, 0},
      {"-1 10000000000000000 401000", false, 0, 0},
      {"-1 7ffd1000 ", false, 0, 0},
      {"-1 7ffd1000 4010z0", false, 0, 0},
      {"-1 7ffd1000 10000000000000000", false, 0, 0},
  };
  for (const SyscallFileCase& c : cases) {
    std::string text = c.text;
    monitor::Position at;
    at.stack_pointer = 1;
    at.instruction_pointer = 1;
    EXPECT_EQ(monitor::PositionFromSyscallFile(text.data(), &at), c.read) << '"' << c.text << '"';
    if (!c.read) continue;
    EXPECT_EQ(at.stack_pointer, c.stack_pointer) << '"' << c.text << '"';
    EXPECT_EQ(at.instruction_pointer, c.instruction_pointer) << '"' << c.text << '"';
  }
}

struct StatFieldCase {
  const char* text;
  int number;
  bool read;
  unsigned long long value;
};

// Fields are counted from the command name's last ')', and each must be a
// whole unsigned number that fits.
TEST(StatField, ReadsOnlyAFieldThatIsThereAndANumber) {
  const StatFieldCase cases[] = {
      {"12 (sh) S 1 2 3", 4, true, 1},
      {"12 (sh) S 1 2 3", 6, true, 3},
      {"12 (p) q) S 7 8", 5, true, 8},
      {"12 (sh) S 1 18446744073709551615", 5, true, 18446744073709551615ULL},
      {"12 (sh) S 1 2 3", 7, false, 0},
      {"12 (sh) S 1 2 3", 28, false, 0},
      {"12 (sh) S 1 2 3", 3, false, 0},
      {"12 (sh) S 1 x 3", 5, false, 0},
      {"12 (sh) S 1 18446744073709551616", 5, false, 0},
      {"12 sh S 1 2 3", 4, false, 0},
  };
  for (const StatFieldCase& c : cases) {
    unsigned long long value = 7777;
    EXPECT_EQ(monitor::StatField(c.text, c.number, &value), c.read) << '"' << c.text << "\" field " << c.number;
    if (c.read) {
      EXPECT_EQ(value, c.value) << '"' << c.text << "\" field " << c.number;
    }
  }
}

// A name that does not fit the path, a thread that is not there, and a
// file that reads nothing (a dead process has no command line) are not
// read; the same names of a live thread are.
TEST(ThreadFiles, ReadOnlyWhatIsThereAndNotEmpty) {
  ASSERT_TRUE(monitor::ProcIsOwn()) << "every case below would fail for that alone";
  char text[1024];
  EXPECT_TRUE(monitor::ReadThreadFile(getpid(), "stat", text, sizeof text));
  EXPECT_TRUE(monitor::ReadThreadFile(getpid(), "cmdline", text, sizeof text));
  EXPECT_FALSE(monitor::ReadThreadFile(getpid(), "task/../task/../task/../task/../task/../stat", text, sizeof text));
  EXPECT_FALSE(monitor::ReadThreadFile(getpid(), "task", text, sizeof text));
  // The kernel hands out no pid this high.
  EXPECT_FALSE(monitor::ReadThreadFile(INT_MAX, "stat", text, sizeof text));
  unsigned long long field = 0;
  EXPECT_FALSE(monitor::ThreadStatField(INT_MAX, 4, &field));
  // Field 4 is the parent's pid, 3 the state letter; the line has 52.
  ASSERT_TRUE(monitor::ThreadStatField(getpid(), 4, &field));
  EXPECT_EQ(field, static_cast<unsigned long long>(getppid()));
  EXPECT_FALSE(monitor::ThreadStatField(getpid(), 3, &field));
  EXPECT_FALSE(monitor::ThreadStatField(getpid(), 60, &field));

  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  // Left unreaped, so that its /proc entry stays, without a memory to read.
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(dead), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0 &&
         harness::NowMs() < give_up) {
    proc::SleepUs(1000);
  }
  const bool ended = info.si_pid == dead;
  const bool read = monitor::ReadThreadFile(dead, "cmdline", text, sizeof text);
  const bool stat_read = monitor::ReadThreadFile(dead, "stat", text, sizeof text);
  ASSERT_TRUE(harness::WaitForExit(dead));
  ASSERT_TRUE(ended);
  EXPECT_FALSE(read);
  EXPECT_TRUE(stat_read);
}

// The refusal line keeps its last byte spare, whatever is appended.
TEST(RefusalLine, AppendStopsOneByteShortOfTheEnd) {
  char line[monitor::kRefusalLineSize];
  memset(line, '.', sizeof line);
  const size_t end = sizeof line - 1;
  EXPECT_EQ(monitor::Append(line, end - 2, "abcdef"), end);
  EXPECT_EQ(std::string(line + end - 2, 3), "ab.");
  EXPECT_EQ(monitor::Append(line, end, "x"), end);
  EXPECT_EQ(line[end], '.');
  EXPECT_EQ(monitor::Append(line, 0, ""), 0U);
  EXPECT_EQ(monitor::Append(line, 0, "xy"), 2U);
  EXPECT_EQ(std::string(line, 3), "xy.");
}

struct UnfinishedCase {
  const char* before;  // bytes before start, which are not looked at
  const char* text;    // line[start, used)
  size_t unfinished;
};

// Only the bytes from start count: continuation bytes whose lead lies
// before start, or that are more than a character can hold, finish nothing.
TEST(RefusalLine, UnfinishedCharacterLooksOnlyFromTheStart) {
  const UnfinishedCase cases[] = {
      {"", "", 0},
      {"", "a", 0},
      {"", "a\xc3", 1},
      {"", "\xc3\xa9", 0},
      {"", "\xe2\x82", 2},
      {"", "\xe2\x82\xac", 0},
      {"", "\xf0\x9f\x98", 3},
      {"", "\xf0\x9f\x98\x80", 0},
      {"", "\x80\x80", 0},
      {"\xe2", "\x82", 0},
      {"\xf0", "\x9f\x98", 0},
      {"", "a\x80\x80\x80\x80", 0},
  };
  for (const UnfinishedCase& c : cases) {
    char line[monitor::kRefusalLineSize] = {};
    const size_t start = strlen(c.before);
    const size_t used = start + strlen(c.text);
    memcpy(line, c.before, start);
    memcpy(line + start, c.text, used - start);
    EXPECT_EQ(monitor::UnfinishedCharacter(line, start, used), c.unfinished)
        << testing::PrintToString(std::string(c.before)) << " then " << testing::PrintToString(std::string(c.text));
  }
}

TEST(FormatDecimal, WritesEveryIntWithItsSign) {
  const std::pair<int, const char*> cases[] = {{0, "0"},
                                               {7, "7"},
                                               {42, "42"},
                                               {-1, "-1"},
                                               {-42, "-42"},
                                               {1000000000, "1000000000"},
                                               {INT_MAX, "2147483647"},
                                               {INT_MIN, "-2147483648"},
                                               {INT_MIN + 1, "-2147483647"}};
  for (const auto& [number, text] : cases) {
    char digits[16];
    EXPECT_STREQ(monitor::FormatDecimal(number, digits), text);
  }
}

// A tracee's memory as the stack reader sees it: the words from the stack
// pointer up, as many of them readable as given, and a loader's ELF header
// at an address of its own; any other read fails, as a peek at an address
// that is not mapped does.
struct FakeMemory {
  unsigned long long stack_at = 0;
  std::vector<unsigned char> stack;
  unsigned long long header_at = 0;
  std::vector<unsigned char> header;
};

bool CopyFrom(unsigned long long start, const std::vector<unsigned char>& data, unsigned long long address,
              unsigned char* bytes, size_t size) {
  if (address < start || address - start > data.size() || size > data.size() - (address - start)) return false;
  memcpy(bytes, data.data() + (address - start), size);
  return true;
}

bool ReadFakeMemory(const void* tracee, unsigned long long address, unsigned char* bytes, size_t size) {
  const auto& memory = *static_cast<const FakeMemory*>(tracee);
  return CopyFrom(memory.stack_at, memory.stack, address, bytes, size) ||
         CopyFrom(memory.header_at, memory.header, address, bytes, size);
}

constexpr unsigned long long kStackPointer = 0x7ffc1000;
constexpr unsigned long long kArgument = kStackPointer + 0x800;
constexpr unsigned long long kEnvironment = kStackPointer + 0x900;
constexpr unsigned long long kEntry = 0x401000;
constexpr unsigned long long kLoader = 0x7f0000000000;
constexpr unsigned long long kLoaderEntry = 0x1a40;

using Words = std::vector<unsigned long long>;

// The stack the kernel builds: argc, the arguments and a null, the
// environment and a null, then the auxiliary vector as given.
Words InitialStack(const Words& arguments, const Words& environment, const Words& auxiliary) {
  Words words{arguments.size()};
  words.insert(words.end(), arguments.begin(), arguments.end());
  words.push_back(0);
  words.insert(words.end(), environment.begin(), environment.end());
  words.push_back(0);
  words.insert(words.end(), auxiliary.begin(), auxiliary.end());
  return words;
}

Words Auxiliary(const Words& pairs) {
  Words words{AT_PAGESZ, 4096};
  words.insert(words.end(), pairs.begin(), pairs.end());
  words.insert(words.end(), {AT_NULL, 0});
  return words;
}

std::vector<unsigned char> StackBytes(const Words& words, unsigned word_size) {
  std::vector<unsigned char> bytes(words.size() * word_size);
  for (size_t i = 0; i < words.size(); ++i) {
    const uint64_t wide = words[i];
    const auto narrow = static_cast<uint32_t>(words[i]);
    memcpy(bytes.data() + i * word_size, word_size == 8 ? static_cast<const void*>(&wide) : &narrow, word_size);
  }
  return bytes;
}

// The first 32 bytes of an ELF header: the magic, the class, the type and
// the entry, of the class's size. An ELF32 header has e_phoff after its
// entry, which a reader taking the entry as 8 bytes would add in.
std::vector<unsigned char> LoaderHeader(const char* magic, unsigned char elf_class, uint16_t type,
                                        unsigned long long entry) {
  std::vector<unsigned char> header(32);
  memcpy(header.data(), magic, SELFMAG);
  header[EI_CLASS] = elf_class;
  memcpy(header.data() + 16, &type, sizeof type);
  if (elf_class == ELFCLASS64) {
    const uint64_t wide = entry;
    memcpy(header.data() + 24, &wide, sizeof wide);
  } else {
    const auto narrow = static_cast<uint32_t>(entry);
    const uint32_t program_headers = sizeof(Elf32_Ehdr);
    memcpy(header.data() + 24, &narrow, sizeof narrow);
    memcpy(header.data() + 28, &program_headers, sizeof program_headers);
  }
  return header;
}

struct StackCase {
  const char* name;
  Words words;
  unsigned long long instruction_pointer;
  monitor::Stack expected;
  unsigned word_size = 8;
  size_t readable_words = SIZE_MAX;
  unsigned long long header_at = 0;
  std::vector<unsigned char> header = {};
};

monitor::Stack ReadStack(const StackCase& c) {
  FakeMemory memory;
  memory.stack_at = kStackPointer;
  memory.stack = StackBytes(c.words, c.word_size);
  if (c.readable_words < c.words.size()) memory.stack.resize(c.readable_words * c.word_size);
  memory.header_at = c.header_at;
  memory.header = c.header;
  monitor::Position at;
  at.stack_pointer = kStackPointer;
  at.instruction_pointer = c.instruction_pointer;
  at.word_size = c.word_size;
  return monitor::ReadInitialStack(ReadFakeMemory, &memory, at);
}

const char* StackName(monitor::Stack stack) {
  return stack == monitor::Stack::kInitial     ? "initial"
         : stack == monitor::Stack::kElsewhere ? "elsewhere"
                                               : "unreadable";
}

// The stack a new program starts with, and the entry its auxiliary vector
// names, tell that no instruction has run; a stack laid out otherwise is
// some other stack, and one that cannot be read is unreadable.
TEST(ReadInitialStack, TellsTheStackOfANewProgram) {
  using monitor::Stack;
  const Words plain = InitialStack({kArgument}, {kEnvironment}, Auxiliary({AT_ENTRY, kEntry}));
  const Words with_loader = InitialStack({kArgument}, {kEnvironment}, Auxiliary({AT_BASE, kLoader, AT_ENTRY, kEntry}));
  Words unfinished_arguments = InitialStack({kArgument, kArgument}, {kEnvironment}, Auxiliary({AT_ENTRY, kEntry}));
  unfinished_arguments[0] = 1;
  Words too_many_arguments = plain;
  too_many_arguments[0] = 0x80000000ULL;
  const std::vector<unsigned char> elf64 = LoaderHeader(ELFMAG, ELFCLASS64, ET_DYN, kLoaderEntry);
  const StackCase cases[] = {
      {"AtTheEntry", plain, kEntry, Stack::kInitial},
      {"AtTheEntryInThumbCode", plain, kEntry | 1, Stack::kInitial},
      {"AtTheEntryOf32BitWords", plain, kEntry, Stack::kInitial, 4},
      {"PastTheEntry", plain, kEntry + 4, Stack::kElsewhere},
      {"PastTheEntryOf32BitWords", plain, kEntry + 4, Stack::kElsewhere, 4},
      {"WithoutArgumentsOrEnvironment", InitialStack({}, {}, Auxiliary({AT_ENTRY, kEntry})), kEntry, Stack::kInitial},
      {"MoreArgumentsThanTheKernelTakes", too_many_arguments, kEntry, Stack::kElsewhere},
      {"ArgumentsWithoutTheirNull", unfinished_arguments, kEntry, Stack::kElsewhere},
      {"EnvironmentAtTheStackPointer", InitialStack({kArgument}, {kStackPointer}, Auxiliary({AT_ENTRY, kEntry})),
       kEntry, Stack::kElsewhere},
      {"EnvironmentBelowTheStackPointer",
       InitialStack({kArgument}, {kEnvironment, kStackPointer - 8}, Auxiliary({AT_ENTRY, kEntry})), kEntry,
       Stack::kElsewhere},
      {"LastEnvironmentWithinTheBound",
       InitialStack({}, Words((1 << 14) - 1, kEnvironment), Auxiliary({AT_ENTRY, kEntry})), kEntry, Stack::kInitial},
      {"EnvironmentBeyondTheBound", InitialStack({}, Words(1 << 14, kEnvironment), Auxiliary({AT_ENTRY, kEntry})),
       kEntry, Stack::kUnreadable},
      {"NoEntryNamed", InitialStack({kArgument}, {kEnvironment}, Auxiliary({})), 0, Stack::kElsewhere},
      {"NoLoaderAtZero", InitialStack({}, {}, Auxiliary({AT_BASE, 0, AT_ENTRY, kEntry})), kLoaderEntry,
       Stack::kElsewhere, 8, SIZE_MAX, 0, elf64},
      {"AtTheLoadersEntry", with_loader, kLoader + kLoaderEntry, Stack::kInitial, 8, SIZE_MAX, kLoader, elf64},
      {"PastTheLoadersEntry", with_loader, kLoader + kLoaderEntry + 4, Stack::kElsewhere, 8, SIZE_MAX, kLoader, elf64},
      {"AtTheEntryOfA32BitLoader", with_loader, kLoader + kLoaderEntry, Stack::kInitial, 8, SIZE_MAX, kLoader,
       LoaderHeader(ELFMAG, ELFCLASS32, ET_DYN, kLoaderEntry)},
      {"AtTheEntryOfAFixedAddressLoader", with_loader, 0x400100, Stack::kInitial, 8, SIZE_MAX, kLoader,
       LoaderHeader(ELFMAG, ELFCLASS64, ET_EXEC, 0x400100)},
      {"AtAFixedAddressLoadersEntryMovedByItsBase", with_loader, kLoader + 0x400100, Stack::kElsewhere, 8, SIZE_MAX,
       kLoader, LoaderHeader(ELFMAG, ELFCLASS64, ET_EXEC, 0x400100)},
      // A loader that cannot be told leaves the stack alone to decide.
      {"LoaderHeaderUnreadable", with_loader, kLoader + kLoaderEntry + 4, Stack::kInitial},
      {"LoaderHeaderWithoutTheMagic", with_loader, kLoader + kLoaderEntry + 4, Stack::kInitial, 8, SIZE_MAX, kLoader,
       LoaderHeader("\177ELG", ELFCLASS64, ET_DYN, kLoaderEntry)},
  };
  for (const StackCase& c : cases) EXPECT_STREQ(StackName(ReadStack(c)), StackName(c.expected)) << c.name;
}

// The auxiliary vector is read up to AT_NULL for at most 128 pairs, more
// than the kernel writes.
TEST(ReadInitialStack, ReadsABoundedAuxiliaryVector) {
  using monitor::Stack;
  // With AT_PAGESZ first, AT_ENTRY and AT_NULL last: 128 pairs, then 129.
  Words pairs(size_t{2} * 125, AT_PAGESZ);
  pairs.insert(pairs.end(), {AT_ENTRY, kEntry});
  const Words within = InitialStack({}, {}, Auxiliary(pairs));
  pairs.insert(pairs.begin(), {AT_PAGESZ, 4096});
  const Words beyond = InitialStack({}, {}, Auxiliary(pairs));
  EXPECT_STREQ(StackName(ReadStack({"128 pairs", within, kEntry, Stack::kInitial})), "initial");
  EXPECT_STREQ(StackName(ReadStack({"129 pairs", beyond, kEntry, Stack::kElsewhere})), "elsewhere");
}

// A stack cut short at any word is no new program's: unreadable where
// not even argc can be read, some other stack past it.
TEST(ReadInitialStack, EveryWordMustBeRead) {
  using monitor::Stack;
  const Words words = InitialStack({kArgument}, {kEnvironment}, Auxiliary({AT_ENTRY, kEntry}));
  for (const unsigned word_size : {8U, 4U}) {
    for (size_t readable = 0; readable <= words.size(); ++readable) {
      const Stack expected = readable == 0              ? Stack::kUnreadable
                             : readable == words.size() ? Stack::kInitial
                                                        : Stack::kElsewhere;
      const StackCase c{"", words, kEntry, expected, word_size, readable};
      EXPECT_STREQ(StackName(ReadStack(c)), StackName(expected)) << readable << " words of " << word_size;
    }
  }
}

// A thread that is not stopped has no position: /proc/TID/syscall says
// "running", as it does for a tracee that a SIGKILL from elsewhere set
// going between its stop and the read. A trap whose position cannot be
// read is taken for the exec's.
TEST(CameOutOfExec, TakesATrapWithoutAPositionForTheExecs) {
  const pid_t running = fork();
  if (running == 0) {
    for (volatile unsigned spin = 0;; spin = spin + 1) {
    }
  }
  ASSERT_GT(running, 0);
  char text[256] = {};
  const bool read = monitor::ReadThreadFile(running, "syscall", text, sizeof text);
  const bool came_out = monitor::CameOutOfExec(running);
  proc::KillStarted(running);
  ASSERT_TRUE(harness::WaitForExit(running));
  if (!read) GTEST_SKIP() << "/proc/TID/syscall of a child cannot be read here";
  ASSERT_EQ(std::string(text), "running\n");
  EXPECT_TRUE(came_out);
}

}  // namespace

// --- System calls that fail.
namespace {

// A system call made to fail with error: at every call, or only where its
// argument at index equals value (or, with differs, does not).
struct FailedCall {
  long number;
  int error;
  int argument = -1;
  unsigned long long value = 0;
  bool differs = false;
};

// Where the low or high half of a system call's argument lies in what a
// seccomp filter reads.
constexpr unsigned ArgumentHalf(int index, bool high) {
  const size_t word = offsetof(seccomp_data, args) + sizeof(__u64) * static_cast<size_t>(index);
  return static_cast<unsigned>(word) + ((__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) != high ? 4U : 0U);
}

sock_filter Load(unsigned offset) { return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset); }

sock_filter JumpIfEqual(unsigned value, int if_equal, int otherwise) {
  return sock_filter{static_cast<__u16>(BPF_JMP | BPF_JEQ | BPF_K), static_cast<__u8>(if_equal),
                     static_cast<__u8>(otherwise), value};
}

// Makes the calls described fail from now on, in the calling process and
// in every process it forks afterwards.
bool FailCalls(const std::vector<FailedCall>& calls) {
  // cppcheck-suppress knownConditionTrueFalse ; the compiler, not cppcheck, knows the architecture
  if (kAuditArch == 0) return false;
  std::vector<sock_filter> filter{Load(offsetof(seccomp_data, arch)), JumpIfEqual(kAuditArch, 1, 0),
                                  BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
  for (const FailedCall& call : calls) {
    const sock_filter refuse = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(call.error));
    filter.push_back(Load(offsetof(seccomp_data, nr)));
    if (call.argument < 0) {
      filter.push_back(JumpIfEqual(static_cast<unsigned>(call.number), 0, 1));
      filter.push_back(refuse);
      continue;
    }
    // Both halves equal: refused, unless differs; either half unequal: the
    // reverse. Every jump lands on the refusal or just past it.
    filter.push_back(JumpIfEqual(static_cast<unsigned>(call.number), 0, 5));
    filter.push_back(Load(ArgumentHalf(call.argument, false)));
    filter.push_back(JumpIfEqual(static_cast<unsigned>(call.value & 0xffffffffU), 0, call.differs ? 2 : 3));
    filter.push_back(Load(ArgumentHalf(call.argument, true)));
    filter.push_back(JumpIfEqual(static_cast<unsigned>(call.value >> 32), call.differs ? 1 : 0, call.differs ? 0 : 1));
    filter.push_back(refuse);
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// fstat of a descriptor, in each form the C library may ask it; stat of a
// path still works.
std::vector<FailedCall> FstatFails() {
  std::vector<FailedCall> calls;
#ifdef __NR_fstat
  calls.push_back({__NR_fstat, EIO});
#endif
#ifdef __NR_fstat64
  calls.push_back({__NR_fstat64, EIO});
#endif
#ifdef __NR_newfstatat
  calls.push_back({__NR_newfstatat, EIO, 3, AT_EMPTY_PATH});
#endif
#ifdef __NR_fstatat64
  calls.push_back({__NR_fstatat64, EIO, 3, AT_EMPTY_PATH});
#endif
  calls.push_back({__NR_statx, EIO, 2, AT_EMPTY_PATH | AT_NO_AUTOMOUNT});
  return calls;
}

// getrlimit, in each form; setrlimit still works.
std::vector<FailedCall> GetrlimitFails() {
  std::vector<FailedCall> calls{{__NR_prlimit64, EPERM, 2, 0}};
#ifdef __NR_getrlimit
  calls.push_back({__NR_getrlimit, EPERM});
#endif
#ifdef __NR_ugetrlimit
  calls.push_back({__NR_ugetrlimit, EPERM});
#endif
  return calls;
}

std::vector<FailedCall> SigactionFails() { return {{__NR_rt_sigaction, EINVAL}}; }

// Only the form that changes a disposition; reading one still works.
std::vector<FailedCall> SigactionChangeFails() { return {{__NR_rt_sigaction, EINVAL, 1, 0, true}}; }

// Both permission questions answered with error: faccessat2, which asks
// for the effective ids, and the older faccessat (and access).
std::vector<FailedCall> AccessQuestionsFail(int effective, int real) {
  std::vector<FailedCall> calls{{SYS_faccessat2, effective}, {SYS_faccessat, real}};
#ifdef SYS_access
  calls.push_back({SYS_access, real});
#endif
  return calls;
}

std::vector<FailedCall> WithCapgetFailing(std::vector<FailedCall> calls) {
  calls.push_back({SYS_capget, EPERM});
  return calls;
}

std::vector<FailedCall> WithStatfsFailing(std::vector<FailedCall> calls) {
  calls.push_back({__NR_statfs, EIO});
#ifdef __NR_statfs64
  calls.push_back({__NR_statfs64, EIO});
#endif
  return calls;
}

// /proc/self/fd lists nothing: the scan must ask the descriptors one by one.
std::vector<FailedCall> DescriptorListFails() { return {{__NR_getdents64, EIO}}; }

std::vector<FailedCall> WithPollFailing(std::vector<FailedCall> calls) {
#ifdef __NR_poll
  calls.push_back({__NR_poll, EINVAL});
#endif
  calls.push_back({__NR_ppoll, EINVAL});
  return calls;
}

std::vector<FailedCall> WithGetrlimitFailing(std::vector<FailedCall> calls) {
  for (const FailedCall& call : GetrlimitFails()) calls.push_back(call);
  return calls;
}

std::vector<FailedCall> AccessModeFails() {
  std::vector<FailedCall> calls{{__NR_fcntl, EBADF, 1, F_GETFL}};
#ifdef __NR_fcntl64
  calls.push_back({__NR_fcntl64, EBADF, 1, F_GETFL});
#endif
  return calls;
}

// openat2 missing, so that the path is looked up with /dev/null on the
// standard descriptors, and dup2 failing, so that it cannot be put there.
std::vector<FailedCall> StandardDescriptorSwapFails() {
  std::vector<FailedCall> calls{{SYS_openat2, ENOSYS}};
#ifdef __NR_dup2
  calls.push_back({__NR_dup2, EBADF});
#else
  calls.push_back({__NR_dup3, EBADF, 2, 0});
#endif
  return calls;
}

// The core-file limit as /proc shows it, which needs no getrlimit.
std::string CoreLimitShown() {
  std::ifstream limits("/proc/self/limits");
  std::string line;
  while (std::getline(limits, line)) {
    if (line.rfind("Max core file size", 0) == 0) return line;
  }
  return "";
}

// Detaches only where fstat truly fails: a daemon() that went ahead would
// leave the test's copy running in the background.
bool DetachWithFstatFailing() {
  struct stat shown {};
  if (fstat(STDOUT_FILENO, &shown) == 0) _exit(kSetupFailed);
  return monitor::RunAsDaemon();
}

struct StartupCallCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  bool (*routine)();
  std::vector<FailedCall> (*fails)();
  bool child_signal_ignored;  // SIGCHLD ignored before the routine runs
  bool succeeds;
  const char* out;
  const char* err;
};

class StartupCallFails : public ::testing::TestWithParam<StartupCallCase> {};

// A start-up step whose system call fails fails the start, with its line
// (or none, for the core-file limit), and changes nothing it did not get
// to: the limit stays as it was, and no copy detaches.
TEST_P(StartupCallFails, FailsTheStepWithItsLine) {
  const StartupCallCase c = GetParam();
  const Outcome outcome = RunInTestProcess([&] {
    const rlimit finite{0, 1 << 20};
    if (setrlimit(RLIMIT_CORE, &finite) != 0) return static_cast<int>(kSetupFailed);
    if (c.child_signal_ignored && signal(SIGCHLD, SIG_IGN) == SIG_ERR) return static_cast<int>(kSetupFailed);
    const std::string limit_before = CoreLimitShown();
    if (limit_before.empty() || !FailCalls(c.fails())) return static_cast<int>(kSetupFailed);
    const bool succeeded = c.routine();
    // _exit flushes nothing; the detach failure's line is written by printf.
    if (fflush(stdout) != 0) return static_cast<int>(kSetupFailed);
    if (CoreLimitShown() != limit_before) return 2;
    return succeeded ? 1 : 0;
  });
  EXPECT_EQ(outcome.status, (c.succeeds ? 1 : 0) << 8) << "1: succeeded; 2: the core-file limit changed";
  EXPECT_EQ(outcome.out, c.out);
  EXPECT_EQ(outcome.err, c.err);
}

const std::string kNullDeviceUnread = "111111111111111 " + std::to_string(EIO) + " - -1\n";

INSTANTIATE_TEST_SUITE_P(
    Steps, StartupCallFails,
    ::testing::Values(StartupCallCase{"NullDeviceCannotBeAsked", DetachWithFstatFailing, FstatFails, false, false,
                                      kNullDeviceUnread.c_str(), ""},
                      StartupCallCase{"CoreLimitCannotBeRead", monitor::RaiseCoreLimit, GetrlimitFails, false, false,
                                      "", ""},
                      StartupCallCase{"ChildSignalCannotBeRead", monitor::RestoreChildSignal, SigactionFails, true,
                                      false, "", "sigaction fail\n"},
                      StartupCallCase{"IgnoredChildSignalCannotBeRestored", monitor::RestoreChildSignal,
                                      SigactionChangeFails, true, false, "", "sigaction fail\n"},
                      // Nothing to restore: the disposition is only read.
                      StartupCallCase{"DefaultChildSignalNeedsNoChange", monitor::RestoreChildSignal,
                                      SigactionChangeFails, false, true, "", ""}),
    [](const auto& test) { return std::string(test.param.name); });

// The line for a target held open for writing on descriptor fd.
std::string HeldOpenBy(int fd) {
  return "held open for writing by descriptor " + std::to_string(fd) +
         ", which monitor inherited: no process can execute it while that is open (close it before starting "
         "monitor)";
}

struct TargetCallCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  std::vector<FailedCall> fails;
  // In the scratch directory: program (0755), no-execute (0644),
  // someone-elses (0700, owned by another user); or /dev/stdin, with
  // program on standard input.
  const char* path;
  int writer;          // the descriptor holding program open for writing, or -1
  rlim_t open_files;   // the limit on open files, or 0 to leave it
  std::string reason;  // why the check refuses the target; empty where it passes
  bool needs_root;     // to own files as another user
};

class CheckTargetCallFails : public ::testing::TestWithParam<TargetCallCase> {};

// The check before detaching when one of the system calls it asks fails:
// a permission question that cannot be asked leaves the answer to the
// next form of it, down to the mode bits; any other answer is the answer;
// a descriptor that cannot be asked is no writer; a list of descriptors
// that cannot be read, or a limit on them that cannot, leaves every
// descriptor below a bound to be asked; a swap of the standard
// descriptors that cannot be made refuses nothing and leaves them as they
// were.
TEST_P(CheckTargetCallFails, AnswersAsFarAsItCan) {
  const TargetCallCase c = GetParam();
  if (c.needs_root && geteuid() != 0) GTEST_SKIP() << "needs root";
  char scratch[4096];
  ASSERT_TRUE(proc::MakeScratch("monitor-unit", scratch, sizeof scratch));
  const std::string dir = scratch;
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/program", 0755));
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/no-execute", 0644));
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, dir + "/someone-elses", 0700));
  const bool other_owner = chown((dir + "/someone-elses").c_str(), 12345, 12345) == 0;
  if (c.needs_root) {
    ASSERT_TRUE(other_owner);
  }
  const bool on_stdin = std::string(c.path) == "/dev/stdin";
  const Outcome outcome = RunInTestProcess([&] {
    if (chdir(scratch) != 0) return static_cast<int>(kSetupFailed);
    const rlimit files{c.open_files, c.open_files};
    if (c.open_files != 0 && setrlimit(RLIMIT_NOFILE, &files) != 0) return static_cast<int>(kSetupFailed);
    const int program = open("program", (c.writer >= 0 ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    const int held = c.writer >= 0 ? c.writer : on_stdin ? STDIN_FILENO : -1;
    if (program < 0 || (held >= 0 && dup2(program, held) != held) || close(program) != 0) {
      return static_cast<int>(kSetupFailed);
    }
    const auto before = StandardDescriptors();
    if (!FailCalls(c.fails)) return static_cast<int>(kSetupFailed);
    SetTarget(c.path, {});
    const int passes = monitor::CheckTarget() ? 1 : 0;
    return !on_stdin || StandardDescriptors() == before ? passes : 2;
  });
  EXPECT_TRUE(proc::RemoveTree(scratch));
  EXPECT_EQ(outcome.status, (c.reason.empty() ? 1 : 0) << 8) << "2: standard descriptors changed; " << outcome.err;
  EXPECT_EQ(outcome.err, c.reason.empty() ? "" : "exec error: " + std::string(c.path) + ": " + c.reason + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CheckTargetCallFails,
    ::testing::Values(
        // Root without its capabilities known is taken to hold the override.
        TargetCallCase{"CapabilitiesUnknownToRoot", WithCapgetFailing(AccessQuestionsFail(EPERM, EPERM)),
                       "someone-elses", -1, 0, "", true},
        TargetCallCase{"CapabilitiesUnknownWithoutAnExecuteBit", WithCapgetFailing(AccessQuestionsFail(EPERM, EPERM)),
                       "no-execute", -1, 0, "Permission denied", false},
        TargetCallCase{"MountFlagsUnknown", WithStatfsFailing(AccessQuestionsFail(EPERM, EPERM)), "program", -1, 0, "",
                       false},
        TargetCallCase{"MountFlagsUnknownWithoutAnExecuteBit", WithStatfsFailing(AccessQuestionsFail(EPERM, EPERM)),
                       "no-execute", -1, 0, "Permission denied", false},
        TargetCallCase{"NeitherQuestionImplemented", AccessQuestionsFail(ENOSYS, ENOSYS), "program", -1, 0, "", false},
        TargetCallCase{"NeitherQuestionImplementedWithoutAnExecuteBit", AccessQuestionsFail(ENOSYS, ENOSYS),
                       "no-execute", -1, 0, "Permission denied", false},
        TargetCallCase{"EffectiveQuestionFailsOtherwise", AccessQuestionsFail(EIO, EIO), "program", -1, 0,
                       strerror(EIO), false},
        TargetCallCase{"OlderQuestionFailsOtherwise", AccessQuestionsFail(EPERM, EIO), "program", -1, 0, strerror(EIO),
                       false},
        TargetCallCase{"AccessModeOfADescriptorUnknown", AccessModeFails(), "program", 7, 0, "", false},
        TargetCallCase{"FileOfADescriptorUnknown", FstatFails(), "program", 7, 0, "", false},
        TargetCallCase{"DescriptorListUnreadable", DescriptorListFails(), "program", 7, 0, HeldOpenBy(7), false},
        TargetCallCase{"DescriptorListUnreadableAndPollFailing", WithPollFailing(DescriptorListFails()), "program", 7,
                       1024, HeldOpenBy(7), false},
        // FD_SETSIZE is the bound then.
        TargetCallCase{"DescriptorListAndLimitUnreadable", WithGetrlimitFailing(DescriptorListFails()), "program", 1000,
                       2000, HeldOpenBy(1000), false},
        TargetCallCase{"StandardDescriptorsCannotBeSwapped", StandardDescriptorSwapFails(), "/dev/stdin", -1, 0, "",
                       false}),
    [](const auto& test) { return std::string(test.param.name); });

// Waits for the tracee to stop; its wait status, or -1 if it ended or did
// not stop in time.
int StopOf(pid_t tracee) {
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  for (;;) {
    int status = 0;
    const pid_t got = waitpid(tracee, &status, WNOHANG | WUNTRACED | __WALL);
    if (got == tracee) return WIFSTOPPED(status) ? status : -1;
    if (got < 0 || harness::NowMs() > give_up) return -1;
    proc::SleepUs(1000);
  }
}

// The ways a tracee forked from the test process stops for SIGTRAP.
enum class Trap {
  kExec,          // the trap after an execve
  kRaise,         // raise(SIGTRAP)
  kKillOnAllOnes  // kill(getpid(), SIGTRAP) with the stack pointer on words of all ones
};

[[noreturn]] void StopForTrap(Trap trap) {
  if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(kSetupFailed);
  if (trap == Trap::kExec) {
    char* argv[] = {const_cast<char*>(PROBE_PATH), const_cast<char*>("-1"), const_cast<char*>("stay"), nullptr};
    execve(PROBE_PATH, argv, environ);
  } else if (trap == Trap::kRaise) {
    static_cast<void>(raise(SIGTRAP));
  } else {
#if defined(__x86_64__)
    // Words of all ones for the stack pointer to stand on: each reads as -1.
    static unsigned char all_ones[256];
    memset(all_ones, 0xff, sizeof all_ones);
    long result = SYS_kill;
    unsigned char* top = all_ones + sizeof all_ones / 2;
    // The stop comes before the stack pointer is put back.
    asm volatile(
        "mov %%rsp, %%r12\n\t"
        "mov %[top], %%rsp\n\t"
        "syscall\n\t"
        "mov %%r12, %%rsp"
        : "+a"(result)
        : "D"(static_cast<long>(getpid())), "S"(static_cast<long>(SIGTRAP)), [top] "r"(top)
        : "rcx", "r11", "r12", "memory");
#endif
    _exit(kSkipped);
  }
  _exit(kSetupFailed);
}

// Gives the calling process a mount namespace of its own with an empty /proc.
bool HideProcHere() {
  return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("none", "/proc", "tmpfs", 0, nullptr) == 0;
}

std::vector<FailedCall> NoneFails() { return {}; }

std::vector<FailedCall> SignalInformationFails() { return {{__NR_ptrace, EIO, 0, PTRACE_GETSIGINFO}}; }

std::vector<FailedCall> MemoryReadFails() { return {{__NR_ptrace, EIO, 0, PTRACE_PEEKDATA}}; }

struct TrapCallCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  Trap trap;
  bool without_proc;  // /proc cannot tell where the stack began
  std::vector<FailedCall> (*fails)();
  bool of_the_exec;  // what CameOutOfExec must answer
};

class TrapCallFails : public ::testing::TestWithParam<TrapCallCase> {};

// What tells the exec's trap from another when the tracer's requests fail:
// without the signal's information, where the stack pointer stands still
// tells; a stack that cannot be read is taken for the exec's; a word that
// reads as -1 is a word like any other, not a failed read.
TEST_P(TrapCallFails, StillTellsTheExecsTrap) {
  const TrapCallCase c = GetParam();
#if !defined(__x86_64__)
  if (c.trap == Trap::kKillOnAllOnes) GTEST_SKIP() << "the stack is moved onto words of all ones on x86_64 only";
#endif
  const Outcome outcome = RunInTestProcess([&] {
    if (c.without_proc && !HideProcHere()) return static_cast<int>(kSkipped);
    const pid_t tracee = fork();
    if (tracee == 0) StopForTrap(c.trap);
    if (tracee < 0) return static_cast<int>(kSetupFailed);
    const int stop = StopOf(tracee);
    int result = kSetupFailed;
    if (stop >= 0 && WSTOPSIG(stop) == SIGTRAP && FailCalls(c.fails())) {
      result = monitor::CameOutOfExec(tracee) ? 1 : 0;
    }
    proc::KillStarted(tracee);
    const auto status = harness::WaitForExit(tracee);
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == kSkipped) return static_cast<int>(kSkipped);
    return result;
  });
  if (outcome.status == kSkipped << 8) GTEST_SKIP() << "no mount namespace, or no such trap, here";
  EXPECT_EQ(outcome.status, (c.of_the_exec ? 1 : 0) << 8) << "1: the exec's; 0: another";
  EXPECT_EQ(outcome.out + outcome.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Traps, TrapCallFails,
    ::testing::Values(TrapCallCase{"ExecWithoutSignalInformation", Trap::kExec, false, SignalInformationFails, true},
                      TrapCallCase{"RaisedWithoutSignalInformation", Trap::kRaise, false, SignalInformationFails,
                                   false},
                      TrapCallCase{"ExecWithAnUnreadableStack", Trap::kExec, true, MemoryReadFails, true},
                      TrapCallCase{"SentOnWordsOfAllOnes", Trap::kKillOnAllOnes, true, NoneFails, false}),
    [](const auto& test) { return std::string(test.param.name); });

class CloneStopCallFails : public ::testing::TestWithParam<bool> {};

// The SIGSTOP that a process created with CLONE_PTRACE starts with is the
// kernel's, and is dropped as it is let go; where the signal's information
// cannot be read, nothing says so, and the stop is handed back as any
// other: the process is let go stopped.
TEST_P(CloneStopCallFails, KeepsTheStopOnlyWhenItsSenderIsUnknown) {
  const bool information_fails = GetParam();
  const Outcome outcome = RunInTestProcess([&] {
    // The cloned process is adopted here when its parent is ended.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) return static_cast<int>(kSetupFailed);
    const pid_t parent = fork();
    if (parent == 0) {
      if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(kSetupFailed);
      syscall(SYS_clone, CLONE_PTRACE | SIGCHLD, 0, 0, 0, 0);
      for (;;) pause();
    }
    if (parent < 0) return static_cast<int>(kSetupFailed);
    monitor::_child_process = parent;
    pid_t cloned = -1;
    int stop = 0;
    const long long give_up = harness::NowMs() + harness::kDeadlineMs;
    while (cloned <= 0 && harness::NowMs() < give_up) {
      const pid_t got = waitpid(-1, &stop, WNOHANG | WUNTRACED | __WALL);
      if (got > 0 && got != parent && WIFSTOPPED(stop) && WSTOPSIG(stop) == SIGSTOP) cloned = got;
      if (got <= 0) proc::SleepUs(1000);
    }
    int result = kSetupFailed;
    if (cloned > 0 && (!information_fails || FailCalls(SignalInformationFails()))) {
      monitor::ReleaseTracee(cloned, stop);
      char state = proc::State(cloned);
      while (state != 'S' && state != 'T' && harness::NowMs() < give_up) {
        proc::SleepUs(1000);
        state = proc::State(cloned);
      }
      result = state == 'T' ? 1 : state == 'S' ? 0 : 3;
    }
    proc::KillStarted(cloned);
    proc::KillStarted(parent);
    harness::WaitForExit(parent);
    if (cloned > 0) harness::WaitForExit(cloned);
    return result;
  });
  EXPECT_EQ(outcome.status, (information_fails ? 1 : 0) << 8) << "1: let go stopped; 0: let go running";
}

INSTANTIATE_TEST_SUITE_P(SignalInformation, CloneStopCallFails, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "Unreadable" : "Read"; });

}  // namespace
