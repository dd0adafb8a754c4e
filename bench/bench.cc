// Measures monitor against the bare cost of fork plus exec, side by side in
// one run, and prints a table and a last line of JSON. The static build's
// start-up and footprint are measured in the same run, beside the dynamic
// one's.
//
//   bench [--rounds N] [--starts N] [--crash-seconds S] [--idle-seconds S]
//         [--others [--others-rounds N]] [--monitor PATH] [--monitor-static PATH]
//         [--ping PATH]
//
// Written against libc alone, like the supervisor, so that the bare loop's
// forks copy a process of the same kind and the comparison is fair.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ping.h"
#include "proc.h"

namespace {

using proc::KillStarted;
using proc::Now;

struct Settings {
  int rounds = 1000;
  int starts = 200;
  int crash_seconds = 3;
  int idle_seconds = 10;
  int others_rounds = 10;
  bool others = false;
  const char* monitor = MONITOR_PATH;
  const char* monitor_static = MONITOR_STATIC_PATH;  // empty where there is no static build
  const char* ping = PING_PATH;
};
Settings g;

[[noreturn]] void Fail(const char* what) {
  const int error = errno;
  // Nothing more can be done if standard error is gone too.
  static_cast<void>(fprintf(stderr, "bench: %s: %s\n", what, strerror(error)));
  exit(1);
}

void ReapAll() {
  if (!proc::ReapAll()) Fail("children left unreaped");
}

// The pipe the targets report on: its write end sits at descriptor 3, not
// close-on-exec, in this process and so in every child, so a child needs
// nothing but execve.
int g_reports = -1;

void NewReportPipe() {
  int ends[2];
  if (g_reports >= 0) close(g_reports);
  if (pipe2(ends, O_CLOEXEC) != 0) Fail("pipe");
  // Keep the read end clear of descriptor 3, which the write end takes.
  g_reports = fcntl(ends[0], F_DUPFD_CLOEXEC, kPingFd + 1);
  if (g_reports < 0) Fail("fcntl");
  close(ends[0]);
  if (dup2(ends[1], kPingFd) != kPingFd) Fail("dup2");
  close(ends[1]);
}

bool ReadReport(PingReport* report) {
  pollfd ready{g_reports, POLLIN, 0};
  if (poll(&ready, 1, 10000) != 1) return false;
  return read(g_reports, report, sizeof *report) == sizeof *report;
}

void DrainReports() {
  PingReport report{};
  pollfd ready{g_reports, POLLIN, 0};
  while (poll(&ready, 1, 0) == 1 && read(g_reports, &report, sizeof report) > 0) {
  }
}

pid_t Spawn(const char* path, const char* arg1, const char* arg2) {
  const pid_t pid = fork();
  if (pid == 0) {
    char* argv[] = {const_cast<char*>(path), const_cast<char*>(arg1), const_cast<char*>(arg2), nullptr};
    execve(path, argv, environ);
    _exit(127);
  }
  if (pid < 0) Fail("fork");
  return pid;
}

// A supervisor started on the ping target: the invoking process has ended
// and the detached copy, adopted by this subreaper, is the target's parent.
struct Supervised {
  pid_t supervisor = -1;
  pid_t target = -1;
  long long reported_ns = 0;  // when the first target ran
};

Supervised StartSupervisor(const char* program, const char* mode) {
  const pid_t invoker = Spawn(program, g.ping, mode);
  int status = 0;
  if (waitpid(invoker, &status, 0) != invoker || status != 0) Fail("monitor did not start");
  PingReport report{};
  if (!ReadReport(&report)) Fail("no report from the supervised target");
  return Supervised{report.ppid, report.pid, report.ns};
}

Supervised StartMonitor(const char* mode) { return StartSupervisor(g.monitor, mode); }

bool HaveStatic() { return g.monitor_static[0] != '\0'; }

void StopMonitor(const Supervised& run) {
  KillStarted(run.supervisor);
  KillStarted(run.target);
  ReapAll();
}

struct Stats {
  double p50, p90, p99, max, mean;
};

int CompareLong(const void* a, const void* b) {
  const long long x = *static_cast<const long long*>(a);
  const long long y = *static_cast<const long long*>(b);
  if (x < y) return -1;
  return x > y ? 1 : 0;
}

Stats Summarize(long long* samples, int count) {
  qsort(samples, static_cast<size_t>(count), sizeof *samples, CompareLong);
  double sum = 0;
  for (int i = 0; i < count; ++i) sum += static_cast<double>(samples[i]);
  // Nearest rank: the smallest sample with at least percent% of all at or below it.
  auto at = [&](int percent) {
    const int rank = (count * percent + 99) / 100;
    return static_cast<double>(samples[rank - 1]) / 1000.0;
  };
  return Stats{at(50), at(90), at(99), static_cast<double>(samples[count - 1]) / 1000.0,
               sum / static_cast<double>(count) / 1000.0};
}

// Relaunch latency: from SIGKILL of the target to the next target's first
// report. The bare loop and monitor take turns in blocks of 50 rounds, so
// that both see the same machine.
constexpr int kMaxRounds = 100000;
long long g_bare[kMaxRounds];
long long g_mon[kMaxRounds];
long long g_static[kMaxRounds];

void MeasureRelaunch(Stats* bare, Stats* mon) {
  NewReportPipe();
  PingReport report{};
  pid_t bare_target = Spawn(g.ping, nullptr, nullptr);
  if (!ReadReport(&report)) Fail("no report from the bare target");
  Supervised run = StartMonitor(nullptr);

  for (int done = 0; done < g.rounds;) {
    const int block = done + 50 < g.rounds ? 50 : g.rounds - done;
    for (int i = done; i < done + block; ++i) {
      const long long killed = Now();
      // The waits here block, to add nothing to what is measured; a kill
      // that failed would leave them waiting for ever.
      if (kill(bare_target, SIGKILL) != 0) Fail("kill");
      if (waitpid(bare_target, nullptr, 0) != bare_target) Fail("waitpid");
      bare_target = Spawn(g.ping, nullptr, nullptr);
      if (!ReadReport(&report)) Fail("no report from the bare target");
      g_bare[i] = report.ns - killed;
    }
    for (int i = done; i < done + block; ++i) {
      const long long killed = Now();
      if (kill(run.target, SIGKILL) != 0) Fail("kill");
      if (!ReadReport(&report) || report.ppid != run.supervisor) Fail("no relaunch");
      run.target = report.pid;
      g_mon[i] = report.ns - killed;
    }
    done += block;
  }
  KillStarted(bare_target);
  StopMonitor(run);
  *bare = Summarize(g_bare, g.rounds);
  *mon = Summarize(g_mon, g.rounds);
}

// Crash loop: starts per second of a target that dies from SIGSEGV at once.
double BareCrashRate() {
  NewReportPipe();
  const long long end = Now() + g.crash_seconds * 1000000000LL;
  const long long start = Now();
  long long starts = 0;
  while (Now() < end) {
    const pid_t pid = Spawn(g.ping, "crash", nullptr);
    if (waitpid(pid, nullptr, 0) != pid) Fail("waitpid");
    ++starts;
    DrainReports();
  }
  return static_cast<double>(starts) * 1e9 / static_cast<double>(Now() - start);
}

double MonitorCrashRate() {
  NewReportPipe();
  const Supervised run = StartMonitor("crash");
  const long long start = Now();
  const long long end = start + g.crash_seconds * 1000000000LL;
  long long starts = 0;
  PingReport report{};
  while (Now() < end) {
    if (!ReadReport(&report)) Fail("crash loop stopped");
    ++starts;
  }
  const long long elapsed = Now() - start;
  // Every target crashes by itself; once the supervisor is gone, the last
  // one comes to this subreaper to be reaped.
  KillStarted(run.supervisor);
  ReapAll();
  return static_cast<double>(starts) * 1e9 / static_cast<double>(elapsed);
}

// From starting the supervisor to its first target's report.
long long SupervisorStart(const char* program) {
  const long long begun = Now();
  const Supervised run = StartSupervisor(program, nullptr);
  StopMonitor(run);
  return run.reported_ns - begun;
}

// Start-up: from starting the program to the target's first report. The
// bare start, the dynamic supervisor and the static one take turns.
void MeasureStart(Stats* bare, Stats* mon, Stats* static_mon) {
  NewReportPipe();
  PingReport report{};
  for (int i = 0; i < g.starts; ++i) {
    const long long begun = Now();
    const pid_t target = Spawn(g.ping, nullptr, nullptr);
    if (!ReadReport(&report)) Fail("no report from the bare target");
    g_bare[i] = report.ns - begun;
    KillStarted(target);
    ReapAll();

    g_mon[i] = SupervisorStart(g.monitor);
    if (HaveStatic()) g_static[i] = SupervisorStart(g.monitor_static);
  }
  *bare = Summarize(g_bare, g.starts);
  *mon = Summarize(g_mon, g.starts);
  if (HaveStatic()) *static_mon = Summarize(g_static, g.starts);
}

struct Footprint {
  long long rss, pss, private_dirty, threads, fds, binary, idle_switches, idle_ticks;
};

// Writes the binary's page cache back to disk. A freshly built binary's
// pages are still dirty in the cache, and smaps counts a dirty file page
// mapped by one process as that process's private dirty memory: without
// this, the footprint read right after a build is a few pages too high.
void WriteBackBinary(const char* program) {
  const int fd = open(program, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  static_cast<void>(fsync(fd));  // a figure, not a result: a failure only leaves it high
  close(fd);
}

// The private dirty memory of a resident supervisor, in KiB.
long long PrivateDirty(const char* program) {
  NewReportPipe();
  const Supervised run = StartSupervisor(program, nullptr);
  proc::SleepUs(200000);
  const long long kib = proc::ProcNumber(run.supervisor, "smaps_rollup", "Private_Dirty:");
  StopMonitor(run);
  return kib;
}

// Private dirty memory moves by a page or two from one start to the next,
// as the randomized stack offset places the same frames across two to four
// pages: the median of several starts of each build, taken in turns.
constexpr int kDirtySamples = 9;

void MedianPrivateDirty(long long* dynamic_kib, long long* static_kib) {
  long long dynamic_samples[kDirtySamples]{};
  long long static_samples[kDirtySamples]{};
  WriteBackBinary(g.monitor);
  if (HaveStatic()) WriteBackBinary(g.monitor_static);
  for (int i = 0; i < kDirtySamples; ++i) {
    dynamic_samples[i] = PrivateDirty(g.monitor);
    if (HaveStatic()) static_samples[i] = PrivateDirty(g.monitor_static);
  }
  qsort(dynamic_samples, kDirtySamples, sizeof *dynamic_samples, CompareLong);
  *dynamic_kib = dynamic_samples[kDirtySamples / 2];
  if (HaveStatic()) {
    qsort(static_samples, kDirtySamples, sizeof *static_samples, CompareLong);
    *static_kib = static_samples[kDirtySamples / 2];
  }
}

// The resident supervisor's memory and descriptors, and with idle set, what
// it does over the idle seconds; its private dirty memory is the median's.
Footprint MeasureFootprint(const char* program, bool idle, long long private_dirty) {
  WriteBackBinary(program);
  NewReportPipe();
  const Supervised run = StartSupervisor(program, nullptr);
  proc::SleepUs(200000);
  Footprint f{};
  f.rss = proc::ProcNumber(run.supervisor, "smaps_rollup", "Rss:");
  f.pss = proc::ProcNumber(run.supervisor, "smaps_rollup", "Pss:");
  f.private_dirty = private_dirty;
  f.threads = proc::ProcNumber(run.supervisor, "status", "Threads:");
  f.fds = proc::OpenDescriptors(run.supervisor);
  struct stat binary {};
  f.binary = stat(program, &binary) == 0 ? binary.st_size : -1;
  if (!idle) {
    StopMonitor(run);
    return f;
  }

  const long long switches = proc::ContextSwitches(run.supervisor);
  const long long ticks = proc::CpuTicks(run.supervisor);
  sleep(static_cast<unsigned>(g.idle_seconds));
  f.idle_switches = proc::ContextSwitches(run.supervisor) - switches;
  f.idle_ticks = proc::CpuTicks(run.supervisor) - ticks;
  StopMonitor(run);
  return f;
}

// Other supervisors, each running the ping target as a service of its own.
// runsv and s6-supervise pause a second before relaunching a target that ran
// for less than a second, and daemontools' supervise pauses a second between
// starts, so every target here is left to live 1.2 s before it is killed:
// the figures are their fastest relaunch, not their crash-loop pause.
struct Other {
  const char* label;
  const char* program;  // looked up along PATH, run as: program SERVICE_DIR
};
constexpr Other kOthers[] = {{"runsv", "runsv"}, {"supervise", "supervise"}, {"s6-supervise", "s6-supervise"}};
constexpr int kOtherCount = sizeof kOthers / sizeof kOthers[0];
constexpr long long kAgeNs = 1200000000LL;

bool FoundOnPath(const char* program, char* path, size_t size) {
  const char* search = getenv("PATH");
  if (search == nullptr) return false;
  while (*search != '\0') {
    const char* colon = strchr(search, ':');
    const size_t length = colon != nullptr ? static_cast<size_t>(colon - search) : strlen(search);
    const int written = snprintf(path, size, "%.*s/%s", static_cast<int>(length), search, program);
    if (written > 0 && static_cast<size_t>(written) < size && access(path, X_OK) == 0) return true;
    search += length + (colon != nullptr ? 1 : 0);
  }
  return false;
}

void WaitUntil(long long when_ns) {
  const long long left = when_ns - Now();
  if (left > 0) proc::SleepUs(left / 1000);
}

// Relaunch latency of targets that lived long enough not to be held back.
// The supervisor is started by run_supervisor and reports its first target.
Stats AgedRelaunch(pid_t supervisor, PingReport first) {
  PingReport report = first;
  for (int i = 0; i < g.others_rounds; ++i) {
    WaitUntil(report.ns + kAgeNs);
    const long long killed = Now();
    if (kill(report.pid, SIGKILL) != 0) Fail("kill");
    if (!ReadReport(&report) || report.ppid != supervisor) Fail("no relaunch");
    g_bare[i] = report.ns - killed;
  }
  KillStarted(supervisor);
  KillStarted(report.pid);
  ReapAll();
  return Summarize(g_bare, g.others_rounds);
}

// Returns false when the supervisor is not installed.
bool MeasureOther(const Other& other, Stats* stats) {
  char program[4096];
  if (!FoundOnPath(other.program, program, sizeof program)) return false;
  char service[4096];
  if (!proc::MakeScratch("monitor-bench", service, sizeof service)) Fail("mkdtemp");
  char run[sizeof service + 4];
  if (snprintf(run, sizeof run, "%s/run", service) >= static_cast<int>(sizeof run)) Fail("snprintf");
  if (symlink(g.ping, run) != 0) Fail("symlink");

  NewReportPipe();
  const pid_t supervisor = Spawn(program, service, nullptr);
  PingReport first{};
  if (!ReadReport(&first)) Fail("no report under another supervisor");
  *stats = AgedRelaunch(supervisor, first);

  if (!proc::RemoveTree(service)) Fail("removing the service directory");
  return true;
}

Stats MonitorAged() {
  NewReportPipe();
  const Supervised run = StartMonitor(nullptr);
  return AgedRelaunch(run.supervisor, PingReport{run.reported_ns, run.target, run.supervisor});
}

struct OthersResult {
  Stats stats[kOtherCount + 1];  // monitor first, then kOthers in order
  bool found[kOtherCount + 1];
};

OthersResult MeasureOthers() {
  OthersResult result{};
  result.stats[0] = MonitorAged();
  result.found[0] = true;
  for (int i = 0; i < kOtherCount; ++i) result.found[i + 1] = MeasureOther(kOthers[i], &result.stats[i + 1]);
  return result;
}

void PrintOthersTable(const OthersResult& result) {
  printf("relaunch after SIGKILL of a target that ran 1.2 s, microseconds (%d rounds)\n", g.others_rounds);
  printf("  %-6s %12s", "", "monitor");
  for (const Other& other : kOthers) printf(" %12s", other.label);
  printf("\n");
  const char* names[] = {"p50", "p90", "max"};
  for (int row = 0; row < 3; ++row) {
    printf("  %-6s", names[row]);
    for (int i = 0; i <= kOtherCount; ++i) {
      const Stats& stats = result.stats[i];
      const double value = row == 0 ? stats.p50 : row == 1 ? stats.p90 : stats.max;
      if (result.found[i]) {
        printf(" %12.1f", value);
      } else {
        printf(" %12s", "absent");
      }
    }
    printf("\n");
  }
}

void PrintOthersJson(const OthersResult& result) {
  printf(",\"others_rounds\":%d,\"aged_monitor_p50_us\":%.1f", g.others_rounds, result.stats[0].p50);
  for (int i = 0; i < kOtherCount; ++i) {
    if (result.found[i + 1]) printf(",\"aged_%s_p50_us\":%.1f", kOthers[i].label, result.stats[i + 1].p50);
  }
}

[[noreturn]] void Usage() {
  static_cast<void>(fprintf(stderr,
                            "usage: bench [--rounds N] [--starts N] [--crash-seconds S] [--idle-seconds S]\n"
                            "             [--others [--others-rounds N]] [--monitor PATH] [--monitor-static PATH]\n"
                            "             [--ping PATH]\n"));
  exit(2);
}

int CountArgument(const char* text, int high) {
  long long value = 0;
  if (!proc::ParseNumber(text, 1, high, &value)) Usage();
  return static_cast<int>(value);
}

void ParseArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (strcmp(option, "--others") == 0) {
      g.others = true;
      continue;
    }
    if (value == nullptr) Usage();
    ++i;
    if (strcmp(option, "--rounds") == 0) {
      g.rounds = CountArgument(value, kMaxRounds);
    } else if (strcmp(option, "--starts") == 0) {
      g.starts = CountArgument(value, kMaxRounds);
    } else if (strcmp(option, "--crash-seconds") == 0) {
      g.crash_seconds = CountArgument(value, 3600);
    } else if (strcmp(option, "--idle-seconds") == 0) {
      g.idle_seconds = CountArgument(value, 3600);
    } else if (strcmp(option, "--others-rounds") == 0) {
      g.others_rounds = CountArgument(value, kMaxRounds);
    } else if (strcmp(option, "--monitor") == 0) {
      g.monitor = value;
    } else if (strcmp(option, "--monitor-static") == 0) {
      g.monitor_static = value;
    } else if (strcmp(option, "--ping") == 0) {
      g.ping = value;
    } else {
      Usage();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  ParseArguments(argc, argv);
  // The detached supervisors become this process's children, to be reaped.
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) Fail("prctl");

  Stats bare{};
  Stats mon{};
  MeasureRelaunch(&bare, &mon);
  const double bare_crash = BareCrashRate();
  const double mon_crash = MonitorCrashRate();
  Stats bare_start{};
  Stats mon_start{};
  Stats static_start{};
  MeasureStart(&bare_start, &mon_start, &static_start);
  long long dynamic_dirty = 0;
  long long static_dirty = 0;
  MedianPrivateDirty(&dynamic_dirty, &static_dirty);
  const Footprint f = MeasureFootprint(g.monitor, true, dynamic_dirty);
  const Footprint s = HaveStatic() ? MeasureFootprint(g.monitor_static, false, static_dirty) : Footprint{};

  printf("relaunch after SIGKILL, microseconds (%d rounds)\n", g.rounds);
  printf("  %-8s %10s %10s %8s\n", "", "bare", "monitor", "ratio");
  const char* names[] = {"p50", "p90", "p99", "max", "mean"};
  const double bare_values[] = {bare.p50, bare.p90, bare.p99, bare.max, bare.mean};
  const double mon_values[] = {mon.p50, mon.p90, mon.p99, mon.max, mon.mean};
  for (int i = 0; i < 5; ++i) {
    printf("  %-8s %10.1f %10.1f %8.3f\n", names[i], bare_values[i], mon_values[i], mon_values[i] / bare_values[i]);
  }
  printf("crash loop, starts per second: bare %.0f, monitor %.0f, ratio %.3f\n", bare_crash, mon_crash,
         mon_crash / bare_crash);
  printf("start to first report p50, microseconds: bare %.1f, monitor %.1f, ratio %.3f\n", bare_start.p50,
         mon_start.p50, mon_start.p50 / bare_start.p50);
  printf(
      "supervisor footprint: rss %lld KiB, pss %lld KiB, private dirty %lld KiB (median of %d starts), threads %lld, "
      "fds %lld, binary %lld bytes\n",
      f.rss, f.pss, f.private_dirty, kDirtySamples, f.threads, f.fds, f.binary);
  printf("idle %d s: context switches %lld, cpu ticks %lld\n", g.idle_seconds, f.idle_switches, f.idle_ticks);
  if (HaveStatic()) {
    printf("static build, start to first report p50, microseconds: %.1f, dynamic %.1f, ratio %.3f\n", static_start.p50,
           mon_start.p50, static_start.p50 / mon_start.p50);
    printf(
        "static supervisor footprint: rss %lld KiB, pss %lld KiB, private dirty %lld KiB (dynamic %lld, ratio %.3f), "
        "binary %lld bytes (dynamic %lld)\n",
        s.rss, s.pss, s.private_dirty, f.private_dirty,
        static_cast<double>(s.private_dirty) / static_cast<double>(f.private_dirty), s.binary, f.binary);
  }
  OthersResult others{};
  if (g.others) {
    others = MeasureOthers();
    PrintOthersTable(others);
  }
  printf(
      "{\"rounds\":%d,\"bare_p50_us\":%.1f,\"bare_p90_us\":%.1f,\"bare_p99_us\":%.1f,\"bare_max_us\":%.1f,"
      "\"monitor_p50_us\":%.1f,\"monitor_p90_us\":%.1f,\"monitor_p99_us\":%.1f,\"monitor_max_us\":%.1f,"
      "\"ratio_p50\":%.3f,\"ratio_p90\":%.3f,\"ratio_p99\":%.3f,\"ratio_max\":%.3f,"
      "\"bare_crash_per_s\":%.0f,\"monitor_crash_per_s\":%.0f,\"ratio_crash\":%.3f,"
      "\"bare_start_p50_us\":%.1f,\"monitor_start_p50_us\":%.1f,\"ratio_start\":%.3f,"
      "\"rss_kib\":%lld,\"pss_kib\":%lld,\"private_dirty_kib\":%lld,\"threads\":%lld,\"fds\":%lld,"
      "\"binary_bytes\":%lld,\"idle_seconds\":%d,\"idle_switches\":%lld,\"idle_cpu_ticks\":%lld",
      g.rounds, bare.p50, bare.p90, bare.p99, bare.max, mon.p50, mon.p90, mon.p99, mon.max, mon.p50 / bare.p50,
      mon.p90 / bare.p90, mon.p99 / bare.p99, mon.max / bare.max, bare_crash, mon_crash, mon_crash / bare_crash,
      bare_start.p50, mon_start.p50, mon_start.p50 / bare_start.p50, f.rss, f.pss, f.private_dirty, f.threads, f.fds,
      f.binary, g.idle_seconds, f.idle_switches, f.idle_ticks);
  if (HaveStatic()) {
    printf(
        ",\"static_start_p50_us\":%.1f,\"ratio_static_start\":%.3f,\"static_rss_kib\":%lld,\"static_pss_kib\":%lld,"
        "\"static_private_dirty_kib\":%lld,\"static_binary_bytes\":%lld",
        static_start.p50, static_start.p50 / mon_start.p50, s.rss, s.pss, s.private_dirty, s.binary);
  }
  if (g.others) PrintOthersJson(others);
  printf("}\n");
  return 0;
}
