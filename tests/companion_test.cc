// monitor-exec, the real binary, run the way monitor runs it: as the child
// of a session and group leader standing in for the supervisor, with
// leftovers of a previous instance in that group. Each case reads what the
// program it executed really got (its pid, signals, user, limits), and
// what was left running.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "companion.h"
#include "harness.h"
#include "proc.h"

namespace {

// How the stand-in supervisor is set up around the companion.
struct Around {
  bool leader = true;         // leads its session and group, as monitor does
  int leftovers = 0;          // processes of the previous instance in the group
  bool outsider = false;      // a process of the same parent in another group
  bool monitor_mask = false;  // SIGTERM blocked and SIGUSR1 ignored, as given
};

struct Outcome {
  int status = -1;
  long long ms = 0;
  pid_t companion = 0;
  pid_t leftovers[4] = {};
  pid_t outsider = 0;
  std::string error;   // standard error
  std::string log;     // descriptor 4, for --log-fd=4
  std::string output;  // descriptor 3, for --output-fd=3, and standard output
};

// What the stand-in supervisor reports once the companion has ended.
struct Report {
  int status;
  long long ms;
  pid_t companion;
  pid_t leftovers[4];
  pid_t outsider;
};

std::string ReadFile(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char piece[4096];
  ssize_t got = 0;
  while ((got = read(fd, piece, sizeof piece)) > 0) text.append(piece, static_cast<size_t>(got));
  close(fd);
  return text;
}

bool Alive(pid_t pid) {
  const char state = proc::State(pid);
  return state != '\0' && state != 'Z' && state != 'X';
}

[[noreturn]] void Forever() {
  while (true) pause();
}

class Companion : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(proc::MakeScratch("companion", dir_, sizeof dir_)); }
  void TearDown() override {
    // Copies of the databases bound over them by a test, if any.
    static_cast<void>(umount2("/etc/group", MNT_DETACH));
    static_cast<void>(umount2("/etc/passwd", MNT_DETACH));
    // The stand-in supervisor leads a group of its own, which holds what the
    // test made in it: the group is ended whole.
    for (pid_t leader : groups_) {
      if (leader > 1) kill(-leader, SIGKILL);
    }
    for (pid_t pid : started_) proc::KillStarted(pid);
    EXPECT_TRUE(proc::ReapAll());
    proc::RemoveTree(dir_);
  }

  std::string Path(const char* name) const { return std::string(dir_) + "/" + name; }

  // Runs monitor-exec with args under the stand-in supervisor, waits until
  // it has ended, and leaves the supervisor and the leftovers to TearDown.
  Outcome Run(const std::vector<std::string>& args, const Around& setup = Around{}) {
    Outcome outcome;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return outcome;
    const pid_t supervisor = fork();
    if (supervisor == 0) Supervise(args, setup, report[1]);
    close(report[1]);
    if (supervisor > 0) {
      started_.push_back(supervisor);
      groups_.push_back(supervisor);
    }
    Report got{};
    pollfd ready{report[0], POLLIN, 0};
    if (poll(&ready, 1, 30000) == 1 && read(report[0], &got, sizeof got) == sizeof got) {
      outcome.status = got.status;
      outcome.ms = got.ms;
      outcome.companion = got.companion;
      for (int at = 0; at < 4; ++at) {
        outcome.leftovers[at] = got.leftovers[at];
        if (got.leftovers[at] > 1) started_.push_back(got.leftovers[at]);
      }
      outcome.outsider = got.outsider;
      if (got.outsider > 1) started_.push_back(got.outsider);
    }
    close(report[0]);
    outcome.error = ReadFile(Path("error"));
    outcome.log = ReadFile(Path("log"));
    outcome.output = ReadFile(Path("output"));
    return outcome;
  }

  std::vector<pid_t> started_;
  std::vector<pid_t> groups_;
  char dir_[256] = "";

 private:
  [[noreturn]] void Supervise(const std::vector<std::string>& args, const Around& setup, int report) {
    if (setup.leader ? setsid() < 0 : setpgid(0, 0) != 0) _exit(1);
    Report got{};
    for (int at = 0; at < setup.leftovers && at < 4; ++at) {
      got.leftovers[at] = fork();
      if (got.leftovers[at] == 0) {
        // The first leftover has a child of its own, which is ended too.
        if (at == 0 && fork() < 0) _exit(1);
        Forever();
      }
    }
    if (setup.outsider) {
      got.outsider = fork();
      if (got.outsider == 0) {
        setpgid(0, 0);
        Forever();
      }
    }
    const long long started = proc::Now();
    got.companion = fork();
    if (got.companion == 0) Execute(args, setup);
    if (got.companion > 0) waitpid(got.companion, &got.status, 0);
    got.ms = (proc::Now() - started) / 1000000;
    if (write(report, &got, sizeof got) != sizeof got) _exit(1);
    Forever();
  }

  [[noreturn]] void Execute(const std::vector<std::string>& args, const Around& setup) {
    if (setup.monitor_mask) {
      sigset_t blocked;
      sigemptyset(&blocked);
      sigaddset(&blocked, SIGTERM);
      if (sigprocmask(SIG_BLOCK, &blocked, nullptr) != 0 || signal(SIGUSR1, SIG_IGN) == SIG_ERR) _exit(122);
    }
    const int output = open(Path("output").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int log = open(Path("log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int error = open(Path("error").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The output file is descriptor 3 and standard output, for --help.
    if (output < 0 || log < 0 || error < 0 || dup2(output, 3) != 3 || dup2(log, 4) != 4 ||
        dup2(output, STDOUT_FILENO) != STDOUT_FILENO || dup2(error, STDERR_FILENO) != STDERR_FILENO) {
      _exit(120);
    }
    // Start lines go to the log file, never to the machine's system log; a
    // --log-fd given later in args takes its place.
    std::vector<char*> argv{const_cast<char*>(MONITOR_EXEC_PATH), const_cast<char*>("--log-fd=4")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(MONITOR_EXEC_PATH, argv.data());
    _exit(121);
  }
};

// Whether this process may raise a hard limit it has lowered: tried in a
// forked copy.
bool CanRaiseHardCoreLimit() {
  const pid_t copy = fork();
  if (copy == 0) {
    rlimit low{1000, 1000};
    rlimit high{RLIM_INFINITY, RLIM_INFINITY};
    _exit(setrlimit(RLIMIT_CORE, &low) == 0 && setrlimit(RLIMIT_CORE, &high) == 0 ? 0 : 1);
  }
  int status = 0;
  return copy > 0 && waitpid(copy, &status, 0) == copy && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Puts a copy of file holding text over file, in this test's own mount
// namespace; false where it cannot.
bool BindCopy(const std::string& scratch, const char* file, const std::string& text) {
  // Only as the first process of its own namespaces, as ctest runs it, whose
  // mounts no one else sees.
  if (getpid() != 1) return false;
  const std::string copy = scratch + "/" + (strrchr(file, '/') + 1);
  const int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  return written && mount(copy.c_str(), file, nullptr, MS_BIND, nullptr) == 0;
}

// Puts a copy of /etc/group with user added to group's members over
// /etc/group; false where it cannot.
bool AddToGroupDatabase(const std::string& scratch, const char* user, const char* group) {
  std::string text = ReadFile("/etc/group");
  const std::string start = std::string(group) + ":";
  const size_t at = text.rfind("\n" + start) != std::string::npos ? text.find("\n" + start) + 1 : text.rfind(start, 0);
  if (at == std::string::npos) return false;
  const size_t end = text.find('\n', at);
  const bool has_members = text[end - 1] != ':';
  text.insert(end, std::string(has_members ? "," : "") + user);
  return BindCopy(scratch, "/etc/group", text);
}

// A line of /proc/self/status as the program read it: "SigBlk:\t0000...".
std::string StatusLine(const std::string& status, const std::string& key) {
  const size_t at = status.find(key + ":\t");
  if (at == std::string::npos) return "";
  return status.substr(at + key.size() + 2, status.find('\n', at) - at - key.size() - 2);
}

// --- Refusals: one line, status 100, nothing changed ---------------------

// A user whose name is the shortest too long for the companion to keep, in
// a copy of the user database that the refusals alone see, where they can
// bind one.
const std::string kLongUserName(sizeof companion::Identity::name, 'u');

class Refusal : public Companion, public ::testing::WithParamInterface<std::vector<std::string>> {
 protected:
  void SetUp() override {
    Companion::SetUp();
    static_cast<void>(
        BindCopy(dir_, "/etc/passwd", ReadFile("/etc/passwd") + kLongUserName + ":x:4242:4242::/:/bin/false\n"));
  }
};

TEST_P(Refusal, SaysWhyAndChangesNothing) {
  std::vector<std::string> args = GetParam();
  args.insert(args.end(), {"/bin/sh", "-c", "echo ran >&3"});
  const Outcome outcome = Run(args, Around{true, 2, false, false});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kRefused) << outcome.status;
  EXPECT_EQ(outcome.error.rfind("monitor-exec: ", 0), 0u) << outcome.error;
  EXPECT_EQ(std::count(outcome.error.begin(), outcome.error.end(), '\n'), 1) << outcome.error;
  EXPECT_EQ(outcome.output, "") << "the program ran";
  for (int at = 0; at < 2; ++at) EXPECT_TRUE(Alive(outcome.leftovers[at])) << "a leftover was ended by a refusal";
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Refusal,
    ::testing::Values(std::vector<std::string>{"--bogus"}, std::vector<std::string>{"-x"},
                      std::vector<std::string>{"--end=everything"}, std::vector<std::string>{"--end-wait=-1"},
                      std::vector<std::string>{"--end-wait=1s"}, std::vector<std::string>{"--end-wait=010"},
                      std::vector<std::string>{"--deploy-wait=86401"}, std::vector<std::string>{"--stay-for=256"},
                      std::vector<std::string>{"--stay-for=5-3"}, std::vector<std::string>{"--stay-for=1,"},
                      std::vector<std::string>{"--stay-for=,1"},
                      std::vector<std::string>{"--coredump-filter=0x123456789"},
                      std::vector<std::string>{"--coredump-filter=zz"}, std::vector<std::string>{"--core-limit=-1"},
                      std::vector<std::string>{"--core-limit=18446744073709551615"},
                      std::vector<std::string>{"--user=no-such-user-here"},
                      std::vector<std::string>{"--group=no-such-group-here"}, std::vector<std::string>{"--user="},
                      std::vector<std::string>{"--log-fd=57"}, std::vector<std::string>{"--output-fd=58"},
                      std::vector<std::string>{"--end=service"}, std::vector<std::string>{"--log-fd=x"},
                      std::vector<std::string>{"--coredump-filter=0x"}, std::vector<std::string>{"--stay-for=12345678"},
                      std::vector<std::string>{"--user=" + kLongUserName}, std::vector<std::string>{"--end=a\nb"},
                      // A reason longer than its buffer is cut short, still one line.
                      std::vector<std::string>{"--end=" + std::string(300, 'x')}));

TEST_F(Companion, RefusesWithoutAProgram) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"--end-wait"},
                           std::vector<std::string>{"--keep-signals", "--"}}) {
    const Outcome outcome = Run(args);
    EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kRefused) << outcome.status;
    EXPECT_NE(outcome.error.find("monitor-exec: "), std::string::npos) << outcome.error;
  }
}

