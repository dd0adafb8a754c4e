// monitor-exec, the real binary, run the way monitor runs it: as the child
// of a session and group leader standing in for the supervisor, with
// leftovers of a previous instance in that group. Each case reads what the
// program it executed really got (its pid, signals, user, limits), and
// what was left running.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "companion.h"
#include "proc.h"

namespace {

// What /dev/log is for the stand-in supervisor and the companion.
enum class SystemLog {
  kMachine,       // the machine's, untouched
  kAbsent,        // none: /dev is an empty directory
  kStream,        // a stream socket, listening, read once the companion has ended
  kFullDatagram,  // a datagram socket that never reads, its queue full
};

// How the stand-in supervisor is set up around the companion.
struct Around {
  bool leader = true;            // leads its session and group, as monitor does
  int leftovers = 0;             // processes of the previous instance in the group
  bool outsider = false;         // a process of the same parent in another group
  bool monitor_mask = false;     // SIGTERM blocked and SIGUSR1 ignored, as given
  bool other_namespace = false;  // in a PID namespace of its own, /proc the test's
  bool same_pid = false;         // with other_namespace: the companion numbered alike in both
  SystemLog system_log = SystemLog::kMachine;
  bool log_fd = true;  // --log-fd=4 given first; never false with the machine's /dev/log
};

struct Outcome {
  int status = -1;
  long long ms = 0;
  pid_t companion = 0;
  pid_t leftovers[4] = {};
  pid_t outsider = 0;
  std::string error;       // standard error
  std::string log;         // descriptor 4, for --log-fd=4
  std::string output;      // descriptor 3, for --output-fd=3, and standard output
  std::string system_log;  // what a stream socket at /dev/log received
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
  return state != '?' && state != 'Z' && state != 'X';
}

[[noreturn]] void Forever() {
  while (true) pause();
}

class Companion : public ::testing::Test {
 public:
  void SetUp() override { ASSERT_TRUE(proc::MakeScratch("companion", dir_, sizeof dir_)); }
  void TearDown() override {
    // A copy of the group database bound over it by a test, if any.
    static_cast<void>(umount2("/etc/group", MNT_DETACH));
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
    outcome.system_log = ReadFile(Path("system-log"));
    return outcome;
  }

  std::vector<pid_t> started_;
  std::vector<pid_t> groups_;
  char dir_[256] = "";

 private:
  [[noreturn]] void Supervise(const std::vector<std::string>& args, const Around& setup, int report) {
    if (setup.leader ? setsid() < 0 : setpgid(0, 0) != 0) _exit(1);
    const int system_log = setup.system_log == SystemLog::kMachine ? -1 : OwnSystemLog(setup.system_log);
    if (setup.other_namespace) EnterPidNamespace();
    Report got{};
    // The first leftover has a child of its own, which is ended too; it
    // says when the child is there, so that no fork of a leftover comes
    // after the companion's.
    int forked[2];
    if (setup.leftovers > 0 && pipe2(forked, O_CLOEXEC) != 0) _exit(1);
    for (int at = 0; at < setup.leftovers && at < 4; ++at) {
      got.leftovers[at] = fork();
      if (got.leftovers[at] == 0) {
        const pid_t child = at == 0 ? fork() : 0;
        if (child < 0 || (child > 0 && write(forked[1], "f", 1) != 1)) _exit(1);
        Forever();
      }
      char done = 0;
      if (at == 0 && read(forked[0], &done, 1) != 1) _exit(1);
      // Numbered as the new namespace numbers them: not this test's to name.
      if (setup.other_namespace) got.leftovers[at] = 0;
    }
    if (setup.outsider) {
      got.outsider = fork();
      if (got.outsider == 0) {
        setpgid(0, 0);
        Forever();
      }
    }
    if (setup.same_pid) NumberTheNextAsTheTestsNamespaceWill();
    const long long started = proc::Now();
    got.companion = fork();
    if (got.companion == 0) Execute(args, setup);
    if (got.companion > 0) waitpid(got.companion, &got.status, 0);
    got.ms = (proc::Now() - started) / 1000000;
    if (setup.system_log == SystemLog::kStream) SaveWhatTheLogGot(system_log);
    if (write(report, &got, sizeof got) != sizeof got) _exit(1);
    Forever();
  }

  // Puts an empty directory of the scratch over /dev, in a mount namespace
  // of this process's own, so that the machine's /dev is never touched, and
  // in it a socket at /dev/log as asked. Returns that socket, or -1.
  int OwnSystemLog(SystemLog kind) {
    const std::string dev = Path("dev");
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mkdir(dev.c_str(), 0755) != 0 || mount(dev.c_str(), "/dev", nullptr, MS_BIND, nullptr) != 0) {
      _exit(1);
    }
    if (kind == SystemLog::kAbsent) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/dev/log");
    const sockaddr* named = reinterpret_cast<const sockaddr*>(&address);
    const bool stream = kind == SystemLog::kStream;
    // Not blocking, so that a stream log that no one connected to is read
    // as empty.
    const int log = socket(AF_UNIX, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (log < 0 || bind(log, named, sizeof address) != 0 || (stream && listen(log, 4) != 0)) _exit(1);
    if (stream) return log;
    // Filled by a writer of its own until the queue takes no more: a log
    // that has stopped reading.
    const int writer = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (writer < 0 || connect(writer, named, sizeof address) != 0) _exit(1);
    for (int sent = 0; send(writer, "x", 1, 0) == 1; ++sent) {
      if (sent > 100000) _exit(1);
    }
    if (errno != EAGAIN) _exit(1);
    return log;
  }

