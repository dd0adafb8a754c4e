// The real supervisor, end to end. The probe target reports on an inherited
// pipe what it was started with. This process is a child subreaper, so the
// detached supervisor stays its child and can be ended and reaped.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"

namespace {

using harness::Report;

// The six watched signals, as /proc/PID/status shows a blocked set.
constexpr char kWatchedSet[] = "0000000000017003";
constexpr char kProbeValue[] = "a value with spaces \xe2\x9c\x93";

// The children of a process, in the order /proc lists them.
std::vector<pid_t> ChildrenOf(pid_t pid) {
  pid_t children[64];
  const int count = proc::Children(pid, children, 64);
  return std::vector<pid_t>(children, children + count);
}

// The open descriptors of a process, each with what it leads to, in
// increasing order.
std::vector<std::pair<int, std::string>> Descriptors(pid_t pid) {
  std::vector<std::pair<int, std::string>> found;
  const std::string directory = "/proc/" + std::to_string(pid) + "/fd/";
  for (int fd = 0; fd < 1024; ++fd) {
    char target[4096];
    const ssize_t n = readlink((directory + std::to_string(fd)).c_str(), target, sizeof target);
    if (n > 0) found.emplace_back(fd, std::string(target, static_cast<size_t>(n)));
  }
  return found;
}

// The threads of a process, as /proc lists them.
std::vector<pid_t> ThreadsOf(pid_t pid) {
  std::vector<pid_t> threads;
  DIR* tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (tasks == nullptr) return threads;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') threads.push_back(static_cast<pid_t>(std::stol(entry->d_name)));
  }
  closedir(tasks);
  return threads;
}

bool IsRunning(pid_t pid) {
  const char state = proc::State(pid);
  return state != '?' && state != 'Z';
}

// The only child of parent, once it has exactly one and that one is not
// other_than; -1 if that does not happen within the deadline.
pid_t OnlyChild(pid_t parent, pid_t other_than = -1) {
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  for (;;) {
    const std::vector<pid_t> children = ChildrenOf(parent);
    if (children.size() == 1 && children[0] != other_than) return children[0];
    if (harness::NowMs() > give_up) return -1;
    proc::SleepUs(10000);
  }
}

// The pointers an exec call takes, into strings that outlive them.
std::vector<char*> NullTerminated(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  pointers.reserve(words.size() + 1);
  for (auto& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

struct Options {
  std::vector<std::string> args;       // after the supervisor's own name
  std::vector<std::string> extra_env;  // added to this process's environment
  std::string cwd = ".";
  bool ignore_sigchld = false;
  bool no_arguments_at_all = false;  // argc 0
  // In a mount namespace of the supervisor's own: a file bound over
  // /dev/null, or "NONE" for a /dev without it; empty for neither.
  std::string dev_null_stand_in;
  // The supervisor's background copy becomes the first process of a new
  // PID namespace, as under "unshare --pid" without --fork.
  bool first_of_a_pid_namespace = false;
  // The invoking process leads a session of its own, on a terminal that this
  // test holds, and runs on one CPU, so that it ends before its copy runs.
  bool session_leader_on_a_terminal = false;
  // The supervisor itself is the first process of a new PID namespace, as
  // under "unshare --pid --fork"; the invoking process waits for it and
  // leaves with its status.
  bool process_one = false;
  // Files the supervisor inherits open on the given descriptors, above 2.
  struct InheritedFile {
    int fd;
    std::string path;
    int flags;
  };
  std::vector<InheritedFile> inherited;
  // The supervisor runs in a mount namespace of its own with nothing
  // mounted on /proc, as in a bare chroot.
  bool without_proc = false;
  // The supervisor is root without CAP_SYS_PTRACE, as under a container
  // runtime's default capabilities.
  bool without_sys_ptrace = false;
  // The supervisor runs as this user and group, with no supplementary
  // groups; 0 for the test's own.
  uid_t user = 0;
  // The supervisor's binary: a copy where the build tree is out of reach of
  // the user it runs as.
  std::string monitor = MONITOR_PATH;
  // The supervisor's stack size limit in bytes, with its stack placed
  // without randomization, so that what is left of it is the same at every
  // run; 0 for the test's own.
  rlim_t stack_limit = 0;
  // The supervisor's standard output (1) or error (2) is a pipe whose
  // reader has gone, with SIGPIPE at its default action; -1 for neither.
  int broken_pipe_on = -1;
};

// Exit codes of the invoking process when it could not set up what the
// test asked for.
constexpr int kNoMountNamespace = 123;
constexpr int kNoPidNamespace = 124;
constexpr int kNoOtherUser = 125;

// The user, and group, that tests become when they need another than root.
constexpr uid_t kOtherUser = 65534;

// Gives the calling process a private mount namespace with an empty /proc.
bool HideProc() {
  return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("none", "/proc", "tmpfs", 0, nullptr) == 0;
}

// Makes descriptor fd the writing end of a pipe that nobody reads, and
// SIGPIPE deadly, as it is for a program started from a shell.
bool BreakPipeOn(int fd) {
  int ends[2];
  if (pipe(ends) != 0 || close(ends[0]) != 0 || signal(SIGPIPE, SIG_DFL) == SIG_ERR) return false;
  return dup2(ends[1], fd) == fd && close(ends[1]) == 0;
}

// Gives the calling process a private mount namespace in which /dev/null is
// the file at stand_in, or in which an empty /dev has none.
bool ReplaceDevNull(const std::string& stand_in) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (stand_in == "NONE") return mount("none", "/dev", "tmpfs", 0, nullptr) == 0;
  return mount(stand_in.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) == 0;
}

// The core-file limit that callers start the supervisor with: a soft limit
// of 0 under the hard one, so that only a supervisor that raises it hands
// its target more.
bool CallersCoreLimit(rlimit* limit) {
  if (getrlimit(RLIMIT_CORE, limit) != 0) return false;
  limit->rlim_cur = 0;
  return true;
}

// Everything written on a pipe until its end or a second without news;
// closes the pipe.
std::string ReadStream(int fd) {
  std::string text;
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0) break;
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

// One run of the supervisor: starts it, and ends the supervisor and its last
// target, whatever the test did, when it goes out of scope.
class Supervised {
 public:
  explicit Supervised(const Options& options) {
    int report[2];
    int out[2];
    int err[2];
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    report_fd_ = report[0];
    reader_ = harness::LineReader(report_fd_);

    std::vector<std::string> words{options.monitor};
    for (const auto& arg : options.args) words.push_back(arg == "REPORT_FD" ? std::to_string(kReportFd) : arg);
    if (options.no_arguments_at_all) words.clear();
    std::vector<char*> argv = NullTerminated(words);
    // This process's environment, with the test's own variables in front so
    // that they take precedence.
    std::vector<std::string> env_words{std::string("MONITOR_PROBE_VALUE=") + kProbeValue};
    env_words.insert(env_words.end(), options.extra_env.begin(), options.extra_env.end());
    for (char** e = environ; *e != nullptr; ++e) env_words.emplace_back(*e);
    std::vector<char*> envp = NullTerminated(env_words);

    // The terminal's name is taken here: in the forked process its
    // descriptor may be the number that the report pipe is moved to.
    std::string terminal_name;
    if (options.session_leader_on_a_terminal) {
      terminal_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      const char* failed = terminal_ < 0                   ? "posix_openpt"
                           : grantpt(terminal_) != 0       ? "grantpt"
                           : unlockpt(terminal_) != 0      ? "unlockpt"
                           : ptsname(terminal_) == nullptr ? "ptsname"
                                                           : nullptr;
      if (failed != nullptr) {
        setup_error_ = std::string("no pseudo-terminal can be opened here: ") + failed + ": " + strerror(errno);
        return;
      }
      terminal_name = ptsname(terminal_);
    }
    // Nothing buffered in this process may be written again by the copy.
    if (fflush(nullptr) != 0) return;
    invoker_ = fork();
    if (invoker_ == 0) {
      // The report pipe reaches the supervisor and every target at a known
      // number, and no other descriptor of this process does. The pipes are
      // moved above that number first, so that no dup2 overwrites another.
      const int report_end = fcntl(report[1], F_DUPFD_CLOEXEC, kReportFd + 1);
      const int out_end = fcntl(out[1], F_DUPFD_CLOEXEC, kReportFd + 1);
      const int err_end = fcntl(err[1], F_DUPFD_CLOEXEC, kReportFd + 1);
      if (report_end < 0 || out_end < 0 || err_end < 0 || dup2(report_end, kReportFd) < 0 ||
          dup2(out_end, STDOUT_FILENO) < 0 || dup2(err_end, STDERR_FILENO) < 0 || chdir(options.cwd.c_str()) != 0)
        _exit(120);
      if (options.ignore_sigchld && signal(SIGCHLD, SIG_IGN) == SIG_ERR) _exit(122);
      rlimit core{};
      if (!CallersCoreLimit(&core) || setrlimit(RLIMIT_CORE, &core) != 0) _exit(120);
      if (!options.dev_null_stand_in.empty() && !ReplaceDevNull(options.dev_null_stand_in)) _exit(kNoMountNamespace);
      if (options.without_proc && !HideProc()) _exit(kNoMountNamespace);
      // Root keeps what the bounding set allows across execve.
      if (options.without_sys_ptrace && prctl(PR_CAPBSET_DROP, CAP_SYS_PTRACE, 0, 0, 0) != 0) _exit(kNoOtherUser);
      if (options.first_of_a_pid_namespace && unshare(CLONE_NEWPID) != 0) _exit(kNoPidNamespace);
      if (!terminal_name.empty()) {
        // Opened by a session leader without one, the terminal becomes its
        // controlling terminal, with this process group in the foreground.
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        if (setsid() < 0 || open(terminal_name.c_str(), O_RDWR | O_CLOEXEC) < 0 ||
            sched_setaffinity(0, sizeof one, &one) != 0) {
          _exit(120);
        }
      }
      // Nothing else of this process's reaches the supervisor.
      if (close_range(STDERR_FILENO + 1, kReportFd - 1, 0) != 0 || close_range(kReportFd + 1, ~0U, 0) != 0) _exit(120);
      for (const auto& file : options.inherited) {
        const int opened = open(file.path.c_str(), file.flags);
        if (opened < 0 ||
            (opened != file.fd && (dup3(opened, file.fd, file.flags & O_CLOEXEC) != file.fd || close(opened) != 0))) {
          _exit(120);
        }
      }
      if (options.user != 0) {
        const gid_t group = static_cast<gid_t>(options.user);
        if (setgroups(0, nullptr) != 0 || setresgid(group, group, group) != 0 ||
            setresuid(options.user, options.user, options.user) != 0) {
          _exit(kNoOtherUser);
        }
      }
      const rlimit stack{options.stack_limit, options.stack_limit};
      if (options.stack_limit != 0 && (setrlimit(RLIMIT_STACK, &stack) != 0 || personality(ADDR_NO_RANDOMIZE) < 0)) {
        _exit(120);
      }
      if (options.broken_pipe_on >= 0 && !BreakPipeOn(options.broken_pipe_on)) _exit(120);
      if (options.process_one) LeaveWithTheStatusOfProcessOne(argv.data(), envp.data());
      execve(options.monitor.c_str(), argv.data(), envp.data());
      _exit(121);
    }
    close(report[1]);
    close(out[1]);
    close(err[1]);
    const auto status = harness::WaitForExit(invoker_);
    if (status) {
      // Reaped: its pid is no longer this test's to signal.
      invoker_ = -1;
      if (WIFEXITED(*status)) invoker_status_ = WEXITSTATUS(*status);
    }
    // Each stream on its own, so that a line on the wrong one shows. A line
    // cut short of its newline is kept as it came.
    invoker_out_ = ReadStream(out[0]);
    invoker_err_ = ReadStream(err[0]);
    // The invoking process has ended, so the detached copy, if any, is now
    // this subreaper's only child.
    if (proc::Children(getpid(), &supervisor_, 1) != 1) supervisor_ = -1;
  }

  ~Supervised() {
    // The supervisor is stopped first, so that it cannot relaunch the
    // target, then every child of its ends: a test that failed may have
    // left one that it never saw (a forked process still trying to execute,
    // say), which would outlive the test and confuse the next.
    if (supervisor_ > 1 && kill(supervisor_, SIGSTOP) == 0) {
      const long long give_up = harness::NowMs() + harness::kDeadlineMs;
      while (IsRunning(supervisor_) && proc::State(supervisor_) != 'T' && harness::NowMs() < give_up) {
        proc::SleepUs(1000);
      }
      for (const pid_t child : ChildrenOf(supervisor_)) proc::KillStarted(child);
    }
    proc::KillStarted(supervisor_);
    proc::KillStarted(target_);
    proc::KillStarted(invoker_);
    if (!proc::ReapAll()) ADD_FAILURE() << "children left unreaped";
    if (report_fd_ >= 0) close(report_fd_);
    if (terminal_ >= 0) close(terminal_);
  }

  Supervised(const Supervised&) = delete;
  Supervised& operator=(const Supervised&) = delete;

  int invoker_status() const { return invoker_status_; }
  // What the invoking process wrote on its standard output and error.
  const std::string& invoker_out() const { return invoker_out_; }
  const std::string& invoker_err() const { return invoker_err_; }
  pid_t supervisor() const { return supervisor_; }

  // The next line on the report pipe: a probe's report or a line of the
  // fork-failing library.
  std::optional<std::string> NextLine(int deadline_ms = harness::kDeadlineMs) { return reader_.Next(deadline_ms); }

  // The next report; its probe is the one to end afterwards.
  std::optional<Report> NextReport() {
    const auto line = NextLine();
    last_line_ = line.value_or("");
    if (!line || line->compare(0, 4, "pid=") != 0) return std::nullopt;
    Report report = harness::ParseReport(*line);
    target_ = report.pid;
    return report;
  }

  // Waits until the supervisor has exactly the children expected and sleeps
  // in its loop: two readings of its context-switch count a little apart
  // agree, so every signal sent before has been taken. A supervisor that
  // relaunched in a hot loop would never get here.
  bool Settled(const std::vector<pid_t>& children = {}) {
    const long long give_up = harness::NowMs() + harness::kDeadlineMs;
    long long before = -1;
    while (harness::NowMs() < give_up) {
      const long long now = proc::ContextSwitches(supervisor_);
      if (now == before && ChildrenOf(supervisor_) == children && IsRunning(supervisor_)) return true;
      before = now;
      proc::SleepUs(200000);
    }
    return false;
  }

  // True when no line is waiting on the report pipe.
  bool NoMoreLines() { return !reader_.Next(0); }

  // The test has reaped the supervisor and its target itself: their pids
  // are no longer its to signal.
  void Forget() { supervisor_ = target_ = -1; }

  // The line that the last NextReport read, report or not.
  const std::string& last_line() const { return last_line_; }

  // Why the test could not set up what it asked for, if it could not.
  const std::string& setup_error() const { return setup_error_; }

 private:
  // Runs the supervisor as the first process of a new PID namespace, and
  // leaves with its exit status (0 if it did not exit).
  [[noreturn]] static void LeaveWithTheStatusOfProcessOne(char* const* argv, char* const* envp) {
    if (unshare(CLONE_NEWPID) != 0) _exit(kNoPidNamespace);
    const pid_t first = fork();
    if (first < 0) _exit(kNoPidNamespace);
    if (first == 0) {
      execve(MONITOR_PATH, argv, envp);
      _exit(121);
    }
    const auto status = harness::WaitForExit(first);
    _exit(status && WIFEXITED(*status) ? WEXITSTATUS(*status) : 0);
  }

  static constexpr int kReportFd = 9;
  int report_fd_ = -1;
  int terminal_ = -1;
  harness::LineReader reader_{-1};
  pid_t invoker_ = -1;
  pid_t supervisor_ = -1;
  pid_t target_ = -1;
  int invoker_status_ = -1;
  std::string invoker_out_;
  std::string invoker_err_;
  std::string last_line_;
  std::string setup_error_;
};

Options Target(std::vector<std::string> args, std::string cwd = ".") {
  Options options;
  options.args = std::move(args);
  options.cwd = std::move(cwd);
  return options;
}

// Arguments that a naive supervisor might interpret, split or mangle, and
// thousands of them.
std::vector<std::string> AwkwardArguments() {
  std::vector<std::string> args{"", "-x", "--", "--help", "a b", "\t", "\xff\xfe not utf-8", "*", "$HOME"};
  for (int i = 0; i < 3000; ++i) args.push_back("arg" + std::to_string(i));
  return args;
}

class ScratchDirectory {
 public:
  ScratchDirectory() {
    char pattern[4096];
    if (proc::MakeScratch("monitor-e2e", pattern, sizeof pattern)) path_ = pattern;
  }
  ~ScratchDirectory() {
    if (!path_.empty() && !proc::RemoveTree(path_.c_str())) ADD_FAILURE() << "could not remove " << path_;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class Relaunch : public ::testing::TestWithParam<int> {};

TEST_P(Relaunch, AfterDeathBySignalWithTheSameContext) {
  ScratchDirectory scratch;
  std::vector<std::string> args{PROBE_PATH, "REPORT_FD", "stay"};
  const auto awkward = AwkwardArguments();
  args.insert(args.end(), awkward.begin(), awkward.end());
  Supervised run(Target(args, scratch.path()));
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
  EXPECT_EQ(run.invoker_out(), "");
  EXPECT_EQ(run.invoker_err(), "");

  auto first = run.NextReport();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->ppid, run.supervisor());
  EXPECT_NE(first->ppid, getpid()) << "the supervisor did not detach";
  std::vector<std::string> expected_argv{PROBE_PATH, "9", "stay"};
  expected_argv.insert(expected_argv.end(), awkward.begin(), awkward.end());
  EXPECT_EQ(first->argv, expected_argv);
  EXPECT_EQ(first->env, kProbeValue);
  EXPECT_EQ(first->cwd, scratch.path());
  EXPECT_EQ(first->sigblk, kWatchedSet);
  // The supervisor holds the null device on its standard streams, what it
  // was given (the report pipe), and nothing that it opened itself.
  const auto held = Descriptors(run.supervisor());
  ASSERT_EQ(held.size(), 4U);
  for (int fd = 0; fd < 3; ++fd) EXPECT_EQ(held[static_cast<size_t>(fd)], std::make_pair(fd, std::string("/dev/null")));
  EXPECT_EQ(held[3].first, 9);
  // The caller's soft limit was 0: unlimited where the hard limit could be
  // raised, else soft raised to hard.
  const std::string core = first->core;
  EXPECT_EQ(core.substr(0, core.find(',')), core.substr(core.find(',') + 1));
  rlimit callers{};
  ASSERT_TRUE(CallersCoreLimit(&callers));
  if (callers.rlim_max != 0) {
    EXPECT_NE(core.substr(0, core.find(',')), "0") << "the limit was not raised";
  }

  pid_t previous = first->pid;
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(kill(previous, GetParam()), 0);
    auto next = run.NextReport();
    ASSERT_TRUE(next) << "no relaunch in round " << round;
    EXPECT_NE(next->pid, previous);
    EXPECT_EQ(next->ppid, first->ppid);
    EXPECT_EQ(next->argv, first->argv);
    EXPECT_EQ(next->env, first->env);
    EXPECT_EQ(next->cwd, first->cwd);
    EXPECT_EQ(next->sigblk, kWatchedSet);
    EXPECT_EQ(next->core, first->core);
    previous = next->pid;
  }
  // The dead targets were all reaped: the supervisor's only child is the last.
  EXPECT_EQ(ChildrenOf(run.supervisor()), std::vector<pid_t>{previous});
}

INSTANTIATE_TEST_SUITE_P(Signals, Relaunch, ::testing::Values(SIGKILL, SIGSEGV),
                         [](const auto& test) { return std::string(sigabbrev_np(test.param)); });

TEST(Exit, LeavesTheTargetDownAndTheSupervisorResident) {
  Supervised run(Target({PROBE_PATH, "REPORT_FD", "exit:3"}));
  ASSERT_TRUE(run.NextReport());
  ASSERT_TRUE(run.Settled());
  EXPECT_TRUE(run.NoMoreLines());
}

// A path given without a slash is not looked up along PATH.
TEST(Launch, RelativePathResolvesAgainstTheWorkingDirectory) {
  const std::string probe = PROBE_PATH;
  const std::string directory = probe.substr(0, probe.rfind('/'));
  const std::string name = probe.substr(probe.rfind('/') + 1);
  Supervised run(Target({name, "REPORT_FD", "exit:0"}, directory));
  auto report = run.NextReport();
  ASSERT_TRUE(report);
  EXPECT_EQ(report->argv.at(0), name);
}

class IgnoredSignal : public ::testing::TestWithParam<int> {};

// SIGTERM, SIGINT, SIGHUP and the other watched signals are taken and
// change nothing; the supervisor still relaunches afterwards.
TEST_P(IgnoredSignal, ChangesNothing) {
  Supervised run(Target({PROBE_PATH, "REPORT_FD", "stay"}));
  auto first = run.NextReport();
  ASSERT_TRUE(first);
  ASSERT_EQ(kill(run.supervisor(), GetParam()), 0);
  EXPECT_TRUE(run.Settled({first->pid})) << "the target changed, or the supervisor ended";
  EXPECT_TRUE(IsRunning(first->pid));
  EXPECT_TRUE(run.NoMoreLines());

  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  EXPECT_TRUE(run.NextReport());
}

INSTANTIATE_TEST_SUITE_P(Signals, IgnoredSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGALRM, SIGCHLD),
                         [](const auto& test) { return std::string(sigabbrev_np(test.param)); });