TEST_F(Companion, RefusesTheGroupScopeWhereTheParentDoesNotLeadTheSession) {
  const Outcome outcome = Run({"--end=group", "/bin/sh", "-c", "echo ran >&3"}, Around{false, 1, false, false});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kRefused) << outcome.status;
  EXPECT_NE(outcome.error.find("does not lead both this process group and this session"), std::string::npos)
      << outcome.error;
  EXPECT_TRUE(Alive(outcome.leftovers[0]));
  EXPECT_EQ(outcome.output, "");
}

TEST_F(Companion, HelpAndVersion) {
  Outcome outcome = Run({"--version"});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.status;
  EXPECT_EQ(outcome.output, std::string("monitor-exec ") + MONITOR_VERSION "\n");
  outcome = Run({"--help", "/bin/sh", "-c", "echo ran >&3"});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.status;
  EXPECT_EQ(outcome.output.rfind("usage: monitor-exec ", 0), 0u) << outcome.output;
  for (const char* option :
       {"--user=", "--group=", "--keep-signals", "--end=", "--end-wait=", "--deploy-wait=", "--core-limit=",
        "--coredump-filter=", "--log-fd=", "--output-fd=", "--stay-for=", "--help", "--version"}) {
    EXPECT_NE(outcome.output.find(option), std::string::npos) << option << " is missing from --help";
  }
  // Written where nothing can be written, they fail.
  for (const char* option : {"--help", "--version"}) {
    outcome = Run({"--end=none", "/bin/sh", "-c", "exec \"$0\" \"$1\" >/dev/full", MONITOR_EXEC_PATH, option});
    EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kFailed) << outcome.status;
  }
}

