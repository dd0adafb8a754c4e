// The real supervisor, end to end. The probe target reports on an inherited
// pipe what it was started with. This process is a child subreaper, so the
// detached supervisor stays its child and can be ended and reaped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
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

bool IsRunning(pid_t pid) {
  const char state = proc::State(pid);
  return state != '?' && state != 'Z';
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
};

// One run of the supervisor: starts it, and ends the supervisor and its last
// target, whatever the test did, when it goes out of scope.
class Supervised {
 public:
  explicit Supervised(const Options& options) {
    int report[2];
    int captured[2];
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(captured, O_CLOEXEC) != 0) return;
    report_fd_ = report[0];
    reader_ = harness::LineReader(report_fd_);

    std::vector<std::string> words{MONITOR_PATH};
    for (const auto& arg : options.args) words.push_back(arg == "REPORT_FD" ? std::to_string(kReportFd) : arg);
    if (options.no_arguments_at_all) words.clear();
    std::vector<char*> argv = NullTerminated(words);
    // This process's environment, with the test's own variables in front so
    // that they take precedence.
    std::vector<std::string> env_words{std::string("MONITOR_PROBE_VALUE=") + kProbeValue};
    env_words.insert(env_words.end(), options.extra_env.begin(), options.extra_env.end());
    for (char** e = environ; *e != nullptr; ++e) env_words.emplace_back(*e);
    std::vector<char*> envp = NullTerminated(env_words);