  // Writes what a connection to the stream log carried, whole, to the file
  // system-log.
  void SaveWhatTheLogGot(int log) {
    const int connection = accept4(log, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    const int saved = open(Path("system-log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    char piece[4096];
    ssize_t got = 0;
    // The companion has ended: the connection ends where what it sent does.
    while (saved >= 0 && (got = read(connection, piece, sizeof piece)) > 0) {
      if (write(saved, piece, static_cast<size_t>(got)) != got) _exit(1);
    }
    close(connection);
    if (saved >= 0) close(saved);
  }

  // Makes the next process forked here numbered in the new PID namespace as
  // in the test's, whose /proc the companion reads: this process's own
  // number there, plus one, as nothing else forks in between.
  static void NumberTheNextAsTheTestsNamespaceWill() {
    char status[4096];
    if (!companion::ReadSmallFile("/proc/self/status", status, sizeof status)) _exit(1);
    const char* numbers = companion::StatusField(status, "NSpid");
    const long in_the_tests = numbers != nullptr ? strtol(numbers, nullptr, 10) : 0;
    const std::string last = std::to_string(in_the_tests);
    const int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    if (in_the_tests <= 1 || fd < 0 || write(fd, last.data(), last.size()) != static_cast<ssize_t>(last.size())) {
      _exit(1);
    }
    close(fd);
  }

  // Goes on as process 2 of a new PID namespace, in this process's group,
  // with /proc still this test's: process 1 holds the namespace, and this
  // process stays the group's leader, which TearDown ends with the rest.
  static void EnterPidNamespace() {
    if (unshare(CLONE_NEWPID) != 0) _exit(1);
    const pid_t init = fork();
    if (init < 0) _exit(1);
    if (init > 0) Forever();
    const pid_t second = fork();
    if (second < 0) _exit(1);
    if (second > 0) Forever();
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
    // LeakSanitizer reads /proc/PID/task as the program ends, which a /proc
    // of another namespace may not have: a sanitized companion's refusal
    // would end in its fatal error instead.
    if (setup.other_namespace) {
      const char* asan_options = getenv("ASAN_OPTIONS");
      const std::string options = std::string(asan_options != nullptr ? asan_options : "") + ":detect_leaks=0";
      if (setenv("ASAN_OPTIONS", options.c_str(), 1) != 0) _exit(120);
    }
    // Start lines go to the log file, never to the machine's system log; a
    // --log-fd given later in args takes its place.
    std::vector<char*> argv{const_cast<char*>(MONITOR_EXEC_PATH)};
    if (setup.log_fd) argv.push_back(const_cast<char*>("--log-fd=4"));
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

// Puts a copy of /etc/group with user added to group's members over
// /etc/group, in this test's own mount namespace; false where it cannot.
bool AddToGroupDatabase(const std::string& scratch, const char* user, const char* group) {
  // Only as the first process of its own namespaces, as ctest runs it, whose
  // mounts no one else sees.
  if (getpid() != 1) return false;
  std::string text = ReadFile("/etc/group");
  const std::string start = std::string(group) + ":";
  const size_t at = text.rfind("\n" + start) != std::string::npos ? text.find("\n" + start) + 1 : text.rfind(start, 0);
  if (at == std::string::npos) return false;
  const size_t end = text.find('\n', at);
  const bool has_members = text[end - 1] != ':';
  text.insert(end, std::string(has_members ? "," : "") + user);
  const std::string copy = scratch + "/group";
  const int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  return written && mount(copy.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) == 0;
}

// A line of /proc/self/status as the program read it: "SigBlk:\t0000...".
std::string StatusLine(const std::string& status, const std::string& key) {
  const size_t at = status.find(key + ":\t");
  if (at == std::string::npos) return "";
  return status.substr(at + key.size() + 2, status.find('\n', at) - at - key.size() - 2);
}

// --- Refusals: one line, status 100, nothing changed ---------------------

class Refusal : public Companion, public ::testing::WithParamInterface<std::vector<std::string>> {};

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
                      std::vector<std::string>{"--end=service"}));

TEST_F(Companion, RefusesWithoutAProgram) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"--end-wait"},
                           std::vector<std::string>{"--keep-signals", "--"}}) {
    const Outcome outcome = Run(args);
    EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kRefused) << outcome.status;
    EXPECT_NE(outcome.error.find("monitor-exec: "), std::string::npos) << outcome.error;
  }
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
}

// --- Leftovers ----------------------------------------------------------------

// The first instance, under the real monitor, leaves processes of every kind
// and reports each as "left PID" on descriptor 3; once all six are there it
// dies by SIGKILL. The next says which of them still live, then exits.
const char* const kLeavesSix =
    "if [ ! -e \"$0/first\" ]; then : > \"$0/first\"\n"
    "  sleep 1000 & echo \"left $!\" >&3\n"                                                   // in the group
    "  setsid sleep 1000 & echo \"left $!\" >&3\n"                                            // a session of its own
    "  ( sleep 1000 & echo \"left $!\" >&3; exec sleep 1000 ) & echo \"left $!\" >&3\n"       // one with a child
    "  ( setsid sh -c 'echo \"left $$\" >&3; sleep 1000 & echo \"left $!\" >&3; wait' & )\n"  // a daemon
    "  n=0; while [ $(grep -c '^left' \"$0/output\") -lt 6 ] && [ $n -lt 2000 ]; do sleep 0.01; n=$((n+1)); done\n"
    "  kill -KILL $$\n"
    "fi\n"
    "for p in $(sed -n 's/^left //p' \"$0/output\"); do\n"
    "  grep -qs '^State:.*[RSDT]' /proc/$p/status && echo \"alive $p\" >&3\n"
    "done\n"
    "echo \"second $$ $PPID\" >&3\n";

// What a run under the real monitor left in its files.
struct UnderMonitor {
  std::string output;  // descriptor 3: the script's reports
  std::string log;     // descriptor 4: the companion's start lines
  std::vector<pid_t> left;
  pid_t supervisor = 0;
  pid_t second = 0;
};