// A start that failed in the invoking process: status 255, exactly the
// output expected on each stream, and nothing detached, launched or left
// running.
void ExpectFailedStart(Supervised& run, const std::string& out, const std::string& err) {
  EXPECT_EQ(run.invoker_status(), 255);
  EXPECT_EQ(run.invoker_out(), out);
  EXPECT_EQ(run.invoker_err(), err);
  EXPECT_EQ(run.supervisor(), -1) << "a supervisor was left in the background";
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "something was left running";
  EXPECT_TRUE(run.NoMoreLines()) << "a target was launched";
}

// Nothing to supervise: a clear failure, and nothing left in the background.
TEST(Start, WithoutATargetFailsAndDetachesNothing) {
  {
    Supervised run(Options{});
    ExpectFailedStart(run, "", "usage: monitor PROGRAM [ARGUMENT...]\n");
  }
  {
    Options options;
    options.no_arguments_at_all = true;
    Supervised run(options);
    EXPECT_EQ(run.invoker_status(), 255);
    // This kernel hands an empty vector over as one empty name, which takes
    // the no-target path; others may deliver argc 0, which writes nothing.
    EXPECT_EQ(run.invoker_out(), "");
    const std::string& err = run.invoker_err();
    EXPECT_TRUE(err.empty() || err == "usage: monitor PROGRAM [ARGUMENT...]\n") << err;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "something was left running";
  }
}

// Writes a file in the scratch directory with the given mode; returns its path.
std::string WriteFile(const ScratchDirectory& scratch, const char* name, const char* text, mode_t mode) {
  const std::string path = scratch.path() + "/" + name;
  {
    std::ofstream file(path);
    file << text;
  }
  return chmod(path.c_str(), mode) == 0 ? path : "";
}

struct RefusedCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  const char* target;           // NOT_EXECUTABLE: the full path of -not-executable, a text
                                // file without execute permission in the working directory
  const char* why;              // the end of the line, after the path
  const char* shown = nullptr;  // the path as the line shows it, if not as given
};

// A path longer than any buffer a line might be built in.
const std::string kLongPath = "/nonexistent" + std::string(300, '/') + "program";

class RefusedTarget : public ::testing::TestWithParam<RefusedCase> {};

// A target that cannot be executed is refused before anything detaches:
// the caller sees 255 and one line that names the path and the reason.
TEST_P(RefusedTarget, FailsTheStartAndLeavesNothingRunning) {
  ScratchDirectory scratch;
  const RefusedCase c = GetParam();
  const std::string not_executable = WriteFile(scratch, "-not-executable", "#!/bin/sh\n", 0644);
  const std::string target = std::string(c.target) == "NOT_EXECUTABLE" ? not_executable : c.target;
  Supervised run(Target({target, "REPORT_FD", "stay"}, scratch.path()));
  ExpectFailedStart(run, "", "exec error: " + (c.shown != nullptr ? c.shown : target) + ": " + c.why + "\n");
}

constexpr char kNotSearched[] = "No such file or directory (the path is used as given; PATH is not searched)";

INSTANTIATE_TEST_SUITE_P(Paths, RefusedTarget,
                         ::testing::Values(RefusedCase{"Missing", "/nonexistent/program", "No such file or directory"},
                                           RefusedCase{"Directory", "/", "Is a directory"},
                                           RefusedCase{"NotExecutable", "NOT_EXECUTABLE", "Permission denied"},
                                           // The hints about PATH and options are for a missing file only.
                                           RefusedCase{"NotExecutableByName", "-not-executable", "Permission denied"},
                                           RefusedCase{"LongPath", kLongPath.c_str(), "No such file or directory"},
                                           RefusedCase{"UnderAFile", "/dev/null/program", "Not a directory"},
                                           RefusedCase{"NameWithoutSlash", "sleep", kNotSearched},
                                           RefusedCase{"Empty", "", kNotSearched},
                                           // Control characters cannot make lines that look like others.
                                           RefusedCase{"ControlCharacters", "/no\nfork ok\t\x01\x7f\r",
                                                       "No such file or directory", "/no\\nfork ok\\t\\x01\\x7f\\r"},
                                           RefusedCase{"LooksLikeAnOption", "--help",
                                                       "No such file or directory (monitor takes no options; usage: "
                                                       "monitor PROGRAM [ARGUMENT...])"}),
                         [](const auto& test) { return std::string(test.param.name); });

// Whether /bin/true runs with the given stack limit and this environment,
// its stack placed as the supervisor's is in the test below. (With the
// kernel's random offset of up to 8 KiB below the stack's top, whether
// either runs with 16 KiB would be left to chance.)
bool TrivialProgramRunsWithStack(rlim_t limit) {
  const pid_t child = fork();
  if (child == 0) {
    const rlimit stack{limit, limit};
    if (setrlimit(RLIMIT_STACK, &stack) != 0 || personality(ADDR_NO_RANDOMIZE) < 0) _exit(120);
    // A margin of 4 KiB for what the supervisor needs beyond /bin/true.
    std::string margin(4096, 'x');
    char* argv[] = {const_cast<char*>("/bin/true"), margin.data(), nullptr};
    execve(argv[0], argv, environ);
    _exit(121);
  }
  const auto status = harness::WaitForExit(child);
  return status && *status == 0;
}

