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
#include <linux/capability.h>
#include <linux/securebits.h>
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
#include "harness.h"
#include "proc.h"

namespace {

// What /dev/log is for the stand-in supervisor and the companion.
enum class SystemLog {
  kMachine,       // the machine's, untouched
  kAbsent,        // none: /dev is an empty directory
  kStream,        // a stream socket, listening, read once the companion has ended
  kFullDatagram,  // a datagram socket that never reads, its queue full
  kSeqpacket,     // a socket of neither type, listening
  kNoSocket,      // a datagram socket, but the companion's socket() fails (EMFILE), interposed
};

// What /proc is for the stand-in supervisor and the companion.
enum class ProcView {
  kTests,        // the test's
  kNone,         // an empty file system over it
  kParentHidden  // one that shows only a user's own processes, the companion run as nobody
};

// How the stand-in supervisor is set up around the companion.
struct Around {
  bool leader = true;            // leads its session and group, as monitor does
  int leftovers = 0;             // processes of the previous instance in the group
  bool outsider = false;         // a process of the same parent in another group
  bool monitor_mask = false;     // SIGTERM blocked, SIGHUP, SIGUSR1 and SIGRTMAX ignored, as given
  bool other_namespace = false;  // in a PID namespace of its own, /proc the test's
  bool sigchld_ignored = false;  // SIGCHLD ignored, as a careless parent leaves it
  int without_capability = -1;   // dropped from the bounding set, so not held
  int securebits = 0;            // set before the companion starts, as a unit's SecureBits= does
  bool same_pid = false;         // with other_namespace: the companion numbered alike in both
  SystemLog system_log = SystemLog::kMachine;
  bool log_fd = true;       // --log-fd=4 given first; never false with the machine's /dev/log
  bool in_scratch = false;  // the companion started in the test's scratch directory
  ProcView proc = ProcView::kTests;
  bool error_full = false;  // standard error is /dev/full, which takes nothing
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
    if (setup.proc != ProcView::kTests) OwnProc(setup.proc);
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
    const bool stream = kind == SystemLog::kStream || kind == SystemLog::kSeqpacket;
    const int type = kind == SystemLog::kSeqpacket ? SOCK_SEQPACKET : stream ? SOCK_STREAM : SOCK_DGRAM;
    // Not blocking, so that a stream log that no one connected to is read
    // as empty.
    const int log = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (log < 0 || bind(log, named, sizeof address) != 0 || (stream && listen(log, 4) != 0)) _exit(1);
    if (stream || kind == SystemLog::kNoSocket) return log;
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