// --- Leftovers ----------------------------------------------------------------

TEST_F(Companion, EndsTheGroupsLeftoversAndWaitsUntilTheyAreGone) {
  // The program, in the companion's own pid, says which leftovers it still
  // sees living, and its pid.
  const Outcome outcome = Run({"--log-fd=4", "/bin/sh", "-c",
                               "for p in /proc/[0-9]*; do grep -q '^State:.*[RSD]' $p/status 2>/dev/null && "
                               "echo \"${p#/proc/} $(cut -d' ' -f5 $p/stat)\"; done >&3; echo self $$ >&3"},
                              Around{true, 3, true, false});
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error;
  EXPECT_NE(outcome.output.find("self " + std::to_string(outcome.companion) + "\n"), std::string::npos)
      << "the program did not keep the companion's pid:\n"
      << outcome.output;
  // Three leftovers and the first one's child: none living when the program
  // started, nor now; the outsider and the supervisor untouched.
  for (int at = 0; at < 3; ++at) {
    EXPECT_EQ(outcome.output.find("\n" + std::to_string(outcome.leftovers[at]) + " "), std::string::npos)
        << "leftover " << outcome.leftovers[at] << " lived on:\n"
        << outcome.output;
    EXPECT_FALSE(Alive(outcome.leftovers[at]));
  }
  EXPECT_TRUE(Alive(outcome.outsider));
  EXPECT_TRUE(Alive(started_.front()));
  const std::string start = "monitor-exec[" + std::to_string(outcome.companion) + "]: /bin/sh started, pid " +
                            std::to_string(outcome.companion) + "; ended 4 leftovers (";
  EXPECT_EQ(outcome.log.rfind(start, 0), 0u) << outcome.log;
  for (int at = 0; at < 3; ++at) {
    EXPECT_NE(outcome.log.find(std::to_string(outcome.leftovers[at])), std::string::npos) << outcome.log;
  }
  EXPECT_EQ(outcome.log.find("still present"), std::string::npos) << outcome.log;
  EXPECT_LT(outcome.ms, 5000) << "the wait must end once they are gone, zombies included";
  EXPECT_EQ(std::count(outcome.log.begin(), outcome.log.end(), '\n'), 1) << outcome.log;
}

TEST_F(Companion, SaysWhatWasStillPresentWhenTheWaitIsOver) {
  // With no wait at all, the leftovers (two, and the first one's child)
  // are signalled once and the start goes on, saying so.
  const Outcome outcome = Run({"--end-wait=0", "--log-fd=4", "/bin/true"}, Around{true, 2, false, false});
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error;
  EXPECT_NE(outcome.log.find("; ended 3 leftovers ("), std::string::npos) << outcome.log;
  EXPECT_NE(outcome.log.find(", 3 still present after the wait\n"), std::string::npos) << outcome.log;
}

TEST_F(Companion, KeepsItsOwnDescriptorsFromTheProgram) {
  // The output and log descriptors are the companion's; the program gets
  // the output as its standard streams only.
  const Outcome outcome = Run({"--output-fd=3", "--log-fd=4", "/bin/sh", "-c",
                               "for fd in 3 4; do { true >&$fd; } 2>/dev/null && echo open $fd; done; echo done"});
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error;
  EXPECT_EQ(outcome.output, "done\n");
  // A standard stream named as the output: the program gets it as both,
  // open. Standard output is the output file here, standard error the
  // error file.
  const Outcome out = Run({"--output-fd=1", "/bin/sh", "-c", "echo out; echo err >&2"});
  EXPECT_EQ(out.output, "out\nerr\n") << out.error;
  const Outcome err = Run({"--output-fd=2", "/bin/sh", "-c", "echo out; echo err >&2"});
  EXPECT_EQ(err.error, "out\nerr\n") << err.output;
}

TEST_F(Companion, SaysThereWereNoLeftovers) {
  const Outcome outcome = Run({"--log-fd=4", "/bin/true"});
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error;
  EXPECT_EQ(outcome.log, "monitor-exec[" + std::to_string(outcome.companion) + "]: /bin/true started, pid " +
                             std::to_string(outcome.companion) + "; no leftovers\n");
}