// The refusal needs no more stack than a trivial program: with 16 KiB, it is
// still refused with its line and status 255, not ended by SIGSEGV.
TEST(Start, RefusedWithTheStackOfATrivialProgram) {
  constexpr rlim_t kSmallStack = rlim_t{16} * 1024;
  if (!TrivialProgramRunsWithStack(kSmallStack)) GTEST_SKIP() << "/bin/true does not run with a 16 KiB stack here";
  for (const std::string& target : {std::string("/nonexistent/program"), kLongPath}) {
    Options options = Target({target});
    options.stack_limit = kSmallStack;
    Supervised run(options);
    ExpectFailedStart(run, "", "exec error: " + target + ": No such file or directory\n");
  }
}

// Preloads the library that makes some calls fail, or counts them, as env
// asks.
Options Interposed(Options options, const std::vector<std::string>& env) {
  // A sanitized supervisor wants its run-time first among the libraries; the
  // library must come before it to interpose, so that check is off.
  const char* asan_options = getenv("ASAN_OPTIONS");
  options.extra_env = {
      std::string("LD_PRELOAD=") + INTERPOSE_LIBRARY,
      std::string("ASAN_OPTIONS=verify_asan_link_order=0:") + (asan_options != nullptr ? asan_options : "")};
  options.extra_env.insert(options.extra_env.end(), env.begin(), env.end());
  return options;
}

// The interposer's variables that count its calls of execve of path in
// count_file.
std::vector<std::string> CountingExecOf(const std::string& path, const std::string& count_file) {
  return {"EXEC_COUNT_PATH=" + path, "EXEC_COUNT_FILE=" + count_file};
}

// How many times execve was called for the counted path: the size of the
// file that the interposer appends a byte to at each call, 0 before any.
long long ExecTries(const std::string& count_file) {
  struct stat counted {};
  return stat(count_file.c_str(), &counted) == 0 ? static_cast<long long>(counted.st_size) : 0;
}

class BackgroundExecFailure : public ::testing::TestWithParam<std::string> {};

// An executable file that execve still refuses passes the check: "fork ok",
// "exec error" in the background, then a resident supervisor with no target
// and no relaunch loop. The first launch was checked before detaching, so
// its failure is no deploy in progress: execve is tried once, and the end
// comes at once, not after a grace.
TEST_P(BackgroundExecFailure, IsLaunchedOnceAndLeftDown) {
  ScratchDirectory scratch;
  const std::string target = WriteFile(scratch, "target", GetParam().c_str(), 0755);
  const std::string tries = scratch.path() + "/tries";
  Supervised run(Interposed(Target({target, "REPORT_FD", "stay"}, scratch.path()), CountingExecOf(target, tries)));
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
  ASSERT_GT(run.supervisor(), 1);
  EXPECT_TRUE(run.Settled());
  EXPECT_TRUE(run.NoMoreLines());
  EXPECT_EQ(ExecTries(tries), 1) << "the first launch was given a deploy grace";
}

INSTANTIATE_TEST_SUITE_P(Files, BackgroundExecFailure,
                         ::testing::Values("plain text, not a program\n", "#!/nonexistent/interpreter\n"),
                         [](const auto& test) { return test.index == 0 ? "NotAProgram" : "MissingInterpreter"; });

// Symbolic links and relative paths that execve follows pass the check,
// and so does a file whose name begins with "-": monitor takes no options,
// so it is a path like any other.
TEST(Launch, ThroughASymbolicLinkAndARelativePath) {
  ScratchDirectory scratch;
  ASSERT_EQ(mkdir((scratch.path() + "/bin").c_str(), 0755), 0);
  ASSERT_EQ(symlink(PROBE_PATH, (scratch.path() + "/bin/probe-link").c_str()), 0);
  ASSERT_EQ(symlink(PROBE_PATH, (scratch.path() + "/--help").c_str()), 0);
  for (const char* path : {"bin/../bin/probe-link", "--help"}) {
    Supervised run(Target({path, "REPORT_FD", "stay"}, scratch.path()));
    ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
    auto report = run.NextReport();
    ASSERT_TRUE(report) << path;
    EXPECT_EQ(report->argv.at(0), path);
  }
}

TEST(Start, WithSigchldIgnoredStillSeesTheTargetDie) {
  Options options = Target({PROBE_PATH, "REPORT_FD", "stay"});
  options.ignore_sigchld = true;
  Supervised run(options);
  auto first = run.NextReport();
  ASSERT_TRUE(first);
  // Nor is the ignored SIGCHLD handed on to the target.
  EXPECT_EQ(std::stoull(first->sigign, nullptr, 16) & (1ULL << (SIGCHLD - 1)), 0U) << first->sigign;
  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  auto second = run.NextReport();
  ASSERT_TRUE(second);
  EXPECT_NE(second->pid, first->pid);
}

// The monotonic time in milliseconds that the fork-failing library wrote in
// its line "fork refused MS", or -1 for any other line.
long long RefusedAt(const std::optional<std::string>& line) {
  const std::string prefix = "fork refused ";
  if (!line || line->compare(0, prefix.size(), prefix) != 0) return -1;
  return std::stoll(line->substr(prefix.size()));
}

// The relaunch's fork fails twice; the supervisor tries again about once a
// second, not in a loop that spins through the shortage, and the target
// comes back.
TEST(Relaunch, IsRetriedAboutOnceASecondWhileForkFails) {
  Supervised run(Interposed(Target({PROBE_PATH, "REPORT_FD", "stay"}),
                            {"FORK_FAIL_SKIP=1", "FORK_FAIL_COUNT=2", "FORK_FAIL_FD=9"}));
  auto first = run.NextReport();
  ASSERT_TRUE(first);
  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  const long long first_refusal = RefusedAt(run.NextLine());
  const long long second_refusal = RefusedAt(run.NextLine());
  ASSERT_GE(first_refusal, 0);
  ASSERT_GE(second_refusal, 0);
  EXPECT_GE(second_refusal - first_refusal, 900) << "retried without waiting";
  EXPECT_LT(second_refusal - first_refusal, 3000) << "retried far later than about a second";
  auto second = run.NextReport();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->ppid, first->ppid);
}

// Started as the leader of a session on a terminal, as the last command of
// a remote shell or a terminal window is: the leader's end hangs the
// terminal up and sends SIGHUP to its process group, where the background
// copy is until it has made a session of its own. The copy must live on.
TEST(Start, AsTheLeaderOfASessionOnATerminal) {
  Options options = Target({PROBE_PATH, "REPORT_FD", "stay"});
  options.session_leader_on_a_terminal = true;
  Supervised run(options);
  if (!run.setup_error().empty()) GTEST_SKIP() << run.setup_error();
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
  EXPECT_TRUE(run.NextReport()) << "the background copy did not outlive the hangup";
}

// The first launch cannot fork (the caller's own processes may still count
// against its limit): the caller has already seen success, so the
// background copy stays and tries again about once a second, as for a
// relaunch, until the target runs.
TEST(Start, FirstForkFailureIsRetriedAboutOnceASecond) {
  Supervised run(Interposed(Target({PROBE_PATH, "REPORT_FD", "stay"}),
                            {"FORK_FAIL_SKIP=0", "FORK_FAIL_COUNT=2", "FORK_FAIL_FD=9"}));
  EXPECT_EQ(run.invoker_status(), 0);
  const long long first_refusal = RefusedAt(run.NextLine());
  const long long second_refusal = RefusedAt(run.NextLine());
  ASSERT_GE(first_refusal, 0);
  ASSERT_GE(second_refusal, 0);
  EXPECT_GE(second_refusal - first_refusal, 900) << "retried without waiting";
  EXPECT_LT(second_refusal - first_refusal, 3000) << "retried far later than about a second";
  const auto target = run.NextReport();
  ASSERT_TRUE(target) << "the background copy gave up: " << run.last_line();
  EXPECT_EQ(target->ppid, run.supervisor());
}

// Detaching fails: the one line written through printf reaches the caller,
// with errno and daemon's result, and nothing is left running.
TEST(Start, DetachFailureIsReported) {
  Supervised run(Interposed(Target({PROBE_PATH, "REPORT_FD", "stay"}), {"DAEMON_FAIL=1"}));
  ExpectFailedStart(run, "111111111111111 " + std::to_string(EAGAIN) + " - -1\n", "");
}

// The signals cannot be blocked (pthread_sigmask fails, made to by the
// interposer: its first call blocks SIGPIPE alone, its second the watched
// set): the start fails with its line and 255 before anything detaches.
TEST(Start, SignalMaskFailureFailsTheStart) {
  for (const char* skip : {"SIGMASK_FAIL_SKIP=0", "SIGMASK_FAIL_SKIP=1"}) {
    Supervised run(Interposed(Target({PROBE_PATH, "REPORT_FD", "stay"}), {skip, "SIGMASK_FAIL_COUNT=1"}));
    ExpectFailedStart(run, "", "pthread_sigmask fail\n");
  }
}

// Waiting for a signal fails (the interposer fails the first three waits at
// once): each failure is said on standard error, kept readable here after
// detaching, and the supervisor waits again; the later waits work, and a
// killed target is relaunched.
TEST(Relaunch, AfterWaitsForASignalFailed) {
  Supervised run(Interposed(Target({PROBE_PATH, "REPORT_FD", "stay"}), {"SIGWAIT_FAIL_COUNT=3", "DAEMON_STDERR_FD=9"}));
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
  std::optional<Report> first;
  int failures = 0;
  for (int read = 0; read < 4; ++read) {
    const auto line = run.NextLine();
    ASSERT_TRUE(line) << "after " << failures << " failed waits";
    if (*line == "wait signal error") {
      ++failures;
    } else if (line->compare(0, 4, "pid=") == 0) {
      first = harness::ParseReport(*line);
    } else {
      ADD_FAILURE() << "unexpected line: " << *line;
    }
  }
  EXPECT_EQ(failures, 3);
  ASSERT_TRUE(first);
  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  const auto second = run.NextReport();
  ASSERT_TRUE(second) << "not relaunched after the failed waits: " << run.last_line();
  EXPECT_NE(second->pid, first->pid);
}

// Without child subreapers (a kernel before 3.4), the target's orphans go
// to the namespace's first process instead, and supervision goes on as
// before: a killed target is relaunched.
TEST(Relaunch, WhereTheSupervisorCannotAdoptOrphans) {
  Supervised run(Interposed(Target({PROBE_PATH, "REPORT_FD", "stay"}), {"FAIL_CALL=prctl"}));
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
  const auto first = run.NextReport();
  ASSERT_TRUE(first) << run.last_line();
  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  const auto second = run.NextReport();
  ASSERT_TRUE(second) << "not relaunched: " << run.last_line();
  EXPECT_NE(second->pid, first->pid);
}

struct BrokenPipeCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  Options options;
  // cppcheck-suppress unusedStructMember ; read through GetParam()
  int stream;  // the one the failure is written on
};

class BrokenPipe : public ::testing::TestWithParam<BrokenPipeCase> {};

// A start that fails says so on a stream whose reader may have gone (a
// pipeline whose other end ended first): the caller is still told 255, not
// that monitor died of SIGPIPE.
TEST_P(BrokenPipe, FailedStartStillExitsWith255) {
  Options options = GetParam().options;
  options.broken_pipe_on = GetParam().stream;
  Supervised run(options);
  EXPECT_EQ(run.invoker_status(), 255) << "ended by a signal, or not refused";
  EXPECT_EQ(run.supervisor(), -1) << "a supervisor was left in the background";
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, BrokenPipe,
    ::testing::Values(BrokenPipeCase{"Usage", Options{}, STDERR_FILENO},
                      BrokenPipeCase{"MissingTarget", Target({"/nonexistent/program"}), STDERR_FILENO},
                      BrokenPipeCase{"DetachFailure",
                                     Interposed(Target({PROBE_PATH, "REPORT_FD", "stay"}), {"DAEMON_FAIL=1"}),
                                     STDOUT_FILENO}),
    [](const auto& test) { return std::string(test.param.name); });

// As the first process of a PID namespace (a container's entry point),
// detaching would end the whole namespace while the caller was told
// success: refused before anything changes, with what to do instead.
TEST(Start, AsTheFirstProcessOfAPidNamespaceIsRefused) {
  Options options = Target({PROBE_PATH, "REPORT_FD", "stay"});
  options.process_one = true;
  Supervised run(options);
  if (run.invoker_status() == kNoPidNamespace) GTEST_SKIP() << "no PID namespace can be made here";
  ExpectFailedStart(run, "",
                    "monitor cannot run as process 1 of a PID namespace: detaching would end every process in it; "
                    "start it under an init that stays in the foreground (see the operator's guide, Containers)\n");
}

struct InheritedCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  bool on_the_target;  // else on another file
  int fd;
  int flags;
  bool refused;
};

class InheritedDescriptor : public ::testing::TestWithParam<std::tuple<InheritedCase, bool>> {};