  // Puts a /proc as asked over the test's, in a mount namespace of this
  // process's own.
  static void OwnProc(ProcView view) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(1);
    const unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
    if (view == ProcView::kNone ? mount("none", "/proc", "tmpfs", flags, nullptr) != 0
                                : mount("proc", "/proc", "proc", flags, "hidepid=invisible") != 0 &&
                                      mount("proc", "/proc", "proc", flags, "hidepid=2") != 0) {
      _exit(1);
    }
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
      if (sigprocmask(SIG_BLOCK, &blocked, nullptr) != 0 || signal(SIGUSR1, SIG_IGN) == SIG_ERR ||
          signal(SIGHUP, SIG_IGN) == SIG_ERR || signal(SIGRTMAX, SIG_IGN) == SIG_ERR) {
        _exit(122);
      }
    }
    if (setup.sigchld_ignored && signal(SIGCHLD, SIG_IGN) == SIG_ERR) _exit(122);
    if (setup.system_log == SystemLog::kNoSocket) {
      // A sanitized companion wants its run-time first among the libraries;
      // the library must come before it to interpose.
      const char* asan_options = getenv("ASAN_OPTIONS");
      const std::string asan = std::string("verify_asan_link_order=0:") + (asan_options != nullptr ? asan_options : "");
      if (setenv("LD_PRELOAD", INTERPOSE_LIBRARY, 1) != 0 || setenv("ASAN_OPTIONS", asan.c_str(), 1) != 0 ||
          setenv("FAIL_CALL", "socket", 1) != 0 || setenv("INTERPOSE_ONCE", "1", 1) != 0) {
        _exit(122);
      }
    }
    if (setup.in_scratch && chdir(dir_) != 0) _exit(122);
    // Root's permitted set after execve is its bounding set.
    if (setup.without_capability >= 0 && prctl(PR_CAPBSET_DROP, setup.without_capability, 0, 0, 0) != 0) _exit(122);
    // Kept through execve, as the kernel keeps all but SECBIT_KEEP_CAPS.
    if (setup.securebits != 0 && prctl(PR_SET_SECUREBITS, setup.securebits, 0, 0, 0) != 0) _exit(122);
    const int output = open(Path("output").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int log = open(Path("log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int error = open(Path("error").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The output file is descriptor 3 and standard output, for --help.
    if (output < 0 || log < 0 || error < 0 || dup2(output, 3) != 3 || dup2(log, 4) != 4 ||
        dup2(output, STDOUT_FILENO) != STDOUT_FILENO || dup2(error, STDERR_FILENO) != STDERR_FILENO) {
      _exit(120);
    }
    const int full = setup.error_full ? open("/dev/full", O_WRONLY) : -1;
    if (setup.error_full && (full < 0 || dup2(full, STDERR_FILENO) != STDERR_FILENO)) _exit(120);
    if (setup.proc == ProcView::kParentHidden &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(122);
    }
    // LeakSanitizer reads /proc/PID/task and starts a thread as the program
    // ends, which a /proc of another namespace, an empty one, or a limit on
    // processes refuse: a sanitized companion's refusal or failure would end
    // in its fatal error instead. The companion allocates nothing of its own
    // (valgrind checks it for leaks).
    const char* asan_options = getenv("ASAN_OPTIONS");
    const std::string options = std::string(asan_options != nullptr ? asan_options : "") + ":detect_leaks=0";
    if (setenv("ASAN_OPTIONS", options.c_str(), 1) != 0) _exit(120);
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

// Whether nobody may run the program at path: tried in a forked copy.
bool NobodyCanRun(const char* path) {
  const pid_t copy = fork();
  if (copy == 0) {
    _exit(setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 && access(path, X_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  return copy > 0 && waitpid(copy, &status, 0) == copy && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether this process may take another user's identity: tried in a forked
// copy, since a namespace of a user's own maps no other.
bool CanTakeAnotherUser() {
  const pid_t copy = fork();
  if (copy == 0) _exit(setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 ? 0 : 1);
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

// A command line refused, and the line that says why, after
// "monitor-exec: " (empty where another test fixes its wording).
struct Refused {
  std::vector<std::string> args;
  // cppcheck-suppress unusedStructMember ; read through GetParam()
  std::string says;
  int without_capability = -1;
  int securebits = 0;
};

void PrintTo(const Refused& refused, std::ostream* out) {
  for (const std::string& arg : refused.args) *out << arg << ' ';
}

// A user whose name is the shortest too long for the companion to keep, in
// a copy of the user database that the refusals alone see, where they can
// bind one.
const std::string kLongUserName(sizeof companion::Identity::name, 'u');

class Refusal : public Companion, public ::testing::WithParamInterface<Refused> {
 protected:
  void SetUp() override {
    Companion::SetUp();
    static_cast<void>(
        BindCopy(dir_, "/etc/passwd", ReadFile("/etc/passwd") + kLongUserName + ":x:4242:4242::/:/bin/false\n"));
  }
};

TEST_P(Refusal, SaysWhyAndChangesNothing) {
  std::vector<std::string> args = GetParam().args;
  args.insert(args.end(), {"/bin/sh", "-c", "echo ran >&3"});
  Around around{true, 2, false, false};
  around.without_capability = GetParam().without_capability;
  around.securebits = GetParam().securebits;
  const Outcome outcome = Run(args, around);
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kRefused) << outcome.status;
  EXPECT_EQ(outcome.error.rfind("monitor-exec: ", 0), 0u) << outcome.error;
  EXPECT_EQ(std::count(outcome.error.begin(), outcome.error.end(), '\n'), 1) << outcome.error;
  if (!GetParam().says.empty()) {
    EXPECT_EQ(outcome.error, "monitor-exec: " + GetParam().says + "\n");
  }
  EXPECT_EQ(outcome.output, "") << "the program ran";
  for (int at = 0; at < 2; ++at) EXPECT_TRUE(Alive(outcome.leftovers[at])) << "a leftover was ended by a refusal";
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Refusal,
    ::testing::Values(
        Refused{{"--bogus"}, "unknown option '--bogus'"}, Refused{{"-x"}, "unknown option '-x'"},
        // Each option named as it was typed: abbreviated, with its argument
        // or without, short in a cluster after a long one.
        Refused{{"--keep-signals=yes"}, "option '--keep-signals' takes no argument"},
        Refused{{"--keep-s=yes"}, "option '--keep-s' takes no argument"},
        Refused{{"--help=1"}, "option '--help' takes no argument"},
        Refused{{"--version=x"}, "option '--version' takes no argument"},
        Refused{{"--end-wait=1", "-xq"}, "unknown option '-x'"}, Refused{{"--e=none"}, "ambiguous option '--e=none'"},
        Refused{{"--end=everything"}, "invalid argument 'everything' for option '--end'"},
        Refused{{"--end-wait=-1"}, "invalid argument '-1' for option '--end-wait'"},
        Refused{{"--end-wait=1s"}, "invalid argument '1s' for option '--end-wait'"},
        Refused{{"--end-w", "010"}, "invalid argument '010' for option '--end-w'"},
        Refused{{"--deploy-wait=86401"}, "invalid argument '86401' for option '--deploy-wait'"},
        Refused{{"--stay-for=256"}, "invalid argument '256' for option '--stay-for'"},
        Refused{{"--stay-for=5-3"}, "invalid argument '5-3' for option '--stay-for'"},
        Refused{{"--stay-for=1,"}, "invalid argument '1,' for option '--stay-for'"},
        Refused{{"--stay-for=,1"}, "invalid argument ',1' for option '--stay-for'"},
        Refused{{"--coredump-filter=0x123456789"}, "invalid argument '0x123456789' for option '--coredump-filter'"},
        Refused{{"--coredump-filter=zz"}, "invalid argument 'zz' for option '--coredump-filter'"},
        Refused{{"--core-limit=-1"}, "invalid argument '-1' for option '--core-limit'"},
        Refused{{"--core-limit=18446744073709551615"},
                "invalid argument '18446744073709551615' for option '--core-limit'"},
        Refused{{"--user=no-such-user-here"}, "no such user: no-such-user-here"},
        Refused{{"--group=no-such-group-here"}, "no such group: no-such-group-here"},
        Refused{{"--user="}, "invalid argument '' for option '--user'"},
        Refused{{"-u", ""}, "invalid argument '' for option '-u'"},
        Refused{{"--log-fd=57"}, "--log-fd: descriptor 57 is not open"},
        Refused{{"--output-fd=58"}, "--output-fd: descriptor 58 is not open"}, Refused{{"--end=service"}, ""},
        Refused{{"--log-fd=x"}, "invalid argument 'x' for option '--log-fd'"},
        Refused{{"--coredump-filter=0x"}, "invalid argument '0x' for option '--coredump-filter'"},
        Refused{{"--stay-for=12345678"}, "invalid argument '12345678' for option '--stay-for'"},
        Refused{{"--user=" + kLongUserName}, "user name too long: " + kLongUserName},
        // What the reason quotes stays on its one line, and a reason longer
        // than its buffer is cut short.
        Refused{{"--end=a\nb"}, "invalid argument 'a?b' for option '--end'"},
        Refused{{"--end=" + std::string(300, 'x')}, ""},
        // Capabilities to keep: only with a change of identity, only known
        // names in a well-formed list, only those held.
        Refused{{"--keep-caps=net_bind_service"}, "--keep-caps needs --user or --group"},
        Refused{{"--user=nobody", "--keep-caps=net_bind_servic"}, "--keep-caps: unknown capability 'net_bind_servic'"},
        Refused{{"--user=nobody", "--keep-caps=cap_"}, "--keep-caps: unknown capability 'cap_'"},
        Refused{{"--user=nobody", "--keep-caps="}, "--keep-caps: malformed list ''"},
        Refused{{"--user=nobody", "--keep-caps=kill,"}, "--keep-caps: malformed list 'kill,'"},
        Refused{{"--user=nobody", "--keep-caps=,kill"}, "--keep-caps: malformed list ',kill'"},
        Refused{{"--user=nobody", "--keep-caps=kill,,chown"}, "--keep-caps: malformed list 'kill,,chown'"},
        Refused{{"--user=nobody", "--keep-caps=kill,net_bind_service"},
                "--keep-caps: net_bind_service is not in this process's permitted set",
                CAP_NET_BIND_SERVICE},
        // Root keeps root's capabilities through execve unless it is told
        // not to, which takes CAP_SETPCAP.
        Refused{{"--group=daemon"},
                "the user stays root, and without cap_setpcap execve would give it back every capability",
                CAP_SETPCAP},
        Refused{{"--group=daemon"},
                "the user stays root, and locked securebits let execve give it back every capability",
                -1,
                SECBIT_NOROOT_LOCKED}));

TEST_F(Companion, SaysARefusalInTheLogWhereStandardErrorTakesNothing) {
  Around around;
  around.error_full = true;
  const Outcome outcome = Run({"--user=no-such-user-here", "/bin/sh", "-c", "echo ran >&3"}, around);
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kRefused) << outcome.status;
  EXPECT_EQ(outcome.log, "monitor-exec[" + std::to_string(outcome.companion) + "]: no such user: no-such-user-here\n");
  EXPECT_EQ(outcome.output, "") << "the program ran";
}

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
       {"--user=", "--group=", "--keep-caps=", "--keep-signals", "--end=", "--end-wait=", "--deploy-wait=",
        "--core-limit=", "--coredump-filter=", "--log-fd=", "--output-fd=", "--stay-for=", "--help", "--version"}) {
    EXPECT_NE(outcome.output.find(option), std::string::npos) << option << " is missing from --help";
  }
  // Written where nothing can be written, they fail.
  for (const char* option : {"--help", "--version"}) {
    outcome = Run({"--end=none", "/bin/sh", "-c", "exec \"$0\" \"$1\" >/dev/full", MONITOR_EXEC_PATH, option});
    EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == companion::kFailed) << outcome.status;
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
  // goes on, saying so; the scope asked for by its name, or by the names of
  // earlier versions, which units may still hold, is the same.
  for (const char* scope : {"--end=leftovers", "--end=group", "--end=service"}) {
    const UnderMonitor run = RunUnderMonitor(
        this, {scope, "--end-wait=0"},
        "if [ ! -e \"$0/first\" ]; then : > \"$0/first\"; sleep 1000 & echo \"left $!\" >&3; sleep 1000 & "
        "echo \"left $!\" >&3; kill -KILL $$; fi; echo \"second $$ $PPID\" >&3");
    ASSERT_GT(run.second, 1) << scope << run.output << run.log;
    EXPECT_NE(run.log.find("; ended 2 leftovers ("), std::string::npos) << scope << run.log;
    EXPECT_NE(run.log.find(", 2 still present after the wait\n"), std::string::npos) << scope << run.log;
    ASSERT_EQ(remove(Path("first").c_str()), 0);
  }
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
  kNumberTaken,                 // it dies, is collected, and a process of the test's takes its number
  kEndsUncollected,             // it dies while monitor is stopped: a zombie child of monitor
  kForksAndEnds,                // it starts a process and ends, which leaves that process to monitor
  kSupervisorDies,              // monitor dies, and is not yet collected
  kSupervisorDiesNoDescriptor,  // that, and the companion has no descriptor left for the pidfd
  kCollectedBeforeTheSignal,    // proved and seen living, it dies and is collected before the signal
};

int LowestFreeDescriptor(pid_t pid);

struct Held {
  // cppcheck-suppress unusedStructMember ; read through GetParam()
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
      case Meanwhile::kCollectedBeforeTheSignal:
        kill(leftover, SIGKILL);
        ASSERT_TRUE(Eventually([&] { return proc::State(leftover) == '?'; })) << "monitor never collected it";
        break;
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
      case Meanwhile::kSupervisorDies:
      case Meanwhile::kSupervisorDiesNoDescriptor:
        if (held.meanwhile == Meanwhile::kSupervisorDiesNoDescriptor) {
          rlimit files{};
          ASSERT_EQ(prlimit(companion, RLIMIT_NOFILE, nullptr, &files), 0);
          files.rlim_cur = static_cast<rlim_t>(LowestFreeDescriptor(companion));
          ASSERT_EQ(prlimit(companion, RLIMIT_NOFILE, &files, nullptr), 0);
        }
        supervisor = static_cast<pid_t>(proc::ProcNumber(companion, "status", "PPid:"));
        ASSERT_GT(supervisor, 1);
        kill(supervisor, SIGKILL);
        ASSERT_TRUE(Eventually([&] { return proc::ProcNumber(companion, "status", "PPid:") != supervisor; }));
        break;
    }
  };
  if (held.meanwhile == Meanwhile::kCollectedBeforeTheSignal) around.env.push_back("PIDFD_HOLD_AT_SIGNAL=1");
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
                      // Gone before the signal: no process to signal, and none left.
                      Held{"CollectedBeforeTheSignal", Meanwhile::kCollectedBeforeTheSignal, "10", "; no leftovers\n"},
                      Held{"ForkedThenEndedWithNoWaitLeft", Meanwhile::kForksAndEnds, "0",
                           "; leftovers: 1 still present after the wait\n"},
                      // Its pid could go to another process, whose children would be listed.
                      Held{"SupervisorGone", Meanwhile::kSupervisorDies, "10",
                           "; leftovers: 1 still present after the wait; leftovers not all seen: the supervisor "},
                      // What was said first stays said.
                      Held{"SupervisorGoneAfterNoPidfd", Meanwhile::kSupervisorDiesNoDescriptor, "10",
                           "; leftovers not all seen: no pidfd to end a leftover through: Too many open files\n"}),
    [](const ::testing::TestParamInfo<Held>& row) { return std::string(row.param.name); });

// A pidfd call refused, as by a kernel before 5.3 or a seccomp filter.
// Without pidfd_open no leftover can be held while it is proved, so none
// is signalled, and the start goes on at once instead of after the whole
// --end-wait; a signal refused leaves the leftover, which is said.
struct PidfdRefusal {
  // cppcheck-suppress unusedStructMember ; read through GetParam()
  const char* name;
  const char* variable;  // of the interposing library
  int error;
  const char* end_wait;
  std::vector<std::string> said;  // each in the second start line
};

class PidfdRefused : public Companion, public ::testing::WithParamInterface<PidfdRefusal> {};

TEST_P(PidfdRefused, SignalsNothingAndSaysWhy) {
  const PidfdRefusal& refusal = GetParam();
  AroundMonitor around;
  around.env = {std::string(refusal.variable) + "=" + std::to_string(refusal.error)};
  // Had it waited a day, "second" would never have come.
  const UnderMonitor run =
      RunUnderMonitor(this, {std::string("--end-wait=") + refusal.end_wait}, LeavesOneThatHops().c_str(), around);
  ASSERT_GT(run.second, 1) << run.output << run.log;
  ASSERT_EQ(run.left.size(), 1u) << run.output;
  EXPECT_TRUE(Alive(run.left[0]));
  for (const std::string& said : refusal.said) EXPECT_NE(SecondLine(run).find(said), std::string::npos) << run.log;
}

const std::string kUnseen = "; leftovers: 1 still present after the wait; leftovers not all seen: ";

INSTANTIATE_TEST_SUITE_P(
    Leftovers, PidfdRefused,
    ::testing::Values(PidfdRefusal{"OpenWithoutTheCall",
                                   "PIDFD_OPEN_FAIL",
                                   ENOSYS,
                                   "86400",
                                   {kUnseen + "no pidfd to end a leftover through: Function not implemented\n"}},
                      PidfdRefusal{"OpenNotPermitted",
                                   "PIDFD_OPEN_FAIL",
                                   EPERM,
                                   "86400",
                                   {kUnseen + "no pidfd to end a leftover through: Operation not permitted\n"}},
                      PidfdRefusal{"SignalNotPermitted",
                                   "PIDFD_SEND_SIGNAL_FAIL",
                                   EPERM,
                                   "0",
                                   {kUnseen + "a leftover could not be signalled: Operation not permitted\n"}},
                      // A leftover signalled in every round is counted once.
                      PidfdRefusal{"SignalSlowerThanARound",
                                   "PIDFD_SEND_SIGNAL_LOST",
                                   1,
                                   "1",
                                   {"; ended 1 leftover (", ", 1 still present after the wait\n"}}),
    [](const ::testing::TestParamInfo<PidfdRefusal>& row) { return std::string(row.param.name); });

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
  // cppcheck-suppress unusedStructMember ; read through GetParam()
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
  // under monitor. So too where /proc shows nothing, or not the parent.
  for (const int variant : {0, 1, 2, 3, 4}) {
    const bool other_namespace = variant == 1 || variant == 2;
    Around setup{true, variant == 2 ? 0 : 1, false, false};
    setup.other_namespace = other_namespace;
    setup.same_pid = variant == 2;
    setup.proc = variant == 3 ? ProcView::kNone : variant == 4 ? ProcView::kParentHidden : ProcView::kTests;
    if (setup.same_pid && access("/proc/sys/kernel/ns_last_pid", W_OK) != 0) continue;
    if (setup.proc != ProcView::kTests && (geteuid() != 0 || !NobodyCanRun(MONITOR_EXEC_PATH))) continue;
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' run-time reads its own files in /proc, and a
    // companion built with them cannot end cleanly without.
    if (setup.proc == ProcView::kNone) continue;
#endif
    const char* const whys[] = {"is not a monitor that runs this command", "/proc is another PID namespace's",
                                "/proc is another PID namespace's",
                                "cannot read /proc/self/status: No such file or directory", "/stat: No such file"};
    const char* why = whys[variant];
    // The program, in the companion's pid, writes its number as it sees it,
    // then as /proc does, where it can.
    const Outcome unproved =
        Run({"/bin/sh", "-c", "echo $$ >&3; [ -e /proc/self ] && exec readlink /proc/self >&3; echo $$ >&3"}, setup);
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

TEST_F(Companion, TakesTheFirstProcessOfItsNamespaceForNoSupervisor) {
  // The parent is this test: its namespace's first process, which adopts
  // orphans, as no supervisor of a service's could be.
  if (getpid() != 1) GTEST_SKIP() << "only as the first process of a PID namespace";
  const std::string log = Path("log");
  for (const char* scope : {"--end-wait=1", "--end=leftovers"}) {
    const pid_t companion = fork();
    if (companion == 0) {
      const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 4) != 4 || dup2(fd, STDERR_FILENO) != STDERR_FILENO) _exit(120);
      execl(MONITOR_EXEC_PATH, MONITOR_EXEC_PATH, "--log-fd=4", scope, "/bin/true", static_cast<char*>(nullptr));
      _exit(121);
    }
    ASSERT_GT(companion, 1);
    started_.push_back(companion);
    const auto status = harness::WaitForExit(companion);
    const bool asked = strcmp(scope, "--end=leftovers") == 0;
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == (asked ? companion::kRefused : 0))
        << status.value_or(-1) << ReadFile(log);
    EXPECT_NE(ReadFile(log).find(asked ? "monitor-exec: cannot end leftovers: the parent is no supervisor\n"
                                       : "/bin/true started, pid " + std::to_string(companion) +
                                             "; leftovers not looked for: the parent is no supervisor\n"),
              std::string::npos)
        << ReadFile(log);
  }
}