TEST_F(Companion, EndsNothingWhereTheGroupIsNotProvablyTheSupervisors) {
  // By default it starts the program all the same, ending nothing; --end=none
  // ends nothing even under monitor.
  const Outcome unproved = Run({"--log-fd=4", "/bin/true"}, Around{false, 1, false, false});
  ASSERT_TRUE(WIFEXITED(unproved.status) && WEXITSTATUS(unproved.status) == 0) << unproved.error;
  EXPECT_TRUE(Alive(unproved.leftovers[0]));
  EXPECT_EQ(unproved.log, "monitor-exec[" + std::to_string(unproved.companion) + "]: /bin/true started, pid " +
                              std::to_string(unproved.companion) + "\n");
  const Outcome none = Run({"--end=none", "--log-fd=4", "/bin/true"}, Around{true, 1, false, false});
  ASSERT_TRUE(WIFEXITED(none.status) && WEXITSTATUS(none.status) == 0) << none.error;
  EXPECT_TRUE(Alive(none.leftovers[0]));
}

// --- What the program gets ------------------------------------------------------

TEST_F(Companion, ResetsTheSignalsMonitorLeftUnlessAskedToKeepThem) {
  const Outcome reset = Run({"--output-fd=3", "/bin/cat", "/proc/self/status"}, Around{true, 0, false, true});
  ASSERT_TRUE(WIFEXITED(reset.status) && WEXITSTATUS(reset.status) == 0) << reset.error;
  EXPECT_EQ(StatusLine(reset.output, "SigBlk"), "0000000000000000");
  EXPECT_EQ(StatusLine(reset.output, "SigIgn"), "0000000000000000");
  const Outcome kept =
      Run({"--keep-signals", "--output-fd=3", "/bin/cat", "/proc/self/status"}, Around{true, 0, false, true});
  ASSERT_TRUE(WIFEXITED(kept.status) && WEXITSTATUS(kept.status) == 0) << kept.error;
  EXPECT_EQ(StatusLine(kept.output, "SigBlk"), "0000000000004000");  // SIGTERM, 15
  EXPECT_EQ(StatusLine(kept.output, "SigIgn"), "0000000000000200");  // SIGUSR1, 10
  // Kept too for a program that the companion stays with.
  const Outcome staying = Run({"--keep-signals", "--stay-for=1", "--output-fd=3", "/bin/cat", "/proc/self/status"},
                              Around{true, 0, false, true});
  ASSERT_TRUE(WIFEXITED(staying.status) && WEXITSTATUS(staying.status) == 0) << staying.error;
  EXPECT_EQ(StatusLine(staying.output, "SigBlk"), "0000000000004000");
}

TEST_F(Companion, RunsAsTheUserWithItsGroups) {
  if (geteuid() != 0) GTEST_SKIP() << "changing the user takes root";
  const passwd* nobody = getpwnam("nobody");
  const group* daemon_group = getgrnam("daemon");
  if (nobody == nullptr || daemon_group == nullptr) GTEST_SKIP() << "no user nobody or group daemon";
  const std::string uid = std::to_string(nobody->pw_uid);
  const std::string gid = std::to_string(nobody->pw_gid);
  // Its groups as the group database gives them, and no other: not the
  // groups of root, which the companion had. nobody is made a member of
  // daemon, in a copy of the database seen by this test alone.
  if (!AddToGroupDatabase(dir_, "nobody", "daemon")) GTEST_SKIP() << "cannot bind a copy of /etc/group here";
  gid_t groups[64];
  int count = 64;
  ASSERT_GE(getgrouplist("nobody", nobody->pw_gid, groups, &count), 0);
  std::vector<std::string> expected{uid, gid};
  for (int at = 0; at < count; ++at) expected.push_back(std::to_string(groups[at]));
  Outcome outcome = Run({"--user=nobody", "--output-fd=3", "/bin/sh", "-c", "echo $(id -u) $(id -g) $(id -G)"});
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error;
  std::vector<std::string> got;
  for (size_t at = 0, end = 0; at < outcome.output.size(); at = end + 1) {
    end = outcome.output.find_first_of(" \n", at);
    if (end == std::string::npos) end = outcome.output.size();
    if (end > at) got.push_back(outcome.output.substr(at, end - at));
  }
  std::sort(expected.begin() + 2, expected.end());
  expected.erase(std::unique(expected.begin() + 2, expected.end()), expected.end());
  ASSERT_GE(got.size(), 2u) << outcome.output;
  std::sort(got.begin() + 2, got.end());
  got.erase(std::unique(got.begin() + 2, got.end()), got.end());
  EXPECT_EQ(got, expected) << outcome.output;
  // A group alone replaces the primary group and is the only one.
  const std::string daemon_gid = std::to_string(daemon_group->gr_gid);
  outcome = Run({"--group=daemon", "--output-fd=3", "/bin/sh", "-c", "echo $(id -u) $(id -g) $(id -G)"});
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error;
  EXPECT_EQ(outcome.output, "0 " + daemon_gid + " " + daemon_gid + "\n");
  outcome = Run({"--user=nobody", "--group=daemon", "--output-fd=3", "/bin/sh", "-c", "echo $(id -u) $(id -g)"});
  EXPECT_EQ(outcome.output, uid + " " + daemon_gid + "\n");
  // By number, as the databases know them.
  outcome = Run({"--user=" + uid, "--group=" + daemon_gid, "--output-fd=3", "/bin/sh", "-c", "echo $(id -u) $(id -g)"});
  EXPECT_EQ(outcome.output, uid + " " + daemon_gid + "\n") << outcome.error;
}