// The pids reported as "left PID", in order.
std::vector<pid_t> LeftIn(const std::string& output) {
  std::vector<pid_t> left;
  for (size_t at = 0; (at = output.find("left ", at)) != std::string::npos; at += 5) {
    left.push_back(static_cast<pid_t>(std::stol(output.substr(at + 5))));
  }
  return left;
}

// What a run under monitor changes around it.
struct AroundMonitor {
  // Added to monitor's environment, and so to its targets', with the
  // interposing library preloaded.
  std::vector<std::string> env;
  // Run first in the process that then executes monitor; false stops it.
  std::function<bool()> before;
  // Called while the second instance's companion is held at its first
  // pidfd_open: with its pid and the pid it asked for.
  std::function<void(pid_t companion, pid_t asked)> while_held;
};

// The descriptor on which the companion is held, in the interposing library.
constexpr int kHoldFd = 5;

// Holds the companion at its first pidfd_open, calls while_held, lets it go.
void WhileHeld(int hold, const std::function<void(pid_t, pid_t)>& while_held) {
  pollfd ready{hold, POLLIN, 0};
  char message[64];
  ssize_t got = 0;
  if (poll(&ready, 1, static_cast<int>(proc::kDeadlineNs / 1000000)) != 1 ||
      (got = read(hold, message, sizeof message - 1)) <= 0) {
    ADD_FAILURE() << "the companion never asked for a pidfd";
    return;
  }
  message[got] = '\0';
  char* asked = nullptr;
  const auto companion = static_cast<pid_t>(strtol(message, &asked, 10));
  while_held(companion, static_cast<pid_t>(strtol(asked, nullptr, 10)));
  EXPECT_EQ(write(hold, "g", 1), 1);
}

// Runs "monitor monitor-exec --log-fd=4 ARGS /bin/sh -c SCRIPT DIR" until
// the second instance has said "second"; the supervisor and everything it
// left are ended by TearDown. The companion has descriptors 0 to 4 (and
// kHoldFd if held), no others.
UnderMonitor RunUnderMonitor(Companion* test, const std::vector<std::string>& args, const char* script,
                             const AroundMonitor& around = AroundMonitor{}) {
  UnderMonitor run;
  const std::string output = test->Path("output");
  const std::string log = test->Path("log");
  // Appended to by every instance, so emptied once, here.
  for (const std::string* file : {&output, &log}) static_cast<void>(truncate(file->c_str(), 0));
  int hold[2] = {-1, -1};
  if (around.while_held && socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, hold) != 0) return run;
  const pid_t invoker = fork();
  if (invoker == 0) {
    // Above the numbers it is given, which it may have now.
    const int held = hold[1] >= 0 ? fcntl(hold[1], F_DUPFD_CLOEXEC, kHoldFd + 1) : -1;
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int logged = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out < 0 || logged < 0 || dup2(out, 3) != 3 || dup2(logged, 4) != 4) _exit(120);
    if (held >= 0 && (dup2(held, kHoldFd) != kHoldFd || setenv("PIDFD_HOLD_FD", "5", 1) != 0)) _exit(120);
    if (close_range(hold[1] >= 0 ? kHoldFd + 1 : kHoldFd, ~0U, 0) != 0) _exit(120);
    if (hold[1] >= 0 || !around.env.empty()) {
      // A sanitized companion wants its run-time first among the libraries;
      // the library must come before it to interpose.
      const char* asan_options = getenv("ASAN_OPTIONS");
      const std::string asan = std::string("verify_asan_link_order=0:") + (asan_options != nullptr ? asan_options : "");
      if (setenv("LD_PRELOAD", INTERPOSE_LIBRARY, 1) != 0 || setenv("ASAN_OPTIONS", asan.c_str(), 1) != 0) _exit(120);
      for (const std::string& variable : around.env) {
        const size_t equals = variable.find('=');
        if (setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1) != 0) _exit(120);
      }
    }
    if (around.before && !around.before()) _exit(122);
    std::vector<char*> argv{const_cast<char*>(MONITOR_PATH), const_cast<char*>(MONITOR_EXEC_PATH),
                            const_cast<char*>("--log-fd=4")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    for (const char* arg : {"/bin/sh", "-c", script}) argv.push_back(const_cast<char*>(arg));
    argv.push_back(test->dir_);
    argv.push_back(nullptr);
    execv(MONITOR_PATH, argv.data());
    _exit(121);
  }
  if (hold[1] >= 0) close(hold[1]);
  int status = -1;
  const bool started = invoker > 0 && waitpid(invoker, &status, 0) == invoker && status == 0;
  if (started && hold[0] >= 0) WhileHeld(hold[0], around.while_held);
  if (hold[0] >= 0) close(hold[0]);
  if (!started) return run;
  const long long give_up = proc::Now() + proc::kDeadlineNs;
  while ((run.output = ReadFile(output)).find("second ") == std::string::npos && proc::Now() < give_up) {
    proc::SleepUs(5000);
  }
  run.log = ReadFile(log);
  run.left = LeftIn(run.output);
  test->started_.insert(test->started_.end(), run.left.begin(), run.left.end());
  const size_t at = run.output.find("second ");
  if (at != std::string::npos) {
    run.second = static_cast<pid_t>(std::stol(run.output.substr(at + 7)));
    run.supervisor = static_cast<pid_t>(std::stol(run.output.substr(run.output.find(' ', at + 7) + 1)));
    test->groups_.push_back(run.supervisor);
    test->started_.push_back(run.supervisor);
  }
  return run;
}