// A descriptor that monitor inherited, open for writing on the target's
// own file, would make every execve fail for as long as monitor runs:
// refused before detaching, naming the descriptor, with /proc or without.
// Reading the file, writing another, or writing it through standard output
// or error, which lead to /dev/null once detached, is no obstacle.
TEST_P(InheritedDescriptor, OpenForWritingOnTheTargetRefusesTheStart) {
  const InheritedCase c = std::get<0>(GetParam());
  ScratchDirectory scratch;
  const std::string program = scratch.path() + "/program";
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, program, 0755));
  const std::string other = WriteFile(scratch, "log", "a log\n", 0644);
  ASSERT_FALSE(other.empty());
  Options options = Target({program, "REPORT_FD", "stay"});
  // Many descriptors before the one that matters, beyond what one read of
  // the descriptor directory returns.
  for (int fd = 10; fd < 60; ++fd) options.inherited.push_back({fd, other, O_RDONLY});
  options.inherited.push_back({c.fd, c.on_the_target ? program : other, c.flags});
  options.without_proc = std::get<1>(GetParam());
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' run-time reads its options and the threads it checks
  // for leaks from /proc: without it, a supervisor built with them says so
  // on standard error and ends with its own status.
  if (options.without_proc && c.refused) GTEST_SKIP() << "a sanitized supervisor cannot end cleanly without /proc";
#endif
  Supervised run(options);
  if (run.invoker_status() == kNoMountNamespace) GTEST_SKIP() << "no mount namespace can be made here";
  if (c.refused) {
    ExpectFailedStart(run, "",
                      "exec error: " + program + ": held open for writing by descriptor " + std::to_string(c.fd) +
                          ", which monitor inherited: no process can execute it while that is open (close it before "
                          "starting monitor)\n");
  } else {
    ASSERT_EQ(run.invoker_status(), 0) << run.invoker_err();
    EXPECT_TRUE(run.NextReport()) << "the target did not run";
  }
}

// Standard error alone leads to the target: the file itself, or a directory
// of programs on descriptor 2. Detaching puts /dev/null there, so that path
// is refused as through descriptors 0 and 1. The refusal line goes to that
// file or directory, where no one reads it; the status tells.
TEST(Start, TargetReachedThroughStandardErrorAloneIsRefused) {
  ScratchDirectory scratch;
  const std::string program = scratch.path() + "/program";
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, program, 0755));
  const std::pair<std::string, std::string> through[] = {{"/dev/stderr", program},
                                                         {"/dev/fd/2/program", scratch.path()}};
  for (const auto& [path, on_standard_error] : through) {
    Options options = Target({path, "REPORT_FD", "stay"});
    options.inherited.push_back({STDERR_FILENO, on_standard_error, O_RDONLY});
    Supervised run(options);
    ExpectFailedStart(run, "", "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, InheritedDescriptor,
    ::testing::Combine(
        ::testing::Values(InheritedCase{"AppendingToTheTarget", true, 5, O_WRONLY | O_APPEND, true},
                          InheritedCase{"ReadingAndWritingTheTarget", true, 5, O_RDWR, true},
                          InheritedCase{"WritingTheTargetAfterManyOthers", true, 200, O_WRONLY, true},
                          // The first descriptor the scan can meet.
                          InheritedCase{"WritingTheTargetOnThree", true, 3, O_WRONLY, true},
                          InheritedCase{"ReadingTheTarget", true, 5, O_RDONLY, false},
                          InheritedCase{"WritingAnotherFile", false, 5, O_WRONLY | O_APPEND, false},
                          InheritedCase{"AppendingToTheTargetThroughOutput", true, 1, O_WRONLY | O_APPEND, false},
                          InheritedCase{"AppendingToTheTargetThroughError", true, 2, O_WRONLY | O_APPEND, false}),
        ::testing::Bool()),
    [](const auto& test) {
      return std::string(std::get<0>(test.param).name) + (std::get<1>(test.param) ? "WithoutProc" : "");
    });

// The stop that always works: after detaching, the supervisor leads a
// session and a process group of its own, the target is in that group, and
// SIGKILL to the group ends both at once, with no relaunch in between.
TEST(Stop, SigkillToTheProcessGroupEndsSupervisorAndTarget) {
  Supervised run(Target({PROBE_PATH, "REPORT_FD", "stay"}));
  auto target = run.NextReport();
  ASSERT_TRUE(target);
  const pid_t group = run.supervisor();
  ASSERT_GT(group, 1);
  EXPECT_EQ(getsid(group), group);
  ASSERT_EQ(getpgid(group), group);
  ASSERT_EQ(getpgid(target->pid), group);

  ASSERT_EQ(kill(-group, SIGKILL), 0);
  const auto supervisor_status = harness::WaitForExit(group);
  ASSERT_TRUE(supervisor_status);
  // Orphaned once the supervisor is gone, the target is now this
  // subreaper's child, alive or a zombie.
  const auto target_status = harness::WaitForExit(target->pid);
  ASSERT_TRUE(target_status);
  run.Forget();
  EXPECT_TRUE(WIFSIGNALED(*supervisor_status) && WTERMSIG(*supervisor_status) == SIGKILL) << *supervisor_status;
  EXPECT_TRUE(WIFSIGNALED(*target_status) && WTERMSIG(*target_status) == SIGKILL) << *target_status;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a relaunched target outlived the stop";
  EXPECT_TRUE(run.NoMoreLines());
}

struct NullCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  const char* stand_in;  // FILE: an empty regular file
  int error;             // the errno that the failure line reports
};

class NullDevice : public ::testing::TestWithParam<NullCase> {};

// /dev/null is missing or not the null device (a bare chroot, a
// bind-mounted file): detaching would fail after its fork, so it is refused
// before, where the caller still sees the failure.
TEST_P(NullDevice, MissingOrWrongFailsTheStartBeforeDetaching) {
  ScratchDirectory scratch;
  const NullCase c = GetParam();
  Options options = Target({PROBE_PATH, "REPORT_FD", "stay"});
  options.dev_null_stand_in =
      std::string(c.stand_in) == "FILE" ? WriteFile(scratch, "not-a-device", "", 0666) : c.stand_in;
  Supervised run(options);
  if (run.invoker_status() == kNoMountNamespace) GTEST_SKIP() << "no mount namespace can be made here";
  ExpectFailedStart(run, "111111111111111 " + std::to_string(c.error) + " - -1\n", "");
}

INSTANTIATE_TEST_SUITE_P(StandIns, NullDevice,
                         ::testing::Values(NullCase{"RegularFile", "FILE", ENODEV},
                                           NullCase{"AnotherDevice", "/dev/zero", ENODEV},
                                           NullCase{"Absent", "NONE", ENOENT}),
                         [](const auto& test) { return std::string(test.param.name); });

class TracedExec : public ::testing::TestWithParam<const char*> {};

// A target that makes the supervisor its tracer and then executes another
// program, by either system call: the program runs, under the same pid, and
// is supervised as usual.
TEST_P(TracedExec, TargetRunsTheNewProgram) {
  Supervised run(Target({PROBE_PATH, "REPORT_FD", GetParam()}));
  const auto traced = run.NextReport();
  if (run.last_line() == "traceme refused") GTEST_SKIP() << "PTRACE_TRACEME is refused here";
  ASSERT_TRUE(traced);
  auto executed = run.NextReport();
  ASSERT_TRUE(executed) << "the new program never ran";
  EXPECT_EQ(executed->pid, traced->pid);
  EXPECT_EQ(executed->argv.at(2), "stay");
  EXPECT_TRUE(run.Settled({executed->pid})) << "relaunched, or left stopped";
  EXPECT_EQ(proc::State(executed->pid), 'S');
  EXPECT_EQ(proc::ProcNumber(executed->pid, "status", "TracerPid:"), 0) << "let go, but still traced";
  EXPECT_TRUE(run.NoMoreLines());

  ASSERT_EQ(kill(executed->pid, SIGKILL), 0);
  auto relaunched = run.NextReport();
  ASSERT_TRUE(relaunched);
  EXPECT_NE(relaunched->pid, executed->pid);
}

INSTANTIATE_TEST_SUITE_P(Calls, TracedExec, ::testing::Values("traceme-exec", "traceme-fexec"), [](const auto& test) {
  return std::string(test.param == std::string("traceme-exec") ? "Execve" : "Execveat");
});

// Where a traced target executes another program: each a place where
// /proc cannot tell the supervisor where the new program's stack begins.
enum class TraceShape {
  // The supervisor is the first process of a PID namespace of its own,
  // while /proc numbers the caller's ("unshare --pid" without --fork).
  kProcOfAnotherPidNamespace,
  // No /proc at all, as in a bare chroot.
  kNoProc,
  // Root without CAP_SYS_PTRACE, the target run as another user: /proc
  // shows 0 as the start of that user's stack.
  kAnotherUserWithoutSysPtrace,
  // The same, the new program a set-user-ID copy: made undumpable at its
  // exec, so that not even its memory can be read.
  kSetUserIdCopyWithoutSysPtrace,
  // A supervisor that is not root, the new program execute-only: undumpable
  // too.
  kExecuteOnlyForAnUnprivilegedSupervisor,
};

struct TraceCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  TraceShape shape;
  const char* mode;  // the probe's traced mode
  bool executes;     // else it ends by its SIGTRAP and is relaunched
};

// The supervisor's options for a traced target in the given shape, its
// programs copied into scratch, which every user can reach; returns why
// this system cannot make the shape, or nothing.
std::string InTraceShape(const TraceCase& c, const ScratchDirectory& scratch, Options* options) {
  // Another user must reach the copies: every directory above them must let
  // others search it (TMPDIR may not).
  const bool another_user = c.shape == TraceShape::kAnotherUserWithoutSysPtrace ||
                            c.shape == TraceShape::kSetUserIdCopyWithoutSysPtrace ||
                            c.shape == TraceShape::kExecuteOnlyForAnUnprivilegedSupervisor;
  for (size_t slash = scratch.path().find('/', 1); another_user && slash != std::string::npos;
       slash = scratch.path().find('/', slash + 1)) {
    struct stat directory {};
    if (stat(scratch.path().substr(0, slash).c_str(), &directory) != 0 || (directory.st_mode & S_IXOTH) == 0) {
      return "another user cannot reach " + scratch.path();
    }
  }
  const std::string probe = scratch.path() + "/probe";
  if (chmod(scratch.path().c_str(), 0777) != 0 || !harness::CopyFile(PROBE_PATH, probe, 0755)) {
    return "the scratch directory cannot be made";
  }
  const std::string setpriv = "/usr/bin/setpriv";
  const std::vector<std::string> as_another_user{setpriv, "--reuid=" + std::to_string(kOtherUser),
                                                 "--regid=" + std::to_string(kOtherUser), "--clear-groups"};
  options->cwd = scratch.path();
  options->args = {probe, "REPORT_FD", c.mode};
  switch (c.shape) {
    case TraceShape::kProcOfAnotherPidNamespace:
      options->first_of_a_pid_namespace = true;
      return "";
    case TraceShape::kNoProc:
      options->without_proc = true;
      return "";
    case TraceShape::kSetUserIdCopyWithoutSysPtrace:
      if (!harness::CopyFile(PROBE_PATH, probe + "-setuid", 04755)) return "no set-user-ID copy can be made";
      options->args.push_back(probe + "-setuid");
      [[fallthrough]];
    case TraceShape::kAnotherUserWithoutSysPtrace:
      if (access(setpriv.c_str(), X_OK) != 0) return "no setpriv here";
      options->args.insert(options->args.begin(), as_another_user.begin(), as_another_user.end());
      options->without_sys_ptrace = true;
      return "";
    case TraceShape::kExecuteOnlyForAnUnprivilegedSupervisor:
      options->monitor = scratch.path() + "/monitor";
      if (chmod(probe.c_str(), 0711) != 0 || !harness::CopyFile(MONITOR_PATH, options->monitor, 0755)) {
        return "no execute-only copy can be made";
      }
      options->user = kOtherUser;
      return "";
  }
  return "no such shape";
}

class TracedExecWherever : public ::testing::TestWithParam<TraceCase> {};