TEST_F(Companion, SetsTheCoreLimitAndFilter) {
  const Outcome outcome = Run({"--core-limit=4096", "--coredump-filter=0x23", "--output-fd=3", "/bin/sh", "-c",
                               "grep 'core file' /proc/self/limits; cat /proc/self/coredump_filter"});
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error;
  EXPECT_NE(outcome.output.find("Max core file size        4096"), std::string::npos) << outcome.output;
  EXPECT_NE(outcome.output.find("00000023"), std::string::npos) << outcome.output;
  // The mask is hexadecimal however it is written, where the kernel would
  // read one without 0x as decimal, or as octal after a 0.
  for (const std::string mask : {"0X31", "033"}) {
    const Outcome written =
        Run({"--coredump-filter=" + mask, "--output-fd=3", "/bin/cat", "/proc/self/coredump_filter"});
    EXPECT_EQ(written.output, "000000" + mask.substr(mask.size() - 2) + "\n") << mask << ": " << written.error;
  }
  // A hard limit above the one asked for is kept, so that the server may
  // raise its own again.
  const std::string lower_then_ask =
      "ulimit -H -c 1 && exec \"$0\" --end=none --log-fd=2 --core-limit=100 /usr/bin/awk "
      "'/core file/ { print $5, $6 }' /proc/self/limits";
  const Outcome kept = Run({"--end=none", "/bin/sh", "-c", lower_then_ask, MONITOR_EXEC_PATH});
  EXPECT_EQ(kept.output, "100 512\n") << kept.error;
  const Outcome unlimited = Run({"--core-limit=unlimited", "--output-fd=3", "/bin/sh", "-c", "ulimit -c"});
  if (geteuid() == 0) {
    EXPECT_EQ(unlimited.output, "unlimited\n") << unlimited.error;
    // Given a hard limit below what is asked, it raises that too, where the
    // privilege to is held.
    if (!CanRaiseHardCoreLimit()) GTEST_SKIP() << "CAP_SYS_RESOURCE is not held here";
    const std::string lower_then_run =
        "ulimit -H -c 1000 && exec \"$0\" --end=none --log-fd=2 --core-limit=unlimited /bin/sh -c 'ulimit -H -c'";
    const Outcome raised = Run({"--end=none", "/bin/sh", "-c", lower_then_run, MONITOR_EXEC_PATH});
    EXPECT_EQ(raised.output, "unlimited\n") << raised.error;
  }
}

TEST_F(Companion, FindsTheProgramAlongPath) {
  const std::string bin = Path("bin");
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  ASSERT_EQ(symlink("/bin/echo", (bin + "/say-it").c_str()), 0);
  // Along every element in turn, past those that cannot hold it: a missing
  // directory, one too long for a path, an empty one (the working
  // directory).
  std::string past_the_others = "/no/such/directory:/" + std::string(4100, 'x') + "::";
  past_the_others += bin;
  for (const std::string& path : {bin, past_the_others}) {
    // The first copy keeps descriptors 3 and 4 from what it executes; the
    // second one, found along PATH by env, writes both lines on its
    // standard output, which is the output file.
    const Outcome outcome = Run({"--end=none", "/usr/bin/env", "PATH=" + path, MONITOR_EXEC_PATH, "--end=none",
                                 "--log-fd=1", "say-it", "found"});
    ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error;
    EXPECT_NE(outcome.output.find(bin + "/say-it started, pid " + std::to_string(outcome.companion)), std::string::npos)
        << outcome.output;
    EXPECT_NE(outcome.output.find("\nfound\n"), std::string::npos) << outcome.output;
  }
  // With no PATH, along the usual directories.
  const Outcome usual =
      Run({"--end=none", "/usr/bin/env", "-u", "PATH", MONITOR_EXEC_PATH, "--end=none", "--log-fd=1", "echo", "found"});
  ASSERT_TRUE(WIFEXITED(usual.status) && WEXITSTATUS(usual.status) == 0) << usual.error;
  EXPECT_NE(usual.output.find("bin/echo started, pid "), std::string::npos) << usual.output;
  EXPECT_NE(usual.output.find("\nfound\n"), std::string::npos) << usual.output;
}

// --- A step that fails once changes have begun ----------------------------------------

// Each run by /bin/sh with the companion as $0, and made to fail the way a
// unit set up without a privilege, at a limit, or without /proc would.
struct StepFailure {
  const char* name;
  const char* command;
  const char* said;
};

class Step : public Companion, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(Step, FailsSayingWhyAndRunsNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "taking privileges away takes root";
  // A copy that another user can run: the build's directories may be
  // closed to others.
  const std::string copy = Path("monitor-exec");
  if (chmod(dir_, 0755) != 0 || !harness::CopyFile(MONITOR_EXEC_PATH, copy, 0755)) {
    GTEST_SKIP() << "no copy of the companion can be made for another user";
  }
  const Outcome outcome = Run({"--end=none", "/bin/sh", "-c", GetParam().command, copy});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kFailed) << outcome.status;
  EXPECT_NE(outcome.error.find(std::string("monitor-exec: ") + GetParam().said), std::string::npos) << outcome.error;
  EXPECT_EQ(outcome.output, "") << "the program ran";
}