// Each thing that tells monitor from another parent, alone: a stand-in
// like monitor in all but one is not taken for it, and its other child is
// left alone.
// How the stand-in's command line after its name ends, against the
// companion's whole command line.
enum class Length {
  kSame,
  kShorter,                // the companion's last argument missing
  kLonger,                 // an argument more
  kLongerAfterAWholeRead,  // an argument more, where the companion's ends a whole first read of it
};

struct Likeness {
  // cppcheck-suppress unusedStructMember ; read through GetParam()
  const char* name;
  bool session, block, catches, other_command;
  bool taken;
  bool zombie = false;  // the other child has exited and is not yet collected
  Length length = Length::kSame;
  int crowd = 0;         // more children, each a leftover, than one listing of 1024 holds
  bool no_wait = false;  // --end-wait=0: one round only
};

class Proof : public Companion, public ::testing::WithParamInterface<Likeness> {};

TEST_P(Proof, TakesOnlyAParentLikeMonitorInEveryWay) {
  const Likeness like = GetParam();
  const pid_t stand_in = fork();
  if (stand_in == 0) {
    const int log = open(Path("log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log < 0 || dup2(log, 4) != 4) _exit(120);
    setenv("STAND_IN_SESSION", like.session ? "1" : "0", 1);
    setenv("STAND_IN_BLOCK", like.block ? "1" : "0", 1);
    setenv("STAND_IN_CATCH", like.catches ? "1" : "0", 1);
    setenv("STAND_IN_SHIFT", like.other_command ? "1" : "0", 1);
    setenv("STAND_IN_ZOMBIE", like.zombie ? "1" : "0", 1);
    setenv("STAND_IN_EXTRA", like.length == Length::kShorter ? "1" : "0", 1);
    setenv("STAND_IN_DROP", like.length >= Length::kLonger ? "1" : "0", 1);
    if (like.crowd > 0) setenv("STAND_IN_CROWD", std::to_string(like.crowd).c_str(), 1);
    std::vector<const char*> argv{STAND_IN_PATH, MONITOR_EXEC_PATH};
    if (like.other_command) argv.push_back(MONITOR_EXEC_PATH);
    // A zombie stays until the companion has ended: one round only.
    if (like.zombie || like.no_wait) argv.push_back("--end-wait=0");
    for (const char* arg : {"--log-fd=4", "/bin/true"}) argv.push_back(arg);
    // An argument to /bin/true that makes the stand-in's name and the
    // companion's command line fill 4096 bytes, the most one read takes.
    size_t used = 0;
    for (const char* arg : argv) used += strlen(arg) + 1;
    const std::string padding(4096 - used - 1, 'p');
    if (like.length == Length::kLongerAfterAWholeRead) argv.push_back(padding.c_str());
    if (like.length >= Length::kLonger) argv.push_back("extra");
    argv.push_back(nullptr);
    execv(STAND_IN_PATH, const_cast<char**>(argv.data()));
    _exit(121);
  }
  ASSERT_GT(stand_in, 1);
  started_.push_back(stand_in);
  groups_.push_back(stand_in);
  const auto status = harness::WaitForExit(stand_in);
  // A crowd not all ended leaves the stand-in with 126.
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == (like.no_wait ? 126 : 0)) << status.value_or(-1);
  const std::string log = ReadFile(Path("log"));
  if (like.zombie) {
    // Dead already, it holds nothing: neither ended nor still present.
    EXPECT_NE(log.find(" started, pid "), std::string::npos) << log;
    EXPECT_NE(log.find("; no leftovers\n"), std::string::npos) << log;
  } else if (like.no_wait) {
    // One round ends one listing's worth; more than a listing's worth are
    // then still there, none of them looked at.
    EXPECT_NE(log.find(" still present after the wait; leftovers not all seen: too many "), std::string::npos) << log;
  } else if (like.crowd > 0) {
    // Those past the first listing are ended in a later round, and none is
    // left (else the stand-in says so); the line says not all were seen at
    // once.
    EXPECT_NE(log.find("; ended "), std::string::npos) << log;
    EXPECT_NE(log.find("; leftovers not all seen: too many of the supervisor's children to list at once: "),
              std::string::npos)
        << log;
  } else if (like.taken) {
    EXPECT_NE(log.find("; ended 1 leftover ("), std::string::npos) << log;
  } else {
    EXPECT_NE(log.find("; leftovers not looked for: the parent " + std::to_string(stand_in) +
                       " is not a monitor that runs this command\n"),
              std::string::npos)
        << log;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parents, Proof,
    ::testing::Values(
        Likeness{"LikeMonitor", true, true, false, false, true},
        Likeness{"NoSession", false, true, false, false, false},
        Likeness{"SignalsNotBlocked", true, false, false, false, false},
        Likeness{"CatchesSigchld", true, true, true, false, false},
        Likeness{"OtherCommand", true, true, false, true, false},
        Likeness{"LikeMonitorWithAZombie", true, true, false, false, true, true},
        Likeness{"ShorterCommand", true, true, false, false, false, false, Length::kShorter},
        Likeness{"LongerCommand", true, true, false, false, false, false, Length::kLonger},
        Likeness{"LongerCommandPastAWholeRead", true, true, false, false, false, false, Length::kLongerAfterAWholeRead},
        Likeness{"LikeMonitorWithMoreChildrenThanOneListing", true, true, false, false, true, false, Length::kSame,
                 1100},
        Likeness{"MoreThanTwoListingsAndNoWait", true, true, false, false, true, false, Length::kSame, 2100, true}),
    [](const auto& row) { return std::string(row.param.name); });

// The number of the system call that a process is blocked in, as
// /proc/PID/syscall gives it, or -1.
long BlockedIn(pid_t pid) {
  char text[256];
  if (!proc::ReadProcFile(pid, "syscall", text, sizeof text)) return -1;
  long long number = -1;
  const std::string first(text, strcspn(text, " \n"));
  return proc::ParseNumber(first.c_str(), 0, 1 << 20, &number) ? static_cast<long>(number) : -1;
}

TEST_F(Companion, StopsOnceItsSupervisorHasGone) {
  // A zombie that the stand-in collects only after the companion keeps the
  // companion in its rounds; then the stand-in dies, and its pid could go
  // to a process whose children the companion must never take for its own.
  const pid_t stand_in = fork();
  if (stand_in == 0) {
    const int log = open(Path("log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log < 0 || dup2(log, 4) != 4) _exit(120);
    for (const char* name : {"STAND_IN_SESSION", "STAND_IN_BLOCK", "STAND_IN_ZOMBIE"}) setenv(name, "1", 1);
    execl(STAND_IN_PATH, STAND_IN_PATH, MONITOR_EXEC_PATH, "--log-fd=4", "--end-wait=60", "/bin/true",
          static_cast<char*>(nullptr));
    _exit(121);
  }
  ASSERT_GT(stand_in, 1);
  started_.push_back(stand_in);
  // The companion is the stand-in's child that is no zombie; it is in its
  // rounds once it sleeps between two.
  pid_t companion = 0;
  const long long give_up = proc::Now() + proc::kDeadlineNs;
  while (proc::Now() < give_up) {
    pid_t children[4];
    const int count = proc::Children(stand_in, children, 4);
    for (int at = 0; at < count; ++at) {
      if (proc::State(children[at]) != 'Z') companion = children[at];
    }
    const long call = companion > 1 ? BlockedIn(companion) : -1;
    if (call == SYS_clock_nanosleep) break;
#ifdef SYS_nanosleep
    if (call == SYS_nanosleep) break;
#endif
#ifdef SYS_clock_nanosleep_time64
    if (call == SYS_clock_nanosleep_time64) break;  // 32-bit systems
#endif
    proc::SleepUs(1000);
  }
  ASSERT_GT(companion, 1);
  started_.push_back(companion);
  ASSERT_EQ(kill(stand_in, SIGKILL), 0);
  std::string log;
  const std::string gone = "; leftovers not all seen: the supervisor " + std::to_string(stand_in) + " has gone\n";
  while ((log = ReadFile(Path("log"))).find(gone) == std::string::npos && proc::Now() < give_up + proc::kDeadlineNs) {
    proc::SleepUs(5000);
  }
  EXPECT_NE(log.find(gone), std::string::npos) << log;
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

// Where the start line goes without --log-fd: /dev/log, a datagram socket
// or, where it is one, a stream socket; standard error where there is none
// or it takes nothing (a log that stopped reading must not hold the start),
// or no socket can be made to reach it.
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
  const char* const names[] = {"Machine", "Absent", "Stream", "FullDatagram", "Seqpacket", "NoSocket"};
  return names[static_cast<int>(row.param)];
}

INSTANTIATE_TEST_SUITE_P(Destinations, StartLineDestination,
                         ::testing::Values(SystemLog::kAbsent, SystemLog::kStream, SystemLog::kFullDatagram,
                                           SystemLog::kSeqpacket, SystemLog::kNoSocket),
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
  EXPECT_EQ(StatusLine(kept.output, "SigIgn"), "8000000000000201");  // SIGRTMAX, SIGUSR1, SIGHUP
  // Kept too for a program that the companion stays with.
  const Outcome staying = Run({"--keep-signals", "--stay-for=1", "--output-fd=3", "/bin/cat", "/proc/self/status"},
                              Around{true, 0, false, true});
  ASSERT_TRUE(WIFEXITED(staying.status) && WEXITSTATUS(staying.status) == 0) << staying.error;
  EXPECT_EQ(StatusLine(staying.output, "SigBlk"), "0000000000004000");
}

TEST_F(Companion, RunsAsTheUserWithItsGroups) {
  if (geteuid() != 0 || !CanTakeAnotherUser()) GTEST_SKIP() << "changing the user takes root";
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

// How the companion starts (through setpriv, as a user with ambient
// capabilities, say), what it is asked, and the capabilities the program
// then holds in each of its inheritable, permitted, effective and ambient
// sets.
struct Kept {
  std::vector<std::string> setpriv;
  std::vector<std::string> args;
  // cppcheck-suppress unusedStructMember ; read through GetParam()
  const char* sets;
};

void PrintTo(const Kept& kept, std::ostream* out) {
  for (const std::string& arg : kept.setpriv) *out << arg << ' ';
  for (const std::string& arg : kept.args) *out << arg << ' ';
}

class Capabilities : public Companion, public ::testing::WithParamInterface<Kept> {};

TEST_P(Capabilities, AreDroppedWithTheIdentityButThoseKept) {
  if (geteuid() != 0 || !CanTakeAnotherUser()) GTEST_SKIP() << "changing the user takes root";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv (util-linux)";
  if (getpwnam("nobody") == nullptr || getgrnam("daemon") == nullptr) GTEST_SKIP() << "no user nobody or group daemon";
  std::vector<std::string> args{"--end=none"};
  if (!GetParam().setpriv.empty()) {
    args.push_back("/usr/bin/setpriv");
    args.insert(args.end(), GetParam().setpriv.begin(), GetParam().setpriv.end());
    args.insert(args.end(), {MONITOR_EXEC_PATH, "--end=none", "--log-fd=2"});
  }
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  args.insert(args.end(), {"/bin/cat", "/proc/self/status"});
  const Outcome outcome = Run(args);
  ASSERT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.status << outcome.error;
  for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
    EXPECT_EQ(StatusLine(outcome.output, set), GetParam().sets) << set << "\n" << outcome.output;
  }
  EXPECT_EQ(StatusLine(outcome.output, "CapBnd"), StatusLine(ReadFile("/proc/self/status"), "CapBnd"));
  // Setgid helpers (a mail drop) must still work: no_new_privs is the
  // unit's to set.
  EXPECT_EQ(StatusLine(outcome.output, "NoNewPrivs"), "0");
}

const std::vector<std::string> kUserWithSetid{"--reuid=65534", "--regid=65534", "--clear-groups",
                                              "--inh-caps=+setuid,+setgid", "--ambient-caps=+setuid,+setgid"};
const std::vector<std::string> kUserWithSetidAndPort{"--reuid=65534", "--regid=65534", "--clear-groups",
                                                     "--inh-caps=+setuid,+setgid,+net_bind_service",
                                                     "--ambient-caps=+setuid,+setgid,+net_bind_service"};
const std::vector<std::string> kRootWithPort{"--inh-caps=+net_bind_service", "--ambient-caps=+net_bind_service"};
constexpr char kNone[] = "0000000000000000";
constexpr char kPort[] = "0000000000000400";  // CAP_NET_BIND_SERVICE, 10

INSTANTIATE_TEST_SUITE_P(
    Identities, Capabilities,
    ::testing::Values(
        // A user holding CAP_SETUID and CAP_SETGID ambient could become
        // root again; setuid between two users clears nothing by itself.
        Kept{kUserWithSetid, {"--user=daemon"}, kNone}, Kept{kUserWithSetid, {"--group=daemon"}, kNone},
        // Root's setuid clears all but the inheritable set.
        Kept{kRootWithPort, {"--user=nobody"}, kNone},
        // A user that stays root gets nothing back at execve.
        Kept{{}, {"--group=daemon"}, kNone}, Kept{{}, {"--user=nobody", "--keep-caps=net_bind_service"}, kPort},
        Kept{{}, {"--group=daemon", "--keep-caps=cap_net_bind_service"}, kPort},
        Kept{{}, {"--user=nobody", "--keep-caps=CAP_KILL,net_bind_service"}, "0000000000000420"},
        Kept{kUserWithSetidAndPort, {"--user=daemon", "--keep-caps=net_bind_service"}, kPort},
        // Root that execve gives nothing already, as SECBIT_NOROOT makes it.
        Kept{{"--securebits=+noroot", "--inh-caps=+setgid", "--ambient-caps=+setgid"}, {"--group=daemon"}, kNone},
        // Root by its effective user alone, as a set-user-ID program is.
        Kept{{"--ruid=65534"}, {"--group=daemon"}, kNone}));

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
  // Written before the user changes: once it has, the process is not
  // dumpable until it executes the program, and the file is root's.
  if (geteuid() == 0) {
    const Outcome as_user =
        Run({"--user=nobody", "--coredump-filter=0x23", "--output-fd=3", "/bin/cat", "/proc/self/coredump_filter"});
    EXPECT_EQ(as_user.output, "00000023\n") << as_user.error;
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
  // cppcheck-suppress unusedStructMember ; read through GetParam()
  const char* name;
  // cppcheck-suppress unusedStructMember ; read through GetParam()
  const char* command;
  // cppcheck-suppress unusedStructMember ; read through GetParam()
  const char* said;
  int securebits = 0;  // set before the companion starts
};

class Step : public Companion, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(Step, FailsSayingWhyAndRunsNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "taking privileges away takes root";
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' run-time reads its own files in /proc, and a companion
  // built with them cannot end cleanly without.
  if (strstr(GetParam().command, "mount -t tmpfs none /proc") != nullptr)
    GTEST_SKIP() << "a sanitized companion needs /proc";
#endif
  // A copy that another user can run: the build's directories may be
  // closed to others.
  const std::string copy = Path("monitor-exec");
  if (chmod(dir_, 0755) != 0 || !harness::CopyFile(MONITOR_EXEC_PATH, copy, 0755)) {
    GTEST_SKIP() << "no copy of the companion can be made for another user";
  }
  Around around;
  around.securebits = GetParam().securebits;
  const Outcome outcome = Run({"--end=none", "/bin/sh", "-c", GetParam().command, copy}, around);
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
                    "cannot fork: Resource temporarily unavailable"},
        // Capabilities kept through the change of user, where the unit's
        // securebits forbid it.
        StepFailure{"KeepCapsLocked",
                    "exec \"$0\" --end=none --log-fd=2 --user=nobody --keep-caps=net_bind_service /bin/echo ran",
                    "cannot keep the capabilities through the change of user: Operation not permitted",
                    SECBIT_KEEP_CAPS_LOCKED},
        StepFailure{"AmbientRaiseForbidden",
                    "exec \"$0\" --end=none --log-fd=2 --user=nobody --keep-caps=net_bind_service /bin/echo ran",
                    "cannot make net_bind_service ambient: Operation not permitted", SECBIT_NO_CAP_AMBIENT_RAISE}),
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
  // cppcheck-suppress unusedStructMember ; read through GetParam()
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
  // Where cores are written, the program writes its own, and the companion,
  // dying of the same signal, none beside it.
  Around in_scratch;
  in_scratch.in_scratch = true;
  const Outcome outcome = Run({"--stay-for=1", "--core-limit=unlimited", "/bin/sh", "-c", "kill -SEGV $$"}, in_scratch);
  ASSERT_TRUE(WIFSIGNALED(outcome.status)) << outcome.status;
  EXPECT_EQ(WTERMSIG(outcome.status), SIGSEGV);
  EXPECT_FALSE(WCOREDUMP(outcome.status)) << "the companion wrote a core of its own";
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

TEST_F(Companion, StayingSeesTheProgramEndThoughSigchldWasIgnored) {
  // Given SIGCHLD ignored, the kernel reaps the program unseen, and the
  // companion would wait for ever.
  Around ignoring;
  ignoring.sigchld_ignored = true;
  const Outcome outcome = Run({"--stay-for=3", "/bin/sh", "-c", "exit 4"}, ignoring);
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 4) << outcome.status << outcome.error;
  // The program gets it as given where the signals are kept.
  const Outcome kept = Run({"--keep-signals", "--stay-for=3", "/bin/cat", "/proc/self/status"}, ignoring);
  ASSERT_TRUE(WIFEXITED(kept.status) && WEXITSTATUS(kept.status) == 0) << kept.status << kept.error;
  EXPECT_EQ(StatusLine(kept.output, "SigIgn"), "0000000000010000");  // SIGCHLD, 17
}

// --- What the companion reads of /proc, as the kernel writes it and not -------------------

TEST(ProcText, ReadSmallFileTakesOnlyAWholeNonEmptyFileCutToItsBuffer) {
  char text[8];
  EXPECT_FALSE(companion::ReadSmallFile("/nonexistent/file", text, sizeof text));
  EXPECT_FALSE(companion::ReadSmallFile("/dev/null", text, sizeof text)) << "an empty file";
  EXPECT_FALSE(companion::ReadSmallFile("/", text, sizeof text)) << "a directory, which read refuses";
  ASSERT_TRUE(companion::ReadSmallFile("/proc/self/status", text, sizeof text));
  EXPECT_EQ(std::string(text), ReadFile("/proc/self/status").substr(0, sizeof text - 1)) << "longer than its buffer";
}

TEST(ProcText, StatusFieldFindsOnlyAWholeKey) {
  const std::pair<const char*, const char*> cases[] = {
      {"Name:\tx\nSigCgt:\t0\n", "0\n"},
      {"SigCgtx:\t1\nSigCgt:  \t2", "2"},
      {"Sig:\t1\n", nullptr},
      {"Name:\tx\n", nullptr},
      {"Name:\tx", nullptr},
      {"", nullptr},
  };
  for (const auto& [status, value] : cases) {
    const char* found = companion::StatusField(status, "SigCgt");
    if (value == nullptr) {
      EXPECT_EQ(found, nullptr) << status;
    } else {
      EXPECT_STREQ(found, value) << status;
    }
  }
}

TEST(ProcText, SoleNamespacePidIsOneNumberAndThisOne) {
  const std::pair<const char*, bool> cases[] = {
      {"NSpid:\t42\n", true},  {"NSpid:\t42", true},  {"NSpid:\t42\t1\n", false},
      {"NSpid:\t43\n", false}, {"NSpid:\t\n", false}, {"NSpid:\t0000000000000000042\n", false},
      {"Pid:\t42\n", false},
  };
  for (const auto& [status, sole] : cases) EXPECT_EQ(companion::SoleNamespacePid(status, 42), sole) << status;
}

TEST(ProcText, InMaskReadsLowercaseHexadecimalFromTheRight) {
  struct Case {
    const char* mask;
    int signal_number;
    bool set;
  };
  const Case cases[] = {
      {"0000000000000001\n", 1, true},
      {"0000000000000001", 2, false},
      {"0000000000010000", SIGCHLD, true},
      {"00000000000000a0", 6, true},
      {"00000000000000a0", 7, false},
      {"00000000000000f0", 8, true},
      {"0000000000000009", 4, true},
      {"00000000000000A0", 6, false},
      {"000000000000000x", 1, false},
      {"0000000000000001", 0, false},
      {"01", 9, false},
      {"\n", 1, false},
      {"0 ", 1, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(companion::InMask(c.mask, c.signal_number), c.set) << c.mask << ' ' << c.signal_number;
}

TEST(ProcText, CatchesNoneLooksOnlyAtTheWatchedSignals) {
  sigset_t watched;
  sigemptyset(&watched);
  sigaddset(&watched, SIGCHLD);
  EXPECT_TRUE(companion::CatchesNone("SigCgt:\t0000000000000002\n", watched));
  EXPECT_FALSE(companion::CatchesNone("SigCgt:\t0000000000010000\n", watched));
  EXPECT_FALSE(companion::CatchesNone("SigIgn:\t0000000000000000\n", watched)) << "no SigCgt line";
}

TEST(ProcText, StatFieldsAreCountedFromTheLastParenthesis) {
  struct Case {
    const char* stat;
    int number;
    const char* field;  // nullptr: not read
  };
  const Case cases[] = {
      {"42 (a) b) S 1 42 42 0\n", 5, "42"}, {"42 (a) b) S 1 42 43 0\n", 6, "43"},
      {"42 (sh) S 1 42 42 0\n", 3, "S"},    {"42 (sh) S 1 42 42 0\n", 2, nullptr},
      {"42 sh S 1 42 42 0\n", 3, nullptr},  {"42 (sh) S 1 42\n", 6, nullptr},
      {"42 (sh) S 1 42  42\n", 6, nullptr}, {"42 (sh) S 1 42 1234567890123456\n", 6, nullptr},
  };
  for (const Case& c : cases) {
    char field[16] = "";
    const bool read = companion::StatField(c.stat, c.number, field, sizeof field);
    EXPECT_EQ(read, c.field != nullptr) << c.stat << " field " << c.number;
    if (read && c.field != nullptr) {
      EXPECT_STREQ(field, c.field) << c.stat;
    }
  }
}

TEST(ProcText, LeadsItsGroupAndSessionOnlyWithBothItsOwnNumber) {
  const std::pair<const char*, bool> cases[] = {
      {"42 (m) S 1 42 42 0\n", true},  {"42 (m) S 1 41 42 0\n", false}, {"42 (m) S 1 42 41 0\n", false},
      {"42 (m) S 1 4x 42 0\n", false}, {"42 (m) S 1 42\n", false},
  };
  for (const auto& [stat, leads] : cases) EXPECT_EQ(companion::StatLeadsItsGroupAndSession(stat, 42), leads) << stat;
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
  ASSERT_GT(snprintf(ended.unseen, sizeof ended.unseen, "no pidfd"), 0);
  ended.count = 0;
  companion::FormatStartLine(buffer, 512, "/x", 42, leftovers, ended);
  EXPECT_STREQ(buffer,
               "/x started, pid 42; leftovers: 1 still present after the wait; leftovers not all seen: no pidfd");
  // Nothing seen living is not "no leftovers" where some could not be seen.
  ended.still_present = 0;
  companion::FormatStartLine(buffer, 512, "/x", 42, leftovers, ended);
  EXPECT_STREQ(buffer, "/x started, pid 42; leftovers not all seen: no pidfd");
  // One leftover, and more than the eight it names.
  ended = companion::Ended{};
  ended.count = 1;
  ended.first[0] = 7;
  companion::FormatStartLine(buffer, 512, "/x", 42, leftovers, ended);
  EXPECT_STREQ(buffer, "/x started, pid 42; ended 1 leftover (7) in 0 ms");
  ended.count = 10;
  for (int at = 0; at < 8; ++at) ended.first[at] = 100 + at;
  companion::FormatStartLine(buffer, 512, "/x", 42, leftovers, ended);
  EXPECT_STREQ(buffer, "/x started, pid 42; ended 10 leftovers (100 101 102 103 104 105 106 107 ...) in 0 ms");
  // Too small even for the summary: what fits, never past the buffer, and
  // nothing at all in none.
  companion::FormatStartLine(buffer, 12, "/x", 42, leftovers, ended);
  EXPECT_STREQ(buffer, "... started");
  companion::FormatStartLine(buffer, 1, "/x", 42, leftovers, ended);
  EXPECT_STREQ(buffer, "");
  buffer[0] = '#';
  companion::FormatStartLine(buffer, 0, "/x", 42, leftovers, ended);
  EXPECT_EQ(buffer[0], '#');
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

TEST(Options, NameTheFirstOptionAsTyped) {
  // First on the command line, where getopt_long starts from optind 0.
  const std::pair<std::string, std::string> cases[] = {
      {"--keep-signals=yes", "option '--keep-signals' takes no argument"},
      {"-x", "unknown option '-x'"},
      {"--e=none", "ambiguous option '--e=none'"},
      {"--end-w=1s", "invalid argument '1s' for option '--end-w'"},
  };
  for (const auto& [typed, says] : cases) {
    std::string first = typed;
    char name[] = "monitor-exec";
    char program[] = "/bin/true";
    char* argv[] = {name, first.data(), program, nullptr};
    companion::Options options;
    companion::Reason reason{};
    EXPECT_EQ(companion::ParseOptions(3, argv, &options, &reason), companion::Parsed::kRefusal) << typed;
    EXPECT_STREQ(reason.text, says.c_str()) << typed;
  }
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