// In each shape, a target that makes the supervisor its tracer and executes
// a program is started once, and the new program runs under the same pid;
// a target that ends by a SIGTRAP of its own is still relaunched. The pids
// that the probes report may be another namespace's, so the target is found
// as the supervisor's child.
TEST_P(TracedExecWherever, RunsTheNewProgramOnce) {
  if (getuid() != 0) GTEST_SKIP() << "needs root, to become another user";
  const TraceCase c = GetParam();
  ScratchDirectory scratch;
  Options options;
  const std::string skip = InTraceShape(c, scratch, &options);
  if (!skip.empty()) GTEST_SKIP() << skip;
  Supervised run(options);
  if (run.invoker_status() == kNoPidNamespace) GTEST_SKIP() << "no PID namespace can be made here";
  if (run.invoker_status() == kNoMountNamespace) GTEST_SKIP() << "no mount namespace can be made here";
  if (run.invoker_status() == kNoOtherUser) GTEST_SKIP() << "user " << kOtherUser << " cannot be become here";
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
  const auto traced = run.NextLine();
  if (traced == "traceme refused") GTEST_SKIP() << "PTRACE_TRACEME is refused here";
  ASSERT_TRUE(traced && traced->compare(0, 4, "pid=") == 0) << traced.value_or("(no line)");
  const auto next = run.NextLine();
  ASSERT_TRUE(next && next->compare(0, 4, "pid=") == 0) << next.value_or("(no line)");
  if (c.executes) {
    EXPECT_EQ(harness::ParseReport(*next).pid, harness::ParseReport(*traced).pid) << "started again, not executed";
    EXPECT_EQ(harness::ParseReport(*next).argv.at(2), "stay");
  } else {
    EXPECT_NE(harness::ParseReport(*next).pid, harness::ParseReport(*traced).pid) << "its SIGTRAP was dropped";
  }
  const pid_t target = OnlyChild(run.supervisor());
  ASSERT_GT(target, 1);
  EXPECT_TRUE(run.Settled({target})) << "relaunched, or left stopped";
  EXPECT_EQ(proc::State(target), 'S');
  // A relaunched target has made the supervisor its tracer again, and
  // stays traced until its first signal.
  if (c.executes) {
    EXPECT_EQ(proc::ProcNumber(target, "status", "TracerPid:"), 0) << "let go, but still traced";
  }
  EXPECT_TRUE(run.NoMoreLines()) << "started again";
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, TracedExecWherever,
    ::testing::Values(
        TraceCase{"ProcOfAnotherPidNamespace", TraceShape::kProcOfAnotherPidNamespace, "traceme-exec", true},
        TraceCase{"NoProc", TraceShape::kNoProc, "traceme-exec", true},
        TraceCase{"NoProcByExecveat", TraceShape::kNoProc, "traceme-fexec", true},
        TraceCase{"AnotherUserWithoutSysPtrace", TraceShape::kAnotherUserWithoutSysPtrace, "traceme-exec", true},
        TraceCase{"SetUserIdCopyWithoutSysPtrace", TraceShape::kSetUserIdCopyWithoutSysPtrace, "traceme-exec", true},
        TraceCase{"ExecuteOnlyForAnUnprivilegedSupervisor", TraceShape::kExecuteOnlyForAnUnprivilegedSupervisor,
                  "traceme-exec", true},
        // What the stack start told apart before must still be told apart
        // where it cannot be read: a trap the target sends itself, and one
        // it raises, end it.
        TraceCase{"NoProcTrapSentByItself", TraceShape::kNoProc, "traceme-selftrap", false},
        TraceCase{"AnotherUserTrapSentByItself", TraceShape::kAnotherUserWithoutSysPtrace, "traceme-selftrap", false},
        TraceCase{"ProcOfAnotherPidNamespaceTrapSentByItself", TraceShape::kProcOfAnotherPidNamespace,
                  "traceme-selftrap", false},
        TraceCase{"ExecuteOnlyBreakpoint", TraceShape::kExecuteOnlyForAnUnprivilegedSupervisor, "traceme-breakpoint",
                  false},
        TraceCase{"ExecuteOnlyRaisedTrap", TraceShape::kExecuteOnlyForAnUnprivilegedSupervisor, "traceme-trap", false}),
    [](const auto& test) { return std::string(test.param.name); });

// A program of the other word size than this build's, made here so that no
// second toolchain is needed: an ELF file with one segment, the whole file,
// loaded at base with its code after the headers.
std::string OneSegmentElf(bool sixty_four, uint16_t machine, uint32_t flags, const std::vector<unsigned char>& code) {
  const uint64_t base = sixty_four ? 0x400000 : 0x8048000;
  const uint64_t headers = sixty_four ? 64 + 56 : 52 + 32;
  const uint64_t size = headers + code.size();
  std::string elf(
      "\x7f"
      "ELF",
      4);
  elf += static_cast<char>(sixty_four ? 2 : 1);  // class
  elf += '\1';                                   // little-endian
  elf += '\1';                                   // version
  elf.append(9, '\0');
  auto put = [&elf](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) elf += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  const int word = sixty_four ? 8 : 4;
  // ELF header: an executable, entry after the headers, one program header.
  put(2, 2);
  put(machine, 2);
  put(1, 4);
  put(base + headers, word);
  put(sixty_four ? 64 : 52, word);  // program headers' offset
  put(0, word);                     // no section headers
  put(flags, 4);
  for (const uint64_t half : {sixty_four ? 64U : 52U, sixty_four ? 56U : 32U, 1U, 0U, 0U, 0U}) put(half, 2);
  // One loadable, readable and executable segment: the whole file.
  if (sixty_four) {
    for (const uint64_t value : {1U, 5U}) put(value, 4);
    for (const uint64_t value : {uint64_t{0}, base, base, size, size, uint64_t{0x1000}}) put(value, 8);
  } else {
    for (const uint64_t value : {uint64_t{1}, uint64_t{0}, base, base, size, size, uint64_t{5}, uint64_t{0x1000}}) {
      put(value, 4);
    }
  }
  elf.append(code.begin(), code.end());
  return elf;
}

// A program of the other word size: given no argument it waits for ever;
// given some, it makes its parent its tracer and executes its argument 1
// with the rest (pause; ptrace, execve, exit 127). Empty where none is made.
std::string OtherWordSizeTraceMeThenExec() {
#if defined(__x86_64__)
  // i386, through int 0x80.
  return OneSegmentElf(
      false, 3, 0, {0x8b, 0x04, 0x24, 0x83, 0xf8, 0x01, 0x75, 0x09, 0xb8, 0x1d, 0,    0,    0,    0xcd, 0x80, 0xeb,
                    0xf7, 0xb8, 0x1a, 0,    0,    0,    0x31, 0xdb, 0x31, 0xc9, 0x31, 0xd2, 0x31, 0xf6, 0xcd, 0x80,
                    0x8b, 0x04, 0x24, 0x8d, 0x54, 0x84, 0x08, 0x8d, 0x4c, 0x24, 0x08, 0x8b, 0x19, 0xb8, 0x0b, 0,
                    0,    0,    0xcd, 0x80, 0xb8, 0x01, 0,    0,    0,    0xbb, 0x7f, 0,    0,    0,    0xcd, 0x80});
#elif defined(__i386__)
  // x86-64, through syscall.
  return OneSegmentElf(
      true, 62, 0,
      {0x48, 0x8b, 0x04, 0x24, 0x48, 0x83, 0xf8, 0x01, 0x75, 0x09, 0xb8, 0x22, 0x00, 0x00, 0x00, 0x0f, 0x05, 0xeb,
       0xf7, 0xb8, 0x65, 0x00, 0x00, 0x00, 0x31, 0xff, 0x31, 0xf6, 0x31, 0xd2, 0x45, 0x31, 0xd2, 0x0f, 0x05, 0x48,
       0x8b, 0x04, 0x24, 0x48, 0x8d, 0x54, 0xc4, 0x10, 0x48, 0x8d, 0x74, 0x24, 0x10, 0x48, 0x8b, 0x3e, 0xb8, 0x3b,
       0x00, 0x00, 0x00, 0x0f, 0x05, 0xb8, 0x3c, 0x00, 0x00, 0x00, 0xbf, 0x7f, 0x00, 0x00, 0x00, 0x0f, 0x05});
#elif defined(__aarch64__)
  // 32-bit ARM (EABI 5), through svc.
  return OneSegmentElf(
      false, 40, 0x05000000,
      {0x00, 0x00, 0x9d, 0xe5, 0x01, 0x00, 0x50, 0xe3, 0x02, 0x00, 0x00, 0x1a, 0x1d, 0x70, 0xa0, 0xe3, 0x00, 0x00,
       0x00, 0xef, 0xfc, 0xff, 0xff, 0xea, 0x1a, 0x70, 0xa0, 0xe3, 0x00, 0x00, 0xa0, 0xe3, 0x00, 0x10, 0xa0, 0xe3,
       0x00, 0x20, 0xa0, 0xe3, 0x00, 0x30, 0xa0, 0xe3, 0x00, 0x00, 0x00, 0xef, 0x00, 0x30, 0x9d, 0xe5, 0x08, 0x10,
       0x8d, 0xe2, 0x00, 0x00, 0x91, 0xe5, 0x03, 0x21, 0x8d, 0xe0, 0x08, 0x20, 0x82, 0xe2, 0x0b, 0x70, 0xa0, 0xe3,
       0x00, 0x00, 0x00, 0xef, 0x7f, 0x00, 0xa0, 0xe3, 0x01, 0x70, 0xa0, 0xe3, 0x00, 0x00, 0x00, 0xef});
#else
  return "";
#endif
}

class OtherWordSize : public ::testing::TestWithParam<bool> {};

// A target of the other word size that makes the supervisor its tracer and
// executes a program of its own kind: its execve has another number than
// this build's, and the trap that follows must be dropped all the same, or
// the new program dies of it and is relaunched for ever. Without /proc the
// new program's stack is read in its own word size; it has no loader, so
// the kernel starts it at its own entry.
TEST_P(OtherWordSize, TracedTargetThatExecutesRunsTheNewProgram) {
  const std::string program = OtherWordSizeTraceMeThenExec();
  if (program.empty()) GTEST_SKIP() << "no program of the other word size is made for this architecture";
  ScratchDirectory scratch;
  const std::string stub = scratch.path() + "/traceme-exec-other";
  {
    std::ofstream file(stub, std::ios::binary);
    file << program;
  }
  ASSERT_EQ(chmod(stub.c_str(), 0755), 0);
  // Where the kernel does not run that word size execve refuses the file
  // (126); where it does, the program runs, cannot execute a missing file
  // and leaves with 127.
  const pid_t trial = fork();
  if (trial == 0) {
    char* argv[] = {const_cast<char*>(stub.c_str()), const_cast<char*>("/nonexistent"), nullptr};
    execve(stub.c_str(), argv, environ);
    _exit(126);
  }
  ASSERT_GT(trial, 0);
  const auto trial_status = harness::WaitForExit(trial);
  ASSERT_TRUE(trial_status);
  if (*trial_status == 126 << 8) GTEST_SKIP() << "this kernel runs no programs of the other word size";
  ASSERT_EQ(*trial_status, 127 << 8);

  Options options = Target({stub, stub});
  options.without_proc = GetParam();
  Supervised run(options);
  if (run.invoker_status() == kNoMountNamespace) GTEST_SKIP() << "no mount namespace can be made here";
  // The target reports nothing: ended here, after the supervisor, along
  // with whatever it left.
  struct EndTargets {
    pid_t supervisor;
    ~EndTargets() {
      proc::KillStarted(supervisor);
      // Its children are this process's once it is a zombie.
      const long long give_up = harness::NowMs() + harness::kDeadlineMs;
      while (supervisor > 1 && proc::State(supervisor) != 'Z' && harness::NowMs() < give_up) proc::SleepUs(5000);
      for (const pid_t child : ChildrenOf(getpid())) proc::KillStarted(child);
    }
  } end{run.supervisor()};
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
  const pid_t target = OnlyChild(run.supervisor());
  ASSERT_GT(target, 1);
  EXPECT_TRUE(run.Settled({target})) << "relaunched, or left stopped";
  EXPECT_EQ(proc::State(target), 'S');
}

INSTANTIATE_TEST_SUITE_P(Traced, OtherWordSize, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "WithoutProc" : "WithProc"; });

struct TracedThreadCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  // cppcheck-suppress unusedStructMember ; read through GetParam()
  const char* mode;
  // cppcheck-suppress unusedStructMember ; read through GetParam()
  int kill_with;  // sent to the target once it runs, or 0
};

class TracedThread : public ::testing::TestWithParam<TracedThreadCase> {};

// A target whose second thread made the supervisor its tracer: the thread's
// crash must reach the target instead of freezing that thread in a stop,
// and a kill must leave no thread behind as a zombie; either way the target
// is relaunched, and nothing of the old one is left under the supervisor.
TEST_P(TracedThread, LetsTheTargetEndAndBeRelaunched) {
  ScratchDirectory scratch;
  Supervised run(Target({PROBE_PATH, "REPORT_FD", GetParam().mode}, scratch.path()));
  const auto first = run.NextReport();
  if (run.last_line() == "traceme refused") GTEST_SKIP() << "PTRACE_TRACEME is refused here";
  ASSERT_TRUE(first);
  if (GetParam().kill_with != 0) {
    ASSERT_EQ(kill(first->pid, GetParam().kill_with), 0);
  }
  const auto second = run.NextReport();
  ASSERT_TRUE(second) << "the target was not relaunched";
  EXPECT_NE(second->pid, first->pid);
  EXPECT_EQ(second->ppid, first->ppid);
  EXPECT_TRUE(run.Settled({second->pid}));
}

INSTANTIATE_TEST_SUITE_P(Ends, TracedThread,
                         ::testing::Values(TracedThreadCase{"Crashes", "thread-traceme-crash", 0},
                                           TracedThreadCase{"IsKilled", "thread-traceme", SIGKILL}),
                         [](const auto& test) { return std::string(test.param.name); });

// A traced target's child created with CLONE_PTRACE is traced by the
// supervisor too, and starts stopped: let go, it runs.
class ClonePtrace : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