INSTANTIATE_TEST_SUITE_P(
    WithoutAPrivilege, Step,
    ::testing::Values(
        StepFailure{"CoreLimitAboveTheHardOne",
                    "ulimit -H -c 1 && exec setpriv --bounding-set=-sys_resource \"$0\" --end=none --log-fd=2 "
                    "--core-limit=2000 /bin/echo ran",
                    "cannot set the core-file limit: Operation not permitted"},
        StepFailure{"UnlimitedCoresUnderAHardLimit",
                    "ulimit -H -c 1 && exec setpriv --bounding-set=-sys_resource \"$0\" --end=none --log-fd=2 "
                    "--core-limit=unlimited /bin/echo ran",
                    "cannot set the core-file limit: Operation not permitted"},
        StepFailure{"GroupsOfTheUser",
                    "exec setpriv --bounding-set=-setgid \"$0\" --end=none --log-fd=2 --user=nobody /bin/echo ran",
                    "cannot set the supplementary groups of nobody: Operation not permitted"},
        StepFailure{"GroupsOfTheGroup",
                    "exec setpriv --bounding-set=-setgid \"$0\" --end=none --log-fd=2 --group=daemon /bin/echo ran",
                    "cannot set the supplementary groups: Operation not permitted"},
        StepFailure{"User",
                    "exec setpriv --bounding-set=-setuid \"$0\" --end=none --log-fd=2 --user=nobody /bin/echo ran",
                    "cannot set the user nobody: Operation not permitted"},
        StepFailure{"CoredumpFilterWithoutProc",
                    "exec unshare --mount --propagation private /bin/sh -c 'mount -t tmpfs none /proc && exec \"$0\" "
                    "--end=none --log-fd=2 --coredump-filter=0x33 /bin/echo ran' \"$0\"",
                    "cannot write /proc/self/coredump_filter: No such file or directory"},
        StepFailure{"ForkOfTheStayingMode",
                    "exec setpriv --reuid=65534 --regid=65534 --clear-groups prlimit --nproc=1 \"$0\" --end=none "
                    "--log-fd=2 --stay-for=1 /bin/echo ran",
                    "cannot fork: Resource temporarily unavailable"}),
    [](const auto& test) { return std::string(test.param.name); });

// --- A deploy -----------------------------------------------------------------------

// The companion given path as an argument, found in /proc once it runs as
// itself; 0 if none does within the deadline.
pid_t CompanionNaming(const std::string& path) {
  const std::string argument = std::string(1, '\0') + path + std::string(1, '\0');
  const long long give_up = proc::Now() + proc::kDeadlineNs;
  while (proc::Now() < give_up) {
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return 0;
    pid_t found = 0;
    while (const dirent* entry = readdir(dir)) {
      long long pid = 0;
      if (!proc::ParseNumber(entry->d_name, 2, INT_MAX, &pid)) continue;
      const std::string proc = std::string("/proc/") + entry->d_name;
      if (ReadFile(proc + "/comm") == "monitor-exec\n" &&
          ReadFile(proc + "/cmdline").find(argument) != std::string::npos) {
        found = static_cast<pid_t>(pid);
      }
    }
    closedir(dir);
    if (found > 0) return found;
    proc::SleepUs(2000);
  }
  return 0;
}

// Waits until pid is in the state given, as /proc shows it; false once the
// deadline has passed.
bool ReachesState(pid_t pid, char state) {
  const long long give_up = proc::Now() + proc::kDeadlineNs;
  while (proc::State(pid) != state) {
    if (proc::Now() > give_up) return false;
    proc::SleepUs(2000);
  }
  return true;
}

// Waits until the file holds a whole line; false once the deadline has passed.
bool HoldsALine(const std::string& path) {
  const long long give_up = proc::Now() + proc::kDeadlineNs;
  while (ReadFile(path).find('\n') == std::string::npos) {
    if (proc::Now() > give_up) return false;
    proc::SleepUs(2000);
  }
  return true;
}

TEST_F(Companion, WaitsForTheProgramThatADeployReplaces) {
  const std::string program = Path("server");
  // The deploy goes in step with the companion. Before the program is
  // found, the companion sleeps only in its wait for the file, and after
  // its start line only in its pause between two tries of execve: the file
  // is created once the companion waits for it, and held open for writing,
  // which makes execve fail with ETXTBSY, until a try has failed.
  const pid_t deploy = fork();
  if (deploy == 0) {
    const pid_t companion = CompanionNaming(program);
    if (companion <= 1 || !ReachesState(companion, 'S')) _exit(1);
    const int fd = open(program.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (fd < 0 || !HoldsALine(Path("log")) || !ReachesState(companion, 'S')) _exit(2);
    const char script[] = "#!/bin/sh\necho deployed\n";
    if (write(fd, script, sizeof script - 1) != sizeof script - 1) _exit(3);
    _exit(close(fd) == 0 ? 0 : 4);
  }
  ASSERT_GT(deploy, 0);
  started_.push_back(deploy);
  const Outcome outcome = Run({"--end=none", "--output-fd=3", "--log-fd=4", program});
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error << outcome.log;
  EXPECT_EQ(outcome.output, "deployed\n");
  EXPECT_EQ(harness::WaitForExit(deploy), 0) << "the deploy missed a step";
}

TEST_F(Companion, GivesUpOnAMissingProgramAfterTheWait) {
  const Outcome outcome = Run({"--deploy-wait=1", "--log-fd=4", Path("never")});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kFailed) << outcome.status;
  EXPECT_GE(outcome.ms, 1000);
  EXPECT_NE(outcome.log.find("never: no executable file after 1 s"), std::string::npos) << outcome.log;
  EXPECT_NE(outcome.error.find("monitor-exec: "), std::string::npos) << outcome.error;
  // Nor is a file that is not executable, a directory, or a path too long
  // for one, whose start names /bin/true, taken for the program.
  const std::string plain = Path("plain");
  ASSERT_EQ(close(open(plain.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)), 0);
  const std::string too_long = std::string(PATH_MAX - 1 - strlen("/bin/true"), '/') + "/bin/true" + "x";
  for (const std::string& program : {plain, std::string(dir_), too_long}) {
    const Outcome other = Run({"--deploy-wait=0", program});
    EXPECT_TRUE(WIFEXITED(other.status) && WEXITSTATUS(other.status) == companion::kFailed) << program.substr(0, 80);
    // The long path's line is cut short before its end.
    if (program != too_long) {
      EXPECT_NE(other.error.find(": no executable file after 0 s"), std::string::npos) << other.error;
    }
  }
}