    // Nothing buffered in this process may be written again by the copy.
    if (fflush(nullptr) != 0) return;
    invoker_ = fork();
    if (invoker_ == 0) {
      // The report pipe reaches the supervisor and every target at a known number.
      if (dup2(report[1], kReportFd) < 0 || dup2(captured[1], STDOUT_FILENO) < 0 ||
          dup2(captured[1], STDERR_FILENO) < 0 || chdir(options.cwd.c_str()) != 0)
        _exit(120);
      if (options.ignore_sigchld && signal(SIGCHLD, SIG_IGN) == SIG_ERR) _exit(122);
      execve(MONITOR_PATH, argv.data(), envp.data());
      _exit(121);
    }
    close(report[1]);
    close(captured[1]);
    const auto status = harness::WaitForExit(invoker_);
    if (status) {
      // Reaped: its pid is no longer this test's to signal.
      invoker_ = -1;
      if (WIFEXITED(*status)) invoker_status_ = WEXITSTATUS(*status);
    }
    harness::LineReader output(captured[0]);
    while (auto line = output.Next(1000)) invoker_output_ += *line + "\n";
    close(captured[0]);
    // The invoking process has ended, so the detached copy, if any, is now
    // this subreaper's only child.
    if (proc::Children(getpid(), &supervisor_, 1) != 1) supervisor_ = -1;
  }

  ~Supervised() {
    // The supervisor first, so that it cannot relaunch the target.
    proc::KillStarted(supervisor_);
    proc::KillStarted(target_);
    proc::KillStarted(invoker_);
    if (!proc::ReapAll()) ADD_FAILURE() << "children left unreaped";
    if (report_fd_ >= 0) close(report_fd_);
  }

  Supervised(const Supervised&) = delete;
  Supervised& operator=(const Supervised&) = delete;

  int invoker_status() const { return invoker_status_; }
  const std::string& invoker_output() const { return invoker_output_; }
  pid_t supervisor() const { return supervisor_; }

  // The next line on the report pipe: a probe's report or a line of the
  // fork-failing library.
  std::optional<std::string> NextLine(int deadline_ms = harness::kDeadlineMs) { return reader_.Next(deadline_ms); }

  // The next report; its probe is the one to end afterwards.
  std::optional<Report> NextReport() {
    const auto line = NextLine();
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

 private:
  static constexpr int kReportFd = 9;
  int report_fd_ = -1;
  harness::LineReader reader_{-1};
  pid_t invoker_ = -1;
  pid_t supervisor_ = -1;
  pid_t target_ = -1;
  int invoker_status_ = -1;
  std::string invoker_output_;
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
    char pattern[] = "/tmp/monitor-e2e-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
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
  ASSERT_EQ(run.invoker_status(), 0) << run.invoker_output();
  EXPECT_EQ(run.invoker_output(), "");

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
  // Unlimited where the hard limit could be raised, else soft = hard.
  const std::string core = first->core;
  EXPECT_EQ(core.substr(0, core.find(',')), core.substr(core.find(',') + 1));

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

// Nothing to supervise: a clear failure, and nothing left in the background.
TEST(Start, WithoutATargetFailsAndDetachesNothing) {
  {
    Supervised run(Options{});
    EXPECT_EQ(run.invoker_status(), 255);
    EXPECT_EQ(run.invoker_output(), "usage: monitor PROGRAM [ARGUMENT...]\n");
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "something was left running";
  }
  {
    Options options;
    options.no_arguments_at_all = true;
    Supervised run(options);
    EXPECT_EQ(run.invoker_status(), 255);
    // This kernel hands an empty vector over as one empty name, which takes
    // the no-target path; others may deliver argc 0, which writes nothing.
    const std::string& output = run.invoker_output();
    EXPECT_TRUE(output.empty() || output == "usage: monitor PROGRAM [ARGUMENT...]\n") << output;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "something was left running";
  }
}

class BadTarget : public ::testing::TestWithParam<std::string> {};

// "fork ok", "exec error" in the background, then a resident supervisor
// with no target and no relaunch loop.
TEST_P(BadTarget, IsLaunchedOnceAndLeftDown) {
  ScratchDirectory scratch;
  const std::string text_file = scratch.path() + "/not-a-program";
  {
    std::ofstream file(text_file);
    file << "plain text\n";
  }
  const std::string target = GetParam() == "TEXT_FILE" ? text_file : GetParam();
  Supervised run(Target({target, "REPORT_FD", "stay"}, scratch.path()));
  ASSERT_EQ(run.invoker_status(), 0);
  ASSERT_GT(run.supervisor(), 1);
  EXPECT_TRUE(run.Settled());
  EXPECT_TRUE(run.NoMoreLines());
}

INSTANTIATE_TEST_SUITE_P(Paths, BadTarget, ::testing::Values("/nonexistent/program", "/", "TEXT_FILE", "sleep", ""));

TEST(Start, WithSigchldIgnoredStillSeesTheTargetDie) {
  Options options = Target({PROBE_PATH, "REPORT_FD", "stay"});
  options.ignore_sigchld = true;
  Supervised run(options);
  auto first = run.NextReport();
  ASSERT_TRUE(first);
  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  auto second = run.NextReport();
  ASSERT_TRUE(second);
  EXPECT_NE(second->pid, first->pid);
}

// Preloads the library that makes fork or daemon fail, as env asks.
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

// The relaunch's fork fails twice; the supervisor tries again about once a
// second and the target comes back.
TEST(Relaunch, IsRetriedWhileForkFails) {
  Supervised run(Interposed(Target({PROBE_PATH, "REPORT_FD", "stay"}),
                            {"FORK_FAIL_SKIP=1", "FORK_FAIL_COUNT=2", "FORK_FAIL_FD=9"}));
  auto first = run.NextReport();
  ASSERT_TRUE(first);
  ASSERT_EQ(kill(first->pid, SIGKILL), 0);
  EXPECT_EQ(run.NextLine(), "fork refused");
  EXPECT_EQ(run.NextLine(), "fork refused");
  auto second = run.NextReport();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->ppid, first->ppid);
}

// The first launch cannot fork: the caller has already seen success, and
// the background copy ends with 255.
TEST(Start, FirstForkFailureEndsTheBackgroundCopy) {
  Supervised run(Interposed(Target({PROBE_PATH, "REPORT_FD", "stay"}),
                            {"FORK_FAIL_SKIP=0", "FORK_FAIL_COUNT=1", "FORK_FAIL_FD=9"}));
  EXPECT_EQ(run.invoker_status(), 0);
  EXPECT_EQ(run.NextLine(), "fork refused");
  ASSERT_GT(run.supervisor(), 1);
  const auto status = harness::WaitForExit(run.supervisor());
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 255) << *status;
}

// Detaching fails: the one line written through printf reaches the caller,
// with errno and daemon's result, and nothing is left running.
TEST(Start, DetachFailureIsReported) {
  Supervised run(Interposed(Target({PROBE_PATH, "REPORT_FD", "stay"}), {"DAEMON_FAIL=1"}));
  EXPECT_EQ(run.invoker_status(), 255);
  EXPECT_EQ(run.invoker_output(), "111111111111111 " + std::to_string(EAGAIN) + " - -1\n");
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "something was left running";
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Orphans in this process's subtree, the detached supervisor among them,
  // become its children.
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return 2;
  return RUN_ALL_TESTS();
}