TEST_P(ClonePtrace, ChildRuns) {
  // Named so that the command name in /proc/TID/stat holds ") " and a
  // space: a parser counting fields from the first ')' reads the field
  // before the pending set, which is always 0 here, and lets the child go
  // too early.
  ScratchDirectory scratch;
  const std::string program = scratch.path() + "/p) q";
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, program, 0755));
  // Without /proc, nothing says whether its stop is still to come: it is
  // kept traced until that stop.
  Options options = Target({program, "REPORT_FD", std::get<0>(GetParam())});
  options.without_proc = std::get<1>(GetParam());
  Supervised run(options);
  if (run.invoker_status() == kNoMountNamespace) GTEST_SKIP() << "no mount namespace can be made here";
  const auto target = run.NextReport();
  if (run.last_line() == "traceme refused") GTEST_SKIP() << "PTRACE_TRACEME is refused here";
  ASSERT_TRUE(target);
  // A child left stopped would outlive the target: ended here with it.
  struct EndChildren {
    pid_t parent;
    ~EndChildren() {
      for (const pid_t child : ChildrenOf(parent)) proc::KillStarted(child);
    }
  } end{target->pid};
  EXPECT_EQ(run.NextLine(), "clone ran") << "the child stayed stopped";
  EXPECT_TRUE(run.Settled({target->pid}));
}

// The child may take a signal of its own before the stop it was created
// with: that stop must not be left pending once it is let go.
INSTANTIATE_TEST_SUITE_P(Traced, ClonePtrace,
                         ::testing::Combine(::testing::Values("traceme-clone", "traceme-clone-signalled"),
                                            ::testing::Bool()),
                         [](const auto& test) {
                           return std::string(std::get<0>(test.param) == std::string("traceme-clone")
                                                  ? "Plain"
                                                  : "SignalledBeforeItsFirstStop") +
                                  (std::get<1>(test.param) ? "WithoutProc" : "");
                         });

// Waits until a process is in the given state (as /proc shows it); false
// once the deadline has passed.
bool ReachesState(pid_t pid, char state) {
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  while (proc::State(pid) != state) {
    if (harness::NowMs() > give_up) return false;
    proc::SleepUs(10000);
  }
  return true;
}

// Every stop of a tracee has the supervisor read /proc; across many, it
// holds no more descriptors than it started with.
TEST(Traced, StopsLeaveNoDescriptorOpen) {
  Supervised run(Target({PROBE_PATH, "REPORT_FD", "traceme-stay"}));
  auto target = run.NextReport();
  if (run.last_line() == "traceme refused") GTEST_SKIP() << "PTRACE_TRACEME is refused here";
  ASSERT_TRUE(target);
  ASSERT_TRUE(run.Settled({target->pid}));
  const size_t held = Descriptors(run.supervisor()).size();
  for (int round = 0; round < 5; ++round) {
    // A SIGTRAP sent by another process: stopped, told from the exec's
    // trap by reading the tracee's state, handed back, and relaunched.
    ASSERT_EQ(kill(target->pid, SIGTRAP), 0);
    target = run.NextReport();
    ASSERT_TRUE(target) << "not relaunched in round " << round;
  }
  ASSERT_TRUE(run.Settled({target->pid}));
  EXPECT_EQ(Descriptors(run.supervisor()).size(), held);
}

// A SIGSTOP that another process sends a traced target is the target's
// own: let go with it, the target stops as it would untraced, and nothing
// traces it any more.
TEST(Traced, StopSentByAnotherProcessStopsTheTarget) {
  Supervised run(Target({PROBE_PATH, "REPORT_FD", "traceme-stay"}));
  const auto target = run.NextReport();
  if (run.last_line() == "traceme refused") GTEST_SKIP() << "PTRACE_TRACEME is refused here";
  ASSERT_TRUE(target);
  ASSERT_EQ(kill(target->pid, SIGSTOP), 0);
  EXPECT_TRUE(ReachesState(target->pid, 'T')) << "the stop was dropped";
  EXPECT_EQ(proc::ProcNumber(target->pid, "status", "TracerPid:"), 0);
  ASSERT_EQ(kill(target->pid, SIGCONT), 0);
  EXPECT_TRUE(ReachesState(target->pid, 'S'));
}

// A supervisor started as the first process of a PID namespace of its
// own, its target in the given traced mode.
Options TracedInAPidNamespace(const char* mode) {
  Options options = Target({PROBE_PATH, "REPORT_FD", mode});
  options.first_of_a_pid_namespace = true;
  return options;
}

// The target of such a run, in *target by the pid this test sees (the
// probe reports the namespace's own), -1 when it did not start; returns
// why this system cannot run the test, or nothing.
std::string TracedTargetInItsNamespace(Supervised& run, pid_t* target) {
  *target = -1;
  if (run.invoker_status() == kNoPidNamespace) return "no PID namespace can be made here";
  const auto first = run.NextLine();
  if (first == "traceme refused") return "PTRACE_TRACEME is refused here";
  const auto children = ChildrenOf(run.supervisor());
  if (first && first->compare(0, 4, "pid=") == 0 && children.size() == 1) *target = children[0];
  return "";
}

// Killed from outside its PID namespace (the supervisor is the first
// process of one), a traced target sees no sender; the signal is still its
// own, and the end is relaunched. The probes' pids are the namespace's own,
// so the target is found as the supervisor's child, and only lines are read.
TEST(Traced, KilledFromOutsideItsPidNamespaceIsRelaunched) {
  Supervised run(TracedInAPidNamespace("traceme-stay"));
  pid_t target = -1;
  const std::string skip = TracedTargetInItsNamespace(run, &target);
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_GT(target, 1) << "the traced target did not start";
  ASSERT_EQ(kill(target, SIGSEGV), 0);
  const auto second = run.NextLine();
  EXPECT_TRUE(second && second->compare(0, 4, "pid=") == 0) << "not relaunched: " << second.value_or("(no line)");
}

// The same for a traced thread of the target: a SIGSTOP sent to it by
// another process has a sender, so it is not the stop a CLONE_PTRACE child
// starts with; handed back, it stops the whole target.
TEST(Traced, StopSentToATracedThreadStopsTheTarget) {
  Supervised run(Target({PROBE_PATH, "REPORT_FD", "thread-traceme"}));
  const auto target = run.NextReport();
  if (run.last_line() == "traceme refused") GTEST_SKIP() << "PTRACE_TRACEME is refused here";
  ASSERT_TRUE(target);
  pid_t traced_thread = -1;
  for (const pid_t thread : ThreadsOf(target->pid)) {
    if (thread != target->pid) traced_thread = thread;
  }
  ASSERT_GT(traced_thread, 1);
  ASSERT_EQ(syscall(SYS_tgkill, target->pid, traced_thread, SIGSTOP), 0);
  EXPECT_TRUE(ReachesState(target->pid, 'T')) << "the stop was dropped";
  ASSERT_EQ(kill(target->pid, SIGCONT), 0);
  EXPECT_TRUE(ReachesState(target->pid, 'S'));
}

// A SIGSTOP sent from an ancestor PID namespace has no sender that the
// target's namespace can name. The target itself never starts with the
// stop of CLONE_PTRACE, so the stop is its own: it stops.
TEST(Traced, StopSentFromOutsideItsPidNamespaceStopsTheTarget) {
  Supervised run(TracedInAPidNamespace("traceme-stay"));
  pid_t target = -1;
  const std::string skip = TracedTargetInItsNamespace(run, &target);
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_GT(target, 1) << "the traced target did not start";
  ASSERT_EQ(kill(target, SIGSTOP), 0);
  EXPECT_TRUE(ReachesState(target, 'T')) << "the stop was dropped";
  EXPECT_EQ(proc::ProcNumber(target, "status", "TracerPid:"), 0);
  ASSERT_EQ(kill(target, SIGCONT), 0);
  EXPECT_TRUE(ReachesState(target, 'S'));
}

// The same for a traced thread of the target: a signal sent to it from an
// ancestor PID namespace has no sender it can name, and is still its own,
// not the stop a CLONE_PTRACE child starts with. SIGUSR1 ends the target.
TEST(Traced, ThreadSignalledFromOutsideItsPidNamespaceEndsTheTarget) {
  Supervised run(TracedInAPidNamespace("thread-traceme"));
  pid_t target = -1;
  const std::string skip = TracedTargetInItsNamespace(run, &target);
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_GT(target, 1) << "the traced target did not start";
  pid_t traced_thread = -1;
  for (const pid_t thread : ThreadsOf(target)) {
    if (thread != target) traced_thread = thread;
  }
  ASSERT_GT(traced_thread, 1);
  ASSERT_EQ(syscall(SYS_tgkill, target, traced_thread, SIGUSR1), 0);
  const auto second = run.NextLine();
  EXPECT_TRUE(second && second->compare(0, 4, "pid=") == 0) << "not relaunched: " << second.value_or("(no line)");
}

// A child that the target made the supervisor's own with CLONE_PARENT is
// reaped when it ends, and launches nothing.
TEST(Stray, ChildOfTheSupervisorIsReaped) {
  Supervised run(Target({PROBE_PATH, "REPORT_FD", "clone-parent"}));
  const auto target = run.NextReport();
  ASSERT_TRUE(target);
  EXPECT_TRUE(run.Settled({target->pid})) << "a zombie was left under the supervisor";
  EXPECT_TRUE(run.NoMoreLines());
}

// As the first process of a PID namespace, the supervisor inherits every
// orphan of the target, and must reap them. The pids that the probes
// report are the namespace's own, so the supervisor's children are judged
// by count and state only.
TEST(Stray, OrphansOfTheTargetAreReapedByAFirstProcess) {
  ScratchDirectory scratch;
  const std::string probe = PROBE_PATH;
  const std::string script =
      WriteFile(scratch, "leaves-an-orphan",
                ("#!/bin/sh\n(" + probe + " 9 orphan &)\nexec " + probe + " 9 stay\n").c_str(), 0755);
  Options options = Target({script});
  options.first_of_a_pid_namespace = true;
  Supervised run(options);
  if (run.invoker_status() == kNoPidNamespace) GTEST_SKIP() << "no PID namespace can be made here";
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
  // Both probes have reported once two lines have come, in either order;
  // the orphan reports once it is the supervisor's, and then exits.
  ASSERT_TRUE(run.NextLine());
  ASSERT_TRUE(run.NextLine());
  const pid_t target = OnlyChild(run.supervisor());
  ASSERT_GT(target, 1) << "the orphan was left a zombie";
  EXPECT_TRUE(IsRunning(target));
}

// The name a process was given, or what it last executed.
std::string CommandName(pid_t pid) {
  char name[64];
  if (!proc::ReadProcFile(pid, "comm", name, sizeof name)) return "";
  std::string text = name;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// What a test opened and started beyond the supervised run itself.
struct Leftovers {
  int fd = -1;
  pid_t pid = -1;
  ~Leftovers() {
    if (fd >= 0) close(fd);
    proc::KillStarted(pid);
  }
};

// An exec that fails only for a moment (here: the target's file is open for
// writing, ETXTBSY, as while a new version is copied in place) is tried
// again by the forked process, about once a second (counted through the
// interposed execve), until it succeeds; the target is not lost, and
// nothing runs it in between.
TEST(Relaunch, WaitsOutAnExecThatFailsForAMoment) {
  ScratchDirectory scratch;
  const std::string program = scratch.path() + "/program";
  const std::string tries = scratch.path() + "/tries";
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, program, 0755));
  // Declared first, so that it is ended last: killed before the supervisor,
  // the target would be relaunched, out of the test's sight.
  Leftovers left;
  Supervised run(Interposed(Target({program, "REPORT_FD", "stay"}, scratch.path()), CountingExecOf(program, tries)));
  const auto first = run.NextReport();
  ASSERT_TRUE(first);

  // With the supervisor stopped, the killed target lets go of its file
  // before the relaunch, and the file can be opened for writing.
  ASSERT_EQ(kill(run.supervisor(), SIGSTOP), 0);
  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  while ((left.fd = open(program.c_str(), O_WRONLY | O_CLOEXEC)) < 0 && errno == ETXTBSY &&
         harness::NowMs() < give_up) {
    proc::SleepUs(10000);
  }
  ASSERT_GE(left.fd, 0) << strerror(errno);
  ASSERT_EQ(kill(run.supervisor(), SIGCONT), 0);

  left.pid = OnlyChild(run.supervisor(), first->pid);
  ASSERT_GT(left.pid, 1);
  const long long tries_before = ExecTries(tries);
  // Two retries' time: the forked process is still a copy of the
  // supervisor, alive, and has run nothing.
  const long long ticks_before = proc::CpuTicks(left.pid);
  proc::SleepUs(2500000);
  // Retries that do not pause would keep a processor busy all that time.
  EXPECT_LT(proc::CpuTicks(left.pid) - ticks_before, sysconf(_SC_CLK_TCK) / 2) << "retried without pausing";
  // Two or three tries in 2.5 s at one a second; a retry every few seconds
  // makes at most one.
  const long long retries = ExecTries(tries) - tries_before;
  EXPECT_GE(retries, 2) << "not tried again about once a second";
  EXPECT_LE(retries, 4) << "tried again more than once a second";
  EXPECT_EQ(ChildrenOf(run.supervisor()), std::vector<pid_t>{left.pid});
  EXPECT_TRUE(IsRunning(left.pid));
  EXPECT_EQ(CommandName(left.pid), "monitor");
  EXPECT_TRUE(run.NoMoreLines());

  ASSERT_EQ(close(left.fd), 0);
  left.fd = -1;
  const auto second = run.NextReport();
  ASSERT_TRUE(second) << "the target was not launched once its file was closed";
  EXPECT_EQ(second->pid, left.pid);
  // The target is the supervised run's to end now.
  left.pid = -1;  // cppcheck-suppress unreadVariable ; read when left is destroyed
}