TEST_F(Companion, GivesUpOnAProgramFoundNowhereAlongPath) {
  const Outcome outcome = Run({"--deploy-wait=0", "/usr/bin/env", "PATH=" + std::string(dir_), MONITOR_EXEC_PATH,
                               "--end=none", "--deploy-wait=0", "no-such-program-here"});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kFailed) << outcome.status;
  EXPECT_NE(outcome.error.find("no-such-program-here: no executable file after 0 s"), std::string::npos)
      << outcome.error;
}

// A program that execve refuses: as a file not yet whole, an interpreter
// not yet installed, or a user over its process limit for a moment, which
// a deploy or a busy moment causes, until the deploy's wait is over; a
// failure that neither causes, at once.
struct ExecFailure {
  const char* name;
  const char* script;  // the program's text, "#!SELF" naming itself; none: /bin/true as nobody
  bool waited_out;
  const char* said;
};

class Execution : public Companion, public ::testing::WithParamInterface<ExecFailure> {};

TEST_P(Execution, FailsOnceTheDeploysWaitIsOverWhereADeployCanBeTheCause) {
  const ExecFailure& failure = GetParam();
  std::string program = "/bin/true";
  std::vector<std::string> args{"--deploy-wait=" + std::string(failure.waited_out ? "1" : "5"), program};
  if (failure.script != nullptr) {
    program = Path("program");
    std::string script = failure.script;
    if (script == "#!SELF\n") script = "#!" + program + "\n";
    const int fd = open(program.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
    ASSERT_EQ(close(fd), 0);
    args.back() = program;
  } else {
    // Taking on a user whose processes are over the limit marks this one,
    // and execve fails with EAGAIN while that lasts: nobody is given one
    // process, over a limit of none.
    if (geteuid() != 0) GTEST_SKIP() << "changing the user takes root";
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    const pid_t holder = fork();
    if (holder == 0) {
      if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0 ||
          write(ready[1], "", 1) != 1) {
        _exit(1);
      }
      Forever();
    }
    ASSERT_GT(holder, 0);
    started_.push_back(holder);
    close(ready[1]);
    char byte = 0;
    pollfd readable{ready[0], POLLIN, 0};
    const bool held = poll(&readable, 1, harness::kDeadlineMs) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    ASSERT_TRUE(held) << "no process of nobody's could be made";
    args.insert(args.begin(), {"--end=none", "/usr/bin/prlimit", "--nproc=0", MONITOR_EXEC_PATH, "--end=none",
                               "--log-fd=2", "--user=nobody"});
  }
  const Outcome outcome = Run(args);
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kFailed) << outcome.status;
  EXPECT_NE(outcome.error.find("monitor-exec: cannot execute " + program + ": " + failure.said), std::string::npos)
      << outcome.error;
  if (failure.waited_out) {
    EXPECT_GE(outcome.ms, 1000) << "given up before the deploy's wait was over";
  } else {
    EXPECT_LT(outcome.ms, 4000) << "a failure that no deploy causes must not be waited out";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, Execution,
    ::testing::Values(ExecFailure{"InterpreterNamingItself", "#!SELF\n", false, "Too many levels of symbolic links"},
                      ExecFailure{"EmptyFile", "", true, "Exec format error"},
                      ExecFailure{"MissingInterpreter", "#!/no/such/interpreter\n", true, "No such file or directory"},
                      ExecFailure{"DirectoryForInterpreter", "#!/\n", true, "Permission denied"},
                      ExecFailure{"UserOverItsProcessLimit", nullptr, true, "Resource temporarily unavailable"}),
    [](const auto& test) { return std::string(test.param.name); });

// --- Staying as the parent --------------------------------------------------------

TEST_F(Companion, StayingTurnsAListedExitIntoADeathNoSoonerThanASecond) {
  const Outcome listed = Run({"--stay-for=3,128-159", "--log-fd=4", "/bin/sh", "-c", "echo $$ >&3; exit 3"});
  ASSERT_TRUE(WIFSIGNALED(listed.status)) << listed.status << listed.error;
  EXPECT_EQ(WTERMSIG(listed.status), SIGKILL);
  EXPECT_GE(listed.ms, 1000) << "a quick exit must be held for a second";
  EXPECT_NE(listed.output, std::to_string(listed.companion) + "\n") << "the program must be the companion's child";
  EXPECT_NE(listed.log.find("exited with code 3"), std::string::npos) << listed.log;

  const Outcome high = Run({"--stay-for=3,128-159", "/bin/sh", "-c", "exit 140"});
  EXPECT_TRUE(WIFSIGNALED(high.status) && WTERMSIG(high.status) == SIGKILL) << high.status;

  const Outcome unlisted = Run({"--stay-for=3,128-159", "/bin/sh", "-c", "exit 4"});
  EXPECT_TRUE(WIFEXITED(unlisted.status) && WEXITSTATUS(unlisted.status) == 4) << unlisted.status;
  EXPECT_LT(unlisted.ms, 900) << "an exit not listed is passed on at once";
}

TEST_F(Companion, StayingDiesAsTheProgramDid) {
  const Outcome outcome = Run({"--stay-for=1", "/bin/sh", "-c", "kill -SEGV $$"});
  ASSERT_TRUE(WIFSIGNALED(outcome.status)) << outcome.status;
  EXPECT_EQ(WTERMSIG(outcome.status), SIGSEGV);
}