TEST_F(Companion, EndsWhatEarlierInstancesLeftWhateverTheirSessionAndWaitsUntilTheyAreGone) {
  // A process of this test's own, outside the supervisor: never touched.
  const pid_t outsider = fork();
  if (outsider == 0) Forever();
  started_.push_back(outsider);
  const UnderMonitor run = RunUnderMonitor(this, {}, kLeavesSix);
  ASSERT_GT(run.second, 1) << run.output << run.log;
  ASSERT_EQ(run.left.size(), 6u) << run.output;
  EXPECT_EQ(run.output.find("alive"), std::string::npos) << "the second instance saw leftovers:\n" << run.output;
  for (const pid_t pid : run.left) EXPECT_FALSE(Alive(pid)) << pid;
  EXPECT_TRUE(Alive(outsider));
  EXPECT_TRUE(Alive(run.supervisor));
  // One line each: the first found none, the second ended all six.
  const size_t second_line = run.log.find('\n') + 1;
  EXPECT_NE(run.log.find("/bin/sh started, pid "), std::string::npos) << run.log;
  EXPECT_NE(run.log.substr(0, second_line).find("; no leftovers\n"), std::string::npos) << run.log;
  const std::string second = run.log.substr(second_line);
  EXPECT_EQ(second.rfind("monitor-exec[" + std::to_string(run.second) + "]: /bin/sh started, pid " +
                             std::to_string(run.second) + "; ended 6 leftovers (",
                         0),
            0u)
      << run.log;
  for (const pid_t pid : run.left) EXPECT_NE(second.find(std::to_string(pid)), std::string::npos) << pid;
  EXPECT_EQ(second.find("still present"), std::string::npos) << second;
}

TEST_F(Companion, SaysWhatWasStillPresentWhenTheWaitIsOver) {
  // With no wait at all, the leftovers are signalled once and the start
  // goes on, saying so.
  const UnderMonitor run = RunUnderMonitor(
      this, {"--end-wait=0"},
      "if [ ! -e \"$0/first\" ]; then : > \"$0/first\"; sleep 1000 & echo \"left $!\" >&3; sleep 1000 & "
      "echo \"left $!\" >&3; kill -KILL $$; fi; echo \"second $$ $PPID\" >&3");
  ASSERT_GT(run.second, 1) << run.output << run.log;
  EXPECT_NE(run.log.find("; ended 2 leftovers ("), std::string::npos) << run.log;
  EXPECT_NE(run.log.find(", 2 still present after the wait\n"), std::string::npos) << run.log;
}

// The first instance leaves one leftover, a shell that waits for a line on
// the FIFO "hop", then starts a process of its own and ends ("left PID" for
// each), and dies by SIGKILL once FIRST has run. The second raises its soft
// limit of open files, which a test may have lowered, then says "second".
std::string LeavesOneThatHops(const std::string& first = "") {
  return "if [ ! -e \"$0/first\" ]; then : > \"$0/first\"; mkfifo \"$0/hop\"\n"
         "  sh -c 'read x < \"$0/hop\"; sleep 1000 & echo \"left $!\" >&3' \"$0\" & echo \"left $!\" >&3\n  " +
         first + "\n  kill -KILL $$\nfi\nulimit -S -n 64\necho \"second $$ $PPID\" >&3\n";
}

// The second instance's start line.
std::string SecondLine(const UnderMonitor& run) { return run.log.substr(run.log.find('\n') + 1); }

// Waits, within the deadline, until condition holds.
bool Eventually(const std::function<bool()>& condition) {
  const long long give_up = proc::Now() + proc::kDeadlineNs;
  while (!condition()) {
    if (proc::Now() > give_up) return false;
    proc::SleepUs(1000);
  }
  return true;
}

// Starts a process of this test's own numbered pid, which must be free: the
// namespace's last number is set just below it, then this process forks,
// while nothing else here forks. 0 where it cannot.
pid_t StartNumbered(pid_t pid) {
  const std::string last = std::to_string(pid - 1);
  const int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const bool set = write(fd, last.data(), last.size()) == static_cast<ssize_t>(last.size());
  close(fd);
  if (!set) return 0;
  const pid_t child = fork();
  if (child == 0) Forever();
  return child;
}