// Real servers. Ends the whole process group of a supervisor that the test
// started, leftovers of its targets included, when it goes out of scope.
class GroupGuard {
 public:
  explicit GroupGuard(pid_t group) : group_(group) {}
  ~GroupGuard() {
    if (group_ > 1) kill(-group_, SIGKILL);
  }
  GroupGuard(const GroupGuard&) = delete;
  GroupGuard& operator=(const GroupGuard&) = delete;

 private:
  pid_t group_;
};

// The pid that the process holding the abstract socket NAME answers with,
// or -1 when nothing holds it.
pid_t Holder(const std::string& name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() + 2 > sizeof address.sun_path) return -1;
  name.copy(address.sun_path + 1, name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  const int connection = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connection < 0) return -1;
  pid_t holder = -1;
  if (connect(connection, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    harness::LineReader reader(connection);
    const auto line = reader.Next();
    if (line) holder = static_cast<pid_t>(std::stol(*line));
  }
  close(connection);
  return holder;
}

// The pid in a probe's line "worker=PID", or -1.
pid_t WorkerIn(const std::optional<std::string>& line) {
  const std::string prefix = "worker=";
  if (!line || line->compare(0, prefix.size(), prefix) != 0) return -1;
  return static_cast<pid_t>(std::stol(line->substr(prefix.size())));
}

class ServerWithWorkers : public ::testing::TestWithParam<bool> {};

// A server whose main process dies while its worker holds the listening
// socket. Started directly, the relaunch cannot bind, exits 1 and is left
// down while the old worker serves on, unsupervised. Started through the
// wrapper that ends its process group's leftovers first, the old worker is
// gone and the new instance holds the socket.
TEST_P(ServerWithWorkers, MainProcessKilled) {
  const bool wrapped = GetParam();
  ScratchDirectory scratch;
  const std::string socket_name = scratch.path() + "/socket";
  const std::string wrapper =
      WriteFile(scratch, "wrapper",
                ("#!/bin/sh\npkill -KILL -g 0 -x probe\nexec " + std::string(PROBE_PATH) + " \"$@\"\n").c_str(), 0755);
  ASSERT_FALSE(wrapper.empty());
  Supervised run(Target({wrapped ? wrapper : PROBE_PATH, "REPORT_FD", "listen", socket_name}, scratch.path()));
  GroupGuard leftovers(run.supervisor());
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
  const auto first = run.NextReport();
  ASSERT_TRUE(first);
  const pid_t old_worker = WorkerIn(run.NextLine());
  ASSERT_GT(old_worker, 1);
  ASSERT_EQ(Holder(socket_name), old_worker);

  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  const auto relaunched = run.NextReport();
  ASSERT_TRUE(relaunched) << "no relaunch";
  EXPECT_NE(relaunched->pid, first->pid);
  if (!wrapped) {
    EXPECT_EQ(run.NextLine(), "bind refused");
    // Orphaned, the worker became the supervisor's child, where the next
    // instance can find it; the relaunch that could not bind was left down.
    EXPECT_TRUE(run.Settled({old_worker})) << "the worker was not adopted, or the relaunch not left down";
    EXPECT_EQ(Holder(socket_name), old_worker);
    EXPECT_TRUE(IsRunning(old_worker));
    return;
  }
  const auto line = run.NextLine();
  const pid_t new_worker = WorkerIn(line);
  ASSERT_GT(new_worker, 1) << "the relaunch could not bind: " << line.value_or("(no line)");
  EXPECT_NE(new_worker, old_worker);
  EXPECT_EQ(Holder(socket_name), new_worker);
  // The orphaned worker became the supervisor's child when its parent
  // died, and the supervisor collected it once the wrapper had ended it:
  // it is gone, not a zombie waiting for this process.
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  while (proc::State(old_worker) != '?' && harness::NowMs() < give_up) proc::SleepUs(2000);
  EXPECT_EQ(proc::State(old_worker), '?') << "the old worker outlived the relaunch, or was left a zombie";
  EXPECT_TRUE(run.Settled({relaunched->pid}));
}

INSTANTIATE_TEST_SUITE_P(Started, ServerWithWorkers, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "ThroughTheWrapper" : "Directly"; });

// A target's pending signals shared by all its threads, as /proc shows them.
std::string SharedPending(pid_t pid) {
  char text[4096];
  if (!proc::ReadProcFile(pid, "status", text, sizeof text)) return "?";
  const char* field = strstr(text, "ShdPnd:");
  if (field == nullptr) return "?";
  field += strlen("ShdPnd:");
  while (*field == ' ' || *field == '\t') ++field;
  return std::string(field, strcspn(field, "\n"));
}

// True once every child of pid is a zombie, and there are count of them.
bool ZombieChildren(pid_t pid, size_t count) {
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  while (harness::NowMs() < give_up) {
    const auto children = ChildrenOf(pid);
    size_t zombies = 0;
    for (const pid_t child : children) zombies += proc::State(child) == 'Z' ? 1 : 0;
    if (children.size() == count && zombies == count) return true;
    proc::SleepUs(20000);
  }
  return false;
}

class SignalReset : public ::testing::TestWithParam<bool> {};

// A program written for an ordinary start, with SIGTERM and SIGCHLD
// handlers. Started directly, it inherits the six watched signals blocked:
// its children stay zombies and SIGTERM stays pending. Started through
// `env --default-signal`, its handlers run: the children are reaped, and
// SIGTERM reaches its handler, which exits 0, so the target is left down.
TEST_P(SignalReset, HandlersOfAProgramWrittenForAnOrdinaryStart) {
  const bool reset = GetParam();
  std::vector<std::string> args{PROBE_PATH, "REPORT_FD", "handlers"};
  if (reset) args.insert(args.begin(), {"/usr/bin/env", "--default-signal"});
  Supervised run(Target(args));
  GroupGuard leftovers(run.supervisor());
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
  const auto probe = run.NextReport();
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->sigblk, reset ? "0000000000000000" : kWatchedSet);
  ASSERT_EQ(run.NextLine(), "forked");
  if (!reset) {
    EXPECT_TRUE(ZombieChildren(probe->pid, 3));
    ASSERT_EQ(kill(probe->pid, SIGTERM), 0);
    // SIGTERM and the SIGCHLD of its children, both still pending.
    EXPECT_EQ(SharedPending(probe->pid), "0000000000014000");
    EXPECT_TRUE(IsRunning(probe->pid));
    return;
  }
  EXPECT_TRUE(ZombieChildren(probe->pid, 0)) << "its children were not reaped";
  ASSERT_EQ(kill(probe->pid, SIGTERM), 0);
  EXPECT_EQ(run.NextLine(), "sigterm");
  EXPECT_TRUE(run.Settled()) << "a target that exited 0 on SIGTERM was not left down";
}

INSTANTIATE_TEST_SUITE_P(Started, SignalReset, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "ThroughEnvDefaultSignal" : "Directly"; });

// A build that crash-loops: says "crash" on the report descriptor, then
// dies of a signal, about 20 times a second.
std::string CrashLoopingBuild(const ScratchDirectory& scratch) {
  return WriteFile(scratch, "server", "#!/bin/sh\necho crash >&$1\nsleep 0.05\nkill -KILL $$\n", 0755);
}

// The next line that is not the crash-looping build's, or nothing.
std::optional<std::string> NextLineOfTheNewBuild(Supervised& run) {
  for (;;) {
    auto line = run.NextLine();
    if (!line || *line != "crash") return line;
  }
}

// The forked copy of the supervisor that tries an exec again (it has not
// executed anything, so it is still named monitor), once there is one; -1
// if none comes within the deadline.
pid_t CopyTryingAgain(pid_t supervisor) {
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  while (harness::NowMs() < give_up) {
    for (const pid_t child : ChildrenOf(supervisor)) {
      if (CommandName(child) == "monitor") return child;
    }
    proc::SleepUs(5000);
  }
  return -1;
}

// Gives a copy that waits out a deploy the time of one pause and more,
// 700 ms, to see that its supervisor has gone; returns as soon as it has
// ended. The copy asks right before each try, but a copy that was between
// the question and execve when the supervisor died (a machine under load
// may hold it there for a while) tries once more, and a new build
// installed meanwhile would start: the new build comes only after this,
// while the copy would still have most of its 2 s grace left.
void AwaitAPauseOfTheCopy(pid_t copy) {
  const long long until = harness::NowMs() + 700;
  while (IsRunning(copy) && harness::NowMs() < until) proc::SleepUs(5000);
}

// Removes the crash-looping build once it has started, and returns the
// forked copy that then tries to execute it again; -1 if any of that did
// not happen.
pid_t RemoveTheBuild(Supervised& run, const std::string& server) {
  if (run.NextLine() != "crash" || unlink(server.c_str()) != 0) return -1;
  return CopyTryingAgain(run.supervisor());
}

// A new build deployed over a crash-looping one the way install does it:
// remove the file, create it without execute permission, write it, and
// only then make it executable. Relaunches that fall in those windows keep
// trying for a short grace, so the new build runs; each window here is held
// far longer than the ~50 ms between two relaunches.
TEST(Relaunch, DeployReplacingTheFileInPlaceBringsUpTheNewBuild) {
  ScratchDirectory scratch;
  const std::string server = CrashLoopingBuild(scratch);
  Supervised run(Target({server, "REPORT_FD", "stay"}, scratch.path()));
  GroupGuard group(run.supervisor());
  ASSERT_EQ(run.NextLine(), "crash");
  ASSERT_EQ(run.NextLine(), "crash") << "not relaunched";

  ASSERT_EQ(unlink(server.c_str()), 0);
  proc::SleepUs(250000);
  const int fd = open(server.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << strerror(errno);
  {
    std::ifstream build(PROBE_PATH, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(build)), std::istreambuf_iterator<char>());
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  ASSERT_EQ(close(fd), 0);
  proc::SleepUs(250000);
  ASSERT_EQ(chmod(server.c_str(), 0755), 0);

  const auto line = NextLineOfTheNewBuild(run);
  ASSERT_TRUE(line && line->compare(0, 4, "pid=") == 0)
      << "the new build is not running: " << line.value_or("(no line)");
  EXPECT_EQ(harness::ParseReport(*line).ppid, run.supervisor());
}

// A target file that stays missing is not waited for beyond the grace: the
// relaunch gives up, and the supervisor stays with no target.
TEST(Relaunch, TargetThatStaysMissingIsLeftDownAfterTheGrace) {
  ScratchDirectory scratch;
  const std::string server = CrashLoopingBuild(scratch);
  Supervised run(Target({server, "REPORT_FD", "stay"}, scratch.path()));
  GroupGuard group(run.supervisor());
  // The relaunch waits out the grace in a forked copy of the supervisor,
  // pausing between its tries rather than spinning.
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  const pid_t waiting = RemoveTheBuild(run, server);
  ASSERT_GT(waiting, 1) << "no relaunch tried the missing file";
  const long long seen = harness::NowMs();
  const long long ticks_before = proc::CpuTicks(waiting);
  proc::SleepUs(500000);
  EXPECT_LT(proc::CpuTicks(waiting) - ticks_before, sysconf(_SC_CLK_TCK) / 4) << "tried again without pausing";
  while (IsRunning(waiting) && harness::NowMs() < give_up) proc::SleepUs(5000);
  EXPECT_GE(harness::NowMs() - seen, 1500) << "given up before the grace was over";
  EXPECT_TRUE(run.Settled()) << "the supervisor did not settle with no target";
  while (run.NextLine(0) == "crash") {
  }
  EXPECT_TRUE(run.NoMoreLines());
}

// A relaunch that waits out a deploy in a forked copy of the supervisor
// gives up when the supervisor has gone (ended alone, by SIGKILL): a target
// started then would run with no one to relaunch it.
TEST(Relaunch, RetriesEndWithTheSupervisor) {
  ScratchDirectory scratch;
  const std::string server = CrashLoopingBuild(scratch);
  Supervised run(Target({server, "REPORT_FD", "stay"}, scratch.path()));
  GroupGuard group(run.supervisor());
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  const pid_t waiting = RemoveTheBuild(run, server);
  ASSERT_GT(waiting, 1) << "no relaunch tried the missing file";
  ASSERT_EQ(kill(run.supervisor(), SIGKILL), 0);
  // Once the supervisor is a zombie, its children have a new parent; the
  // new build arrives after that, while the copy still has most of its
  // grace left.
  while (proc::State(run.supervisor()) != 'Z' && harness::NowMs() < give_up) proc::SleepUs(1000);
  ASSERT_EQ(proc::State(run.supervisor()), 'Z');
  AwaitAPauseOfTheCopy(waiting);
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, server + ".new", 0755));
  ASSERT_EQ(rename((server + ".new").c_str(), server.c_str()), 0);
  while (IsRunning(waiting) && harness::NowMs() < give_up) proc::SleepUs(5000);
  EXPECT_FALSE(IsRunning(waiting)) << "the copy lives on";
  for (auto line = run.NextLine(500); line; line = run.NextLine(500)) {
    EXPECT_EQ(*line, "crash") << "a target started with no supervisor";
  }
}