TEST_F(Companion, StayingPassesSignalsOn) {
  // The program exits 7 on SIGUSR1 once it is ready; the signals go to the
  // companion, whose pid the program reads as its parent's. Before that,
  // the companion is stopped and continued, which cuts its wait for
  // signals short, and the program is stopped and continued through it:
  // neither is taken for the program's end.
  const std::string ready = Path("ready");
  const pid_t sender = fork();
  if (sender == 0) {
    const long long give_up = proc::Now() + proc::kDeadlineNs;
    std::string text;
    while ((text = ReadFile(ready)).empty() || text.back() != '\n') {
      if (proc::Now() > give_up) _exit(1);
      proc::SleepUs(10000);
    }
    const pid_t companion = static_cast<pid_t>(std::stol(text));
    const pid_t program = static_cast<pid_t>(std::stol(text.substr(text.find(' '))));
    if (companion <= 1 || program <= 1) _exit(2);
    // The program is stopped directly: in a process group with no parent
    // outside it in its session, the kernel discards SIGTSTP.
    const bool stepped = kill(companion, SIGSTOP) == 0 && ReachesState(companion, 'T') &&
                         kill(companion, SIGCONT) == 0 && ReachesState(companion, 'S') && kill(program, SIGSTOP) == 0 &&
                         ReachesState(program, 'T') && kill(companion, SIGCONT) == 0 && ReachesState(program, 'S');
    _exit(stepped && kill(companion, SIGUSR1) == 0 ? 0 : 3);
  }
  ASSERT_GT(sender, 0);
  started_.push_back(sender);
  const Outcome outcome = Run({"--stay-for=1", "/bin/sh", "-c",
                               "trap 'exit 7' USR1; echo $PPID $$ > " + ready + "; while :; do sleep 0.05; done"});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 7) << outcome.status;
  EXPECT_EQ(harness::WaitForExit(sender), 0) << "a signal was not passed on in time";
}

// --- Exit code lists, read as the staying mode reads them -------------------------------

TEST(StartLine, IsCutShortWithinItsBuffer) {
  // A path longer than the line: the line is cut, ends within its buffer,
  // and the bytes after it are untouched.
  char buffer[48];
  memset(buffer, '#', sizeof buffer);
  const std::string program = "/" + std::string(200, 'p');
  companion::Leftovers leftovers;
  leftovers.active = true;
  companion::Ended ended;
  ended.count = 3;
  companion::FormatStartLine(buffer, 32, program.c_str(), 42, leftovers, ended);
  EXPECT_EQ(strlen(buffer), 31u);
  EXPECT_EQ(std::string(buffer), program.substr(0, 31));
  EXPECT_EQ(std::string(buffer + 32, sizeof buffer - 32), std::string(sizeof buffer - 32, '#'));
  // One that fits says everything.
  char whole[128];
  ended.first[0] = 7;
  ended.first[1] = 8;
  ended.first[2] = 9;
  ended.elapsed_ms = 5;
  ended.still_present = 1;
  companion::FormatStartLine(whole, sizeof whole, "/x", 42, leftovers, ended);
  EXPECT_STREQ(whole, "/x started, pid 42; ended 3 leftovers (7 8 9) in 5 ms, 1 still present after the wait");
  // One leftover, and more than the eight it names.
  ended = companion::Ended{};
  ended.count = 1;
  ended.first[0] = 7;
  companion::FormatStartLine(whole, sizeof whole, "/x", 42, leftovers, ended);
  EXPECT_STREQ(whole, "/x started, pid 42; ended 1 leftover (7) in 0 ms");
  ended.count = 10;
  for (int at = 0; at < 8; ++at) ended.first[at] = 100 + at;
  companion::FormatStartLine(whole, sizeof whole, "/x", 42, leftovers, ended);
  EXPECT_STREQ(whole, "/x started, pid 42; ended 10 leftovers (100 101 102 103 104 105 106 107 ...) in 0 ms");
}

TEST(Reason, IsOneLineCutShortWithAMark) {
  companion::Reason reason{};
  companion::Say(&reason, "no such user: %s", "a\nb");
  EXPECT_STREQ(reason.text, "no such user: a?b");
  companion::Say(&reason, "%s", std::string(300, 'x').c_str());
  EXPECT_EQ(std::string(reason.text), std::string(sizeof reason.text - 4, 'x') + "...");
}

TEST(Decimal, TakesAPlainNumberNoGreaterThanItsLimit) {
  unsigned long long value = 0;
  EXPECT_TRUE(companion::Decimal("9", 9, &value));
  EXPECT_EQ(value, 9u);
  // A limit below a digit: no wrapping around.
  EXPECT_FALSE(companion::Decimal("5", 3, &value));
}

TEST(ListedCode, ReadsCodesAndRanges) {
  EXPECT_TRUE(companion::ValidCodes("1,128-159"));
  for (int code : {1, 128, 140, 159}) EXPECT_TRUE(companion::ListedCode("1,128-159", code)) << code;
  for (int code : {0, 2, 127, 160, 255}) EXPECT_FALSE(companion::ListedCode("1,128-159", code)) << code;
  EXPECT_TRUE(companion::ListedCode("255", 255));
  EXPECT_TRUE(companion::ListedCode("0-0", 0));
  EXPECT_FALSE(companion::ListedCode("7", 70));
  for (const char* malformed : {"", "1,", ",1", "5-3", "1-", "-1", "256", "01", "1,,2", "1 2", "00000001"}) {
    EXPECT_FALSE(companion::ValidCodes(malformed)) << malformed;
  }
  // Unchecked, a backwards range lists nothing, not the codes between.
  EXPECT_FALSE(companion::ListedCode("5-3", 4));
}

}  // namespace