// Writes a line to a FIFO once a reader has it open, within the deadline.
bool WriteLineToFifo(const std::string& path) {
  int fd = -1;
  if (!Eventually([&] { return (fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; })) return false;
  const bool written = write(fd, "\n", 1) == 1;
  close(fd);
  return written;
}

// What happens to the leftover while the companion is held between listing
// it and opening its pidfd.
enum class Meanwhile {
  kNumberTaken,      // it dies, is collected, and a process of the test's takes its number
  kEndsUncollected,  // it dies while monitor is stopped: a zombie child of monitor
  kForksAndEnds,     // it starts a process and ends, which leaves that process to monitor
};

struct Held {
  const char* name;
  Meanwhile meanwhile;
  const char* end_wait;
  const char* said;  // in the second start line
};

class HeldBetweenListingAndPidfd : public Companion, public ::testing::WithParamInterface<Held> {};

TEST_P(HeldBetweenListingAndPidfd, SignalsOnlyLeftoversAndSaysWhatIsLeft) {
  const Held& held = GetParam();
  if (held.meanwhile == Meanwhile::kNumberTaken && access("/proc/sys/kernel/ns_last_pid", W_OK) != 0) {
    GTEST_SKIP() << "pids cannot be chosen here";
  }
  pid_t other = 0;  // the process that took the number, or the one the leftover started
  pid_t supervisor = 0;
  AroundMonitor around;
  around.while_held = [&](pid_t companion, pid_t leftover) {
    ASSERT_GT(leftover, 1);
    switch (held.meanwhile) {
      case Meanwhile::kNumberTaken:
        kill(leftover, SIGKILL);
        ASSERT_TRUE(Eventually([&] { return proc::State(leftover) == '?'; })) << "monitor never collected it";
        other = StartNumbered(leftover);
        if (other > 1) started_.push_back(other);
        ASSERT_EQ(other, leftover) << "its number was not taken again";
        break;
      case Meanwhile::kEndsUncollected:
        supervisor = static_cast<pid_t>(proc::ProcNumber(companion, "status", "PPid:"));
        ASSERT_GT(supervisor, 1);
        kill(supervisor, SIGSTOP);
        ASSERT_TRUE(Eventually([&] { return proc::State(supervisor) == 'T'; }));
        kill(leftover, SIGKILL);
        ASSERT_TRUE(Eventually([&] { return proc::State(leftover) == 'Z'; }));
        break;
      case Meanwhile::kForksAndEnds:
        ASSERT_TRUE(WriteLineToFifo(Path("hop")));
        ASSERT_TRUE(Eventually([&] { return LeftIn(ReadFile(Path("output"))).size() == 2 && !Alive(leftover); }));
        other = LeftIn(ReadFile(Path("output")))[1];
        break;
    }
  };
  const UnderMonitor run =
      RunUnderMonitor(this, {std::string("--end-wait=") + held.end_wait}, LeavesOneThatHops().c_str(), around);
  if (supervisor > 1) kill(supervisor, SIGCONT);
  ASSERT_GT(run.second, 1) << run.output << run.log;
  if (other > 1) {
    EXPECT_TRUE(Alive(other)) << "a process that is no leftover of the supervisor's was ended";
  }
  EXPECT_NE(SecondLine(run).find(held.said), std::string::npos) << run.log;
}

INSTANTIATE_TEST_SUITE_P(
    Leftovers, HeldBetweenListingAndPidfd,
    ::testing::Values(Held{"NumberTakenByAnOutsider", Meanwhile::kNumberTaken, "10", "; no leftovers\n"},
                      Held{"ZombieNotCountedAsLiving", Meanwhile::kEndsUncollected, "1", "; no leftovers\n"},
                      Held{"ForkedThenEndedWithNoWaitLeft", Meanwhile::kForksAndEnds, "0",
                           "; leftovers: 1 still present after the wait\n"}),
    [](const ::testing::TestParamInfo<Held>& row) { return std::string(row.param.name); });

// pidfd_open refused, as by a kernel before 5.3 or a seccomp filter: no
// leftover can be held while it is proved, so none is signalled, and the
// start goes on at once instead of after the whole --end-wait.
class WithoutPidfd : public Companion, public ::testing::WithParamInterface<int> {};

TEST_P(WithoutPidfd, SignalsNothingAndStartsAtOnceSayingWhy) {
  AroundMonitor around;
  around.env = {"PIDFD_OPEN_FAIL=" + std::to_string(GetParam())};
  // Had it waited a day, "second" would never have come.
  const UnderMonitor run = RunUnderMonitor(this, {"--end-wait=86400"}, LeavesOneThatHops().c_str(), around);
  ASSERT_GT(run.second, 1) << run.output << run.log;
  ASSERT_EQ(run.left.size(), 1u) << run.output;
  EXPECT_TRUE(Alive(run.left[0]));
  EXPECT_NE(SecondLine(run).find("; leftovers: 1 still present after the wait; leftovers not all seen: no pidfd to "
                                 "end a leftover through: " +
                                 std::string(strerror(GetParam())) + "\n"),
            std::string::npos)
      << run.log;
}

INSTANTIATE_TEST_SUITE_P(Leftovers, WithoutPidfd, ::testing::Values(ENOSYS, EPERM));

// The lowest descriptor number that pid has not open.
int LowestFreeDescriptor(pid_t pid) {
  for (int fd = 0;; ++fd) {
    struct stat link {};
    if (lstat(("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)).c_str(), &link) != 0) return fd;
  }
}

// Too few descriptors: from the start, for the monitor's command line to be
// compared with the companion's; or, set at the first pidfd_open, for the
// pidfd, or for the list read again once the pidfd is open.
struct Shortage {
  const char* name;
  int free_at_pidfd;  // -1: the limit is low from the start
  const char* said;
};

class ShortOfDescriptors : public Companion, public ::testing::WithParamInterface<Shortage> {};

TEST_P(ShortOfDescriptors, NeverSaysNoLeftoversNorWaitsPastTheEndWait) {
  const Shortage& shortage = GetParam();
  AroundMonitor around;
  if (shortage.free_at_pidfd >= 0) {
    around.while_held = [&](pid_t companion, pid_t) {
      rlimit files{};
      ASSERT_EQ(prlimit(companion, RLIMIT_NOFILE, nullptr, &files), 0);
      files.rlim_cur =
          static_cast<rlim_t>(LowestFreeDescriptor(companion)) + static_cast<rlim_t>(shortage.free_at_pidfd);
      ASSERT_EQ(prlimit(companion, RLIMIT_NOFILE, &files, nullptr), 0);
    };
  }
  // From the start: the first instance lowers monitor's soft limit, which
  // the next companion inherits, to 6: descriptors 0 to 4 are open, one
  // more can be.
  const std::string script = LeavesOneThatHops(shortage.free_at_pidfd < 0 ? "prlimit --pid $PPID --nofile=6:" : "");
  const UnderMonitor run = RunUnderMonitor(this, {"--end-wait=1"}, script.c_str(), around);
  ASSERT_GT(run.second, 1) << run.output << run.log;
  ASSERT_EQ(run.left.size(), 1u) << run.output;
  EXPECT_TRUE(Alive(run.left[0]));
  EXPECT_EQ(SecondLine(run).find("no leftovers"), std::string::npos) << run.log;
  EXPECT_NE(SecondLine(run).find(shortage.said), std::string::npos) << run.log;
}

INSTANTIATE_TEST_SUITE_P(
    Leftovers, ShortOfDescriptors,
    ::testing::Values(Shortage{"FromTheStart", -1,
                               "; leftovers not looked for: cannot read /proc/self/cmdline: Too many open files\n"},
                      Shortage{"ForThePidfd", 0,
                               "; leftovers: 1 still present after the wait; leftovers not all seen: no pidfd to end "
                               "a leftover through: Too many open files\n"},
                      Shortage{"ForTheSecondList", 1,
                               "; leftovers: 1 still present after the wait; leftovers not all seen: the "
                               "supervisor's children cannot be listed: Too many open files\n"}),
    [](const ::testing::TestParamInfo<Shortage>& row) { return std::string(row.param.name); });

// Mounts, in a mount namespace of this process's own, a /proc that shows a
// process only to whoever may trace it or is in group gid (by default root's
// group, which is why another is named), and drops CAP_SYS_PTRACE for good:
// root then sees no process of another user there.
bool HideOtherUsersFromRoot(gid_t gid) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  const unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
  const std::string invisible = "hidepid=invisible,gid=" + std::to_string(gid);
  const std::string older = "hidepid=2,gid=" + std::to_string(gid);
  if (mount("proc", "/proc", "proc", flags, invisible.c_str()) != 0 &&
      mount("proc", "/proc", "proc", flags, older.c_str()) != 0) {
    return false;
  }
  if (prctl(PR_CAPBSET_DROP, CAP_SYS_PTRACE, 0, 0, 0) != 0) return false;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct capabilities[2] = {};
  if (syscall(SYS_capget, &header, capabilities) != 0) return false;
  const unsigned bit = 1U << (CAP_SYS_PTRACE % 32);
  __user_cap_data_struct& word = capabilities[CAP_SYS_PTRACE / 32];
  word.effective &= ~bit;
  word.permitted &= ~bit;
  word.inheritable &= ~bit;
  return syscall(SYS_capset, &header, capabilities) == 0;
}

TEST_F(Companion, EndsLeftoversOfAnotherUserThatProcHides) {
  if (geteuid() != 0) GTEST_SKIP() << "a leftover of another user takes root";
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  // The leftover runs as nobody; the first instance says "hidden" once
  // /proc no longer shows it, as the companion will not see it either.
  const std::string script =
      "if [ ! -e \"$0/first\" ]; then : > \"$0/first\"\n  setpriv --reuid=" + std::to_string(nobody->pw_uid) +
      " --regid=" + std::to_string(nobody->pw_gid) +
      " --clear-groups sleep 1000 & echo \"left $!\" >&3\n"
      "  n=0; while [ -e /proc/$! ] && [ $n -lt 500 ]; do sleep 0.01; n=$((n+1)); done\n"
      "  [ -e /proc/$! ] || echo \"hidden $!\" >&3\n"
      "  kill -KILL $$\nfi\necho \"second $$ $PPID\" >&3\n";
  AroundMonitor around;
  // nobody's group, which root is not in.
  around.before = [gid = nobody->pw_gid] { return HideOtherUsersFromRoot(gid); };
  const UnderMonitor run = RunUnderMonitor(this, {}, script.c_str(), around);
  ASSERT_GT(run.second, 1) << run.output << run.log;
  ASSERT_EQ(run.left.size(), 1u) << run.output;
  const std::string leftover = std::to_string(run.left[0]);
  ASSERT_NE(run.output.find("hidden " + leftover), std::string::npos) << "/proc showed it:\n" << run.output;
  EXPECT_FALSE(Alive(run.left[0]));
  EXPECT_NE(SecondLine(run).find("; ended 1 leftover (" + leftover + ") in "), std::string::npos) << run.log;
}

// The processes named name (as their command's file is named), in this
// test's namespace.
std::vector<pid_t> Named(const char* name) {
  std::vector<pid_t> named;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return named;
  while (const dirent* entry = readdir(processes)) {
    const long pid = strtol(entry->d_name, nullptr, 10);
    if (pid > 1 && ReadFile(std::string("/proc/") + entry->d_name + "/comm") == std::string(name) + "\n") {
      named.push_back(static_cast<pid_t>(pid));
    }
  }
  closedir(processes);
  return named;
}

TEST_F(Companion, EndsALeftoverThatKeepsForkingUntilNoneIsLeft) {
  // Each copy of the hopper starts a bombling and, until its count is
  // spent, its own next copy, and waits for them: ending one leaves its
  // children to the supervisor, so that each round finds new ones, while
  // the copies further down still fork. The rounds must go on until there
  // are none.
  const std::string hopper = Path("hopper");
  const std::string text =
      "#!/bin/sh\necho \"hop $1\" >&3\n\"${0%/*}/bombling\" 1000 &\n"
      "if [ \"$1\" -gt 0 ]; then \"$0\" $(($1 - 1)) & fi\nwait\n";
  const int fd = open(hopper.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ASSERT_EQ(close(fd), 0);
  ASSERT_EQ(symlink("/bin/sleep", Path("bombling").c_str()), 0);
  const UnderMonitor run = RunUnderMonitor(
      this, {"--end-wait=30"},
      "if [ ! -e \"$0/first\" ]; then : > \"$0/first\"; \"$0/hopper\" 200 &\n"
      "  n=0; while [ $(grep -c '^hop' \"$0/output\") -lt 3 ] && [ $n -lt 1000 ]; do sleep 0.01; n=$((n+1)); done\n"
      "  kill -KILL $$\nfi\necho \"second $$ $PPID\" >&3\n");
  ASSERT_GT(run.second, 1) << run.output << run.log;
  for (const char* name : {"hopper", "bombling"}) {
    const std::vector<pid_t> left = Named(name);
    started_.insert(started_.end(), left.begin(), left.end());
    EXPECT_EQ(left.size(), 0u) << name << " is left";
  }
  EXPECT_NE(SecondLine(run).find("; ended "), std::string::npos) << run.log;
  EXPECT_EQ(SecondLine(run).find("still present"), std::string::npos) << run.log;
}

TEST_F(Companion, EndsNothingWhereTheParentIsNotProvablyAMonitor) {
  // A shell that leads its session, and a monitor whose /proc is another
  // PID namespace's, even where the companion has the same number in both:
  // by default the program starts all the same, ending nothing and saying
  // why; asked for, the scope is refused; --end=none ends nothing even
  // under monitor.
  for (const int variant : {0, 1, 2}) {
    const bool other_namespace = variant > 0;
    Around setup{true, variant == 2 ? 0 : 1, false, false};
    setup.other_namespace = other_namespace;
    setup.same_pid = variant == 2;
    if (setup.same_pid && access("/proc/sys/kernel/ns_last_pid", W_OK) != 0) continue;
    const char* why = other_namespace ? "/proc is another PID namespace's" : "is not a monitor that runs this command";
    // The program, in the companion's pid, writes its number as it sees it,
    // then as /proc does.
    const Outcome unproved = Run({"/bin/sh", "-c", "echo $$ >&3; exec readlink /proc/self >&3"}, setup);
    ASSERT_TRUE(WIFEXITED(unproved.status) && WEXITSTATUS(unproved.status) == 0) << unproved.error;
    if (!other_namespace) {
      EXPECT_TRUE(Alive(unproved.leftovers[0]));
    }
    const size_t second_number = unproved.output.find('\n') + 1;
    EXPECT_EQ(unproved.output.substr(0, second_number) == unproved.output.substr(second_number),
              !other_namespace || setup.same_pid)
        << unproved.output;
    EXPECT_NE(unproved.log.find("/bin/sh started, pid "), std::string::npos) << unproved.log;
    EXPECT_NE(unproved.log.find("; leftovers not looked for: "), std::string::npos) << unproved.log;
    EXPECT_NE(unproved.log.find(why), std::string::npos) << unproved.log;
    const Outcome asked = Run({"--end=leftovers", "/bin/sh", "-c", "echo ran >&3"}, setup);
    EXPECT_TRUE(WIFEXITED(asked.status) && WEXITSTATUS(asked.status) == companion::kRefused)
        << asked.status << asked.error;
    EXPECT_NE(asked.error.find("monitor-exec: cannot end leftovers: "), std::string::npos) << asked.error;
    EXPECT_NE(asked.error.find(why), std::string::npos) << asked.error;
    if (!other_namespace) {
      EXPECT_TRUE(Alive(asked.leftovers[0]));
    }
    EXPECT_EQ(asked.output, "");
  }
  const UnderMonitor none = RunUnderMonitor(
      this, {"--end=none"},
      "if [ ! -e \"$0/first\" ]; then : > \"$0/first\"; sleep 1000 & echo \"left $!\" >&3; kill -KILL $$; fi; "
      "echo \"second $$ $PPID\" >&3");
  ASSERT_EQ(none.left.size(), 1u) << none.output;
  EXPECT_TRUE(Alive(none.left[0]));
  EXPECT_EQ(none.log.find("leftover"), std::string::npos) << none.log;
}

TEST_F(Companion, KeepsItsOwnDescriptorsFromTheProgram) {
  // The output and log descriptors are the companion's; the program gets
  // the output as its standard streams only.
  const Outcome outcome = Run({"--output-fd=3", "--log-fd=4", "/bin/sh", "-c",
                               "for fd in 3 4; do { true >&$fd; } 2>/dev/null && echo open $fd; done; echo done"});
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error;
  EXPECT_EQ(outcome.output, "done\n");
}

// Where the start line goes without --log-fd: /dev/log, a datagram socket
// or, where it is one, a stream socket; standard error where there is none
// or it takes nothing (a log that stopped reading must not hold the start).
class StartLineDestination : public Companion, public ::testing::WithParamInterface<SystemLog> {};

TEST_P(StartLineDestination, ReachesTheSystemLogOrStandardErrorWithoutWaiting) {
  Around setup;
  setup.system_log = GetParam();
  setup.log_fd = false;
  const Outcome outcome = Run({"/bin/sh", "-c", "echo ran >&3"}, setup);
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.status << outcome.error;
  EXPECT_EQ(outcome.output, "ran\n");
  const std::string pid = std::to_string(outcome.companion);
  const std::string line = "monitor-exec[" + pid + "]: /bin/sh started, pid " + pid + "; ";
  if (GetParam() == SystemLog::kStream) {
    // Over a connection, with its priority (daemon, info), ended by a NUL.
    EXPECT_EQ(outcome.system_log.rfind("<30>" + line, 0), 0u) << outcome.system_log;
    EXPECT_EQ(outcome.system_log.find('\0'), outcome.system_log.size() - 1) << outcome.system_log;
    EXPECT_EQ(outcome.error, "");
  } else {
    EXPECT_EQ(outcome.error.rfind(line, 0), 0u) << outcome.error;
    EXPECT_EQ(std::count(outcome.error.begin(), outcome.error.end(), '\n'), 1) << outcome.error;
  }
}

std::string SystemLogName(const ::testing::TestParamInfo<SystemLog>& row) {
  const char* const names[] = {"Machine", "Absent", "Stream", "FullDatagram"};
  return names[static_cast<int>(row.param)];
}

INSTANTIATE_TEST_SUITE_P(Destinations, StartLineDestination,
                         ::testing::Values(SystemLog::kAbsent, SystemLog::kStream, SystemLog::kFullDatagram),
                         SystemLogName);

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
  // The first copy keeps descriptors 3 and 4 from what it executes; the
  // second one, found along PATH by env, writes both lines on its standard
  // output, which is the output file.
  const Outcome outcome = Run(
      {"--end=none", "/usr/bin/env", "PATH=" + bin, MONITOR_EXEC_PATH, "--end=none", "--log-fd=1", "say-it", "found"});
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error;
  EXPECT_NE(outcome.output.find(bin + "/say-it started, pid " + std::to_string(outcome.companion)), std::string::npos)
      << outcome.output;
  EXPECT_NE(outcome.output.find("\nfound\n"), std::string::npos) << outcome.output;
}

// --- A deploy -----------------------------------------------------------------------

TEST_F(Companion, WaitsForTheProgramThatADeployReplaces) {
  const std::string program = Path("server");
  // Written 300 ms after the start, then held open for writing for 300 ms
  // more, which makes execve fail with ETXTBSY.
  const pid_t deploy = fork();
  if (deploy == 0) {
    proc::SleepUs(300000);
    const int fd = open(program.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    const char script[] = "#!/bin/sh\necho deployed\n";
    if (fd < 0 || write(fd, script, sizeof script - 1) != sizeof script - 1) _exit(1);
    proc::SleepUs(300000);
    _exit(close(fd) == 0 ? 0 : 1);
  }
  ASSERT_GT(deploy, 0);
  started_.push_back(deploy);
  const Outcome outcome = Run({"--output-fd=3", "--log-fd=4", program});
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.error << outcome.log;
  EXPECT_EQ(outcome.output, "deployed\n");
  EXPECT_GE(outcome.ms, 250);
}

TEST_F(Companion, GivesUpOnAMissingProgramAfterTheWait) {
  const Outcome outcome = Run({"--deploy-wait=1", "--log-fd=4", Path("never")});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kFailed) << outcome.status;
  EXPECT_GE(outcome.ms, 1000);
  EXPECT_NE(outcome.log.find("never: no executable file after 1 s"), std::string::npos) << outcome.log;
  EXPECT_NE(outcome.error.find("monitor-exec: "), std::string::npos) << outcome.error;
}

TEST_F(Companion, GivesUpOnAProgramFoundNowhereAlongPath) {
  const Outcome outcome = Run({"--deploy-wait=0", "/usr/bin/env", "PATH=" + std::string(dir_), MONITOR_EXEC_PATH,
                               "--end=none", "--deploy-wait=0", "no-such-program-here"});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kFailed) << outcome.status;
  EXPECT_NE(outcome.error.find("no-such-program-here: no executable file after 0 s"), std::string::npos)
      << outcome.error;
}

TEST_F(Companion, FailsAtOnceWhereNoDeployIsTheCause) {
  // A script that names itself as its interpreter: execve fails with
  // ELOOP, which no deploy causes, so it is not tried again.
  const std::string program = Path("loop");
  const std::string script = "#!" + program + "\n";
  const int fd = open(program.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
  ASSERT_EQ(close(fd), 0);
  const Outcome outcome = Run({"--deploy-wait=5", program});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kFailed) << outcome.status;
  EXPECT_NE(outcome.error.find("cannot execute " + program + ": "), std::string::npos) << outcome.error;
  EXPECT_LT(outcome.ms, 4000) << "a failure that no deploy causes must not be waited out";
}

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
  // The program exits 7 on SIGUSR1 once it is ready; the signal goes to the
  // companion, whose pid the program reads as its parent's.
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
    _exit(companion > 1 && kill(companion, SIGUSR1) == 0 ? 0 : 1);
  }
  ASSERT_GT(sender, 0);
  started_.push_back(sender);
  const Outcome outcome = Run({"--stay-for=1", "/bin/sh", "-c",
                               "trap 'exit 7' USR1; echo $PPID > " + ready + "; while :; do sleep 0.05; done"});
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 7) << outcome.status;
}