// A supervisor started by a process that is a child subreaper but not the
// first process of its PID namespace, as a user's service manager or a
// container's init is: once detached, the supervisor is that process's
// child, and so is whatever of the supervisor's loses its parent. That
// process never reaps, so that what it adopted stays to be seen; everything
// is ended here, and reaped, when this goes out of scope.
class UnderASubreaper {
 public:
  UnderASubreaper(const std::vector<std::string>& args, const std::string& cwd) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return;
    report_fd_ = report[0];
    reader_ = harness::LineReader(report_fd_);
    std::vector<std::string> words{MONITOR_PATH};
    for (const auto& arg : args) words.push_back(arg == "REPORT_FD" ? std::to_string(kReportFd) : arg);
    std::vector<char*> argv = NullTerminated(words);
    // Nothing buffered in this process may be written again by the copy.
    if (fflush(nullptr) != 0) return;
    subreaper_ = fork();
    if (subreaper_ == 0) HoldWhatItAdopts(argv.data(), report[1], cwd);
    close(report[1]);
  }

  ~UnderASubreaper() {
    // The supervisor first, so that it relaunches nothing; its children are
    // then the subreaper's, and end with it.
    proc::KillStarted(supervisor_);
    const long long give_up = harness::NowMs() + harness::kDeadlineMs;
    while (supervisor_ > 1 && IsRunning(supervisor_) && harness::NowMs() < give_up) proc::SleepUs(1000);
    for (const pid_t child : ChildrenOf(subreaper_)) proc::KillStarted(child);
    proc::KillStarted(subreaper_);
    if (!proc::ReapAll()) ADD_FAILURE() << "children left unreaped";
    if (report_fd_ >= 0) close(report_fd_);
  }

  UnderASubreaper(const UnderASubreaper&) = delete;
  UnderASubreaper& operator=(const UnderASubreaper&) = delete;

  // The next line on the report pipe.
  std::optional<std::string> NextLine(int deadline_ms = harness::kDeadlineMs) { return reader_.Next(deadline_ms); }

  // The next report; the first one names the supervisor, its parent.
  std::optional<Report> NextReport() {
    const auto line = NextLine();
    if (!line || line->compare(0, 4, "pid=") != 0) return std::nullopt;
    Report report = harness::ParseReport(*line);
    if (supervisor_ < 0) supervisor_ = report.ppid;
    return report;
  }

  pid_t subreaper() const { return subreaper_; }
  pid_t supervisor() const { return supervisor_; }

 private:
  // Runs in the forked process: becomes a subreaper, starts the supervisor
  // with the report pipe at its number, waits for the invoking process to
  // end, and then only holds what it adopts until it is killed.
  [[noreturn]] static void HoldWhatItAdopts(char* const* argv, int report_end, const std::string& cwd) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || prctl(PR_SET_CHILD_SUBREAPER, 1) != 0 || chdir(cwd.c_str()) != 0) {
      _exit(120);
    }
    const pid_t invoker = fork();
    if (invoker == 0) {
      const int moved = fcntl(report_end, F_DUPFD_CLOEXEC, kReportFd + 1);
      if (moved < 0 || dup2(moved, kReportFd) != kReportFd || close_range(STDERR_FILENO + 1, kReportFd - 1, 0) != 0 ||
          close_range(kReportFd + 1, ~0U, 0) != 0) {
        _exit(120);
      }
      execve(MONITOR_PATH, argv, environ);
      _exit(121);
    }
    int status = 0;
    if (invoker < 0 || waitpid(invoker, &status, 0) != invoker || status != 0) _exit(122);
    for (;;) pause();
  }

  static constexpr int kReportFd = 9;
  int report_fd_ = -1;
  harness::LineReader reader_{-1};
  pid_t subreaper_ = -1;
  pid_t supervisor_ = -1;
};

// The same where a subreaper other than process 1 adopts the copy: its
// parent is then neither the supervisor nor process 1, and it must give up
// all the same, before the new build arrives.
TEST(Relaunch, RetriesEndWithTheSupervisorUnderASubreaper) {
  ScratchDirectory scratch;
  const std::string program = scratch.path() + "/program";
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, program, 0755));
  UnderASubreaper run({program, "REPORT_FD", "stay"}, scratch.path());
  const auto first = run.NextReport();
  ASSERT_TRUE(first);
  // The invoking process may still be ending, or be reaped, after the
  // target has reported.
  const std::vector<pid_t> only_the_supervisor{run.supervisor()};
  const long long give_up = harness::NowMs() + harness::kDeadlineMs;
  while (ChildrenOf(run.subreaper()) != only_the_supervisor && harness::NowMs() < give_up) proc::SleepUs(5000);
  ASSERT_EQ(ChildrenOf(run.subreaper()), only_the_supervisor) << "the subreaper did not adopt the supervisor";
  ASSERT_EQ(unlink(program.c_str()), 0);
  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  const pid_t waiting = CopyTryingAgain(run.supervisor());
  ASSERT_GT(waiting, 1) << "no relaunch tried the missing file";
  ASSERT_EQ(kill(run.supervisor(), SIGKILL), 0);
  while (proc::State(run.supervisor()) != 'Z' && harness::NowMs() < give_up) proc::SleepUs(1000);
  ASSERT_EQ(proc::State(run.supervisor()), 'Z');
  // A copy that has already given up may be gone from the subreaper's
  // children by now; it was a child of the supervisor, which the subreaper
  // adopted, so the subreaper took it.
  const std::vector<pid_t> adopted = ChildrenOf(run.subreaper());
  EXPECT_TRUE(std::find(adopted.begin(), adopted.end(), waiting) != adopted.end() || !IsRunning(waiting))
      << "the copy runs, and the subreaper did not adopt it";
  AwaitAPauseOfTheCopy(waiting);
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, program + ".new", 0755));
  ASSERT_EQ(rename((program + ".new").c_str(), program.c_str()), 0);
  while (IsRunning(waiting) && harness::NowMs() < give_up) proc::SleepUs(5000);
  EXPECT_FALSE(IsRunning(waiting)) << "the copy lives on";
  EXPECT_FALSE(run.NextLine(500)) << "a target started with no supervisor";
}

// The grace tries the missing file again a few times a second: counted
// through the interposed execve, a relaunch whose file stays missing tries
// it a handful of times over the whole grace, not thousands.
TEST(Relaunch, DeployGraceTriesAFewTimesASecond) {
  ScratchDirectory scratch;
  const std::string program = scratch.path() + "/program";
  const std::string tries = scratch.path() + "/tries";
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, program, 0755));
  Supervised run(Interposed(Target({program, "REPORT_FD", "stay"}, scratch.path()), CountingExecOf(program, tries)));
  const auto first = run.NextReport();
  ASSERT_TRUE(first);
  ASSERT_EQ(ExecTries(tries), 1);
  ASSERT_EQ(unlink(program.c_str()), 0);
  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  ASSERT_TRUE(run.Settled()) << "the relaunch did not give up after the grace";
  // One try every 250 ms over 2 s makes nine; fewer on a busy machine.
  const long long relaunch_tries = ExecTries(tries) - 1;
  EXPECT_GE(relaunch_tries, 5) << "too few tries over the grace";
  EXPECT_LE(relaunch_tries, 20) << "tried again without pausing";
  EXPECT_TRUE(run.NoMoreLines());
}

// A relaunch whose fork failed, and was tried again a second later, is a
// relaunch all the same: a target file that a deploy removed meanwhile is
// waited for over the grace, and the new build runs.
TEST(Relaunch, AfterARetriedForkStillWaitsOutADeploy) {
  ScratchDirectory scratch;
  const std::string program = scratch.path() + "/program";
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, program, 0755));
  Supervised run(Interposed(Target({program, "REPORT_FD", "stay"}, scratch.path()),
                            {"FORK_FAIL_SKIP=1", "FORK_FAIL_COUNT=1", "FORK_FAIL_FD=9"}));
  const auto first = run.NextReport();
  ASSERT_TRUE(first);
  ASSERT_EQ(unlink(program.c_str()), 0);
  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  ASSERT_GE(RefusedAt(run.NextLine()), 0) << "the relaunch's fork was not refused";
  const pid_t waiting = CopyTryingAgain(run.supervisor());
  ASSERT_GT(waiting, 1) << "the retried relaunch did not wait for the missing file";
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, program + ".new", 0755));
  ASSERT_EQ(rename((program + ".new").c_str(), program.c_str()), 0);
  const auto second = run.NextReport();
  ASSERT_TRUE(second) << "the new build did not run: " << run.last_line();
  EXPECT_EQ(second->pid, waiting);
}

// --- System calls that fail.

struct FailedCallCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  const char* call;  // the function the interposer makes fail
  const char* err;   // what the start says on standard error
};

class StartCallFails : public ::testing::TestWithParam<FailedCallCase> {};

// A start-up step whose call fails, after the target passed its check:
// the start fails with 255 and the step's line, if it has one, before
// anything detaches or launches.
TEST_P(StartCallFails, FailsTheStartBeforeDetaching) {
  const FailedCallCase c = GetParam();
  Supervised run(Interposed(Target({PROBE_PATH, "REPORT_FD", "stay"}), {std::string("FAIL_CALL=") + c.call}));
  ExpectFailedStart(run, "", c.err);
}

INSTANTIATE_TEST_SUITE_P(Steps, StartCallFails,
                         ::testing::Values(FailedCallCase{"CoreLimitUnread", "getrlimit", ""},
                                           FailedCallCase{"ChildSignalUnread", "sigaction", "sigaction fail\n"}),
                         [](const auto& test) { return std::string(test.param.name); });

struct UngracedCase {
  // cppcheck-suppress unusedStructMember ; names the test case
  const char* name;
  bool loop;            // the file becomes a symbolic link to itself; else it is removed
  const char* setting;  // for the interposer, or nullptr
  long long min_tries;  // execve of the path, the first launch's included
  long long max_tries;
};

class RelaunchGrace : public ::testing::TestWithParam<UngracedCase> {};

// A relaunch is given the deploy grace only for what a deploy causes (a
// missing file, here), and only while it can tell the time: a file that
// can never be executed (a link to itself), or a clock that cannot be
// read, ends the relaunch at its first try, and the target is left down.
// A clock that reads under a second (just after boot, or in a new time
// namespace) times the grace as any other.
TEST_P(RelaunchGrace, OnlyForADeployAndAReadableClock) {
  const UngracedCase c = GetParam();
  ScratchDirectory scratch;
  const std::string target = scratch.path() + "/target";
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, target, 0755));
  const std::string tries = scratch.path() + "/tries";
  std::vector<std::string> env = CountingExecOf(target, tries);
  if (c.setting != nullptr) env.emplace_back(c.setting);
  Supervised run(Interposed(Target({target, "REPORT_FD", "stay"}, scratch.path()), env));
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
  const auto first = run.NextReport();
  ASSERT_TRUE(first) << run.last_line();
  ASSERT_EQ(unlink(target.c_str()), 0);
  if (c.loop) {
    ASSERT_EQ(symlink("target", target.c_str()), 0);
  }
  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  EXPECT_TRUE(run.Settled()) << "the supervisor did not settle with no target";
  EXPECT_TRUE(run.NoMoreLines());
  EXPECT_GE(ExecTries(tries), c.min_tries);
  EXPECT_LE(ExecTries(tries), c.max_tries);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RelaunchGrace,
    ::testing::Values(UngracedCase{"MissingIsWaitedFor", false, nullptr, 3, 100},
                      UngracedCase{"LinkToItselfIsNot", true, nullptr, 2, 2},
                      UngracedCase{"MissingWithoutAClockIsNot", false, "FAIL_CALL=clock_gettime", 2, 2},
                      UngracedCase{"MissingOnAClockJustStartedIsWaitedFor", false, "CLOCK_FROM_ZERO=1", 3, 100}),
    [](const auto& test) { return std::string(test.param.name); });

class UnlimitedOpenFiles : public ::testing::TestWithParam<bool> {};

// Without /proc every descriptor below the limit on open files is asked;
// a limit shown as unlimited is asked up to the scan's bound, not taken for
// none: a target held open for writing is still refused, and any other
// starts.
TEST_P(UnlimitedOpenFiles, AreScannedUpToTheBound) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' run-time reads its options and the threads it checks for
  // leaks from /proc, which this test hides.
  GTEST_SKIP() << "a sanitized supervisor cannot run without /proc";
#endif
  const bool held_open = GetParam();
  constexpr int kWriter = 1000;
  ScratchDirectory scratch;
  const std::string target = scratch.path() + "/target";
  ASSERT_TRUE(harness::CopyFile(PROBE_PATH, target, 0755));
  Options options = Interposed(Target({target, "REPORT_FD", "stay"}), {"OPEN_FILES_UNLIMITED=1"});
  options.without_proc = true;
  if (held_open) options.inherited.push_back({kWriter, target, O_WRONLY});
  Supervised run(options);
  if (run.invoker_status() == kNoMountNamespace) GTEST_SKIP() << "no mount namespace can be made here";
  if (!held_open) {
    ASSERT_EQ(run.invoker_status(), 0) << run.invoker_out() << run.invoker_err();
    EXPECT_TRUE(run.NextReport()) << run.last_line();
    return;
  }
  ExpectFailedStart(run, "",
                    "exec error: " + target + ": held open for writing by descriptor " + std::to_string(kWriter) +
                        ", which monitor inherited: no process can execute it while that is open (close it before "
                        "starting monitor)\n");
}

INSTANTIATE_TEST_SUITE_P(Targets, UnlimitedOpenFiles, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "HeldOpenForWriting" : "NotHeldOpen"; });

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Orphans in this process's subtree, the detached supervisor among them,
  // become its children.
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return 2;
  return RUN_ALL_TESTS();
}