// --- Exit code lists, read as the staying mode reads them -------------------------------

TEST(StartLine, CutsThePathNeverTheSummary) {
  // A path longer than the line: the path is cut, the pid and the leftovers
  // are said, the line ends within its buffer and the bytes after it are
  // untouched.
  char buffer[600];
  memset(buffer, '#', sizeof buffer);
  const std::string program = "/" + std::string(568, 'p');
  companion::Leftovers leftovers;
  leftovers.active = true;
  companion::Ended ended;
  ended.count = 3;
  ended.first[0] = 7;
  ended.first[1] = 8;
  ended.first[2] = 9;
  ended.elapsed_ms = 5;
  ended.still_present = 1;
  const std::string summary = " started, pid 42; ended 3 leftovers (7 8 9) in 5 ms, 1 still present after the wait";
  companion::FormatStartLine(buffer, 512, program.c_str(), 42, leftovers, ended);
  EXPECT_EQ(std::string(buffer), program.substr(0, 511 - summary.size() - 3) + "..." + summary);
  EXPECT_EQ(std::string(buffer + 512, sizeof buffer - 512), std::string(sizeof buffer - 512, '#'));
  // One that fits says everything; what could not be seen is said too.
  companion::FormatStartLine(buffer, 512, "/x", 42, leftovers, ended);
  EXPECT_EQ(std::string(buffer), "/x" + summary);
  static_cast<void>(snprintf(ended.unseen, sizeof ended.unseen, "no pidfd"));
  ended.count = 0;
  companion::FormatStartLine(buffer, 512, "/x", 42, leftovers, ended);
  EXPECT_STREQ(buffer,
               "/x started, pid 42; leftovers: 1 still present after the wait; leftovers not all seen: no pidfd");
}

TEST(ListedCode, ReadsCodesAndRanges) {
  EXPECT_TRUE(companion::ValidCodes("1,128-159"));
  for (int code : {1, 128, 140, 159}) EXPECT_TRUE(companion::ListedCode("1,128-159", code)) << code;
  for (int code : {0, 2, 127, 160, 255}) EXPECT_FALSE(companion::ListedCode("1,128-159", code)) << code;
  EXPECT_TRUE(companion::ListedCode("255", 255));
  EXPECT_TRUE(companion::ListedCode("0-0", 0));
  EXPECT_FALSE(companion::ListedCode("7", 70));
  for (const char* malformed : {"", "1,", ",1", "5-3", "1-", "-1", "256", "01", "1,,2", "1 2"}) {
    EXPECT_FALSE(companion::ValidCodes(malformed)) << malformed;
  }
}

}  // namespace
