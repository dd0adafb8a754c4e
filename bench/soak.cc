// Endurance: a long run of relaunches under a storm of watched signals.
//
//   soak [--relaunches N]
//
// While a second process sends the supervisor SIGTERM, SIGINT, SIGHUP,
// SIGALRM, SIGPIPE and SIGCHLD without pause, the target dies from a signal
// at once on each of its first 1000 starts and the next one stays up; the
// supervisor's descriptors and private dirty memory are read then. That
// target is killed, the next N starts die at once too, and the one after
// stays up. Afterwards the last target must run, the supervisor must hold no
// zombie and the same descriptors and private dirty memory as before, and
// starts must equal deaths plus one: no death went without a relaunch and
// none got two.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "proc.h"
#include "soak.h"

namespace {

using proc::KillStarted;
using proc::Now;

// Complains on standard error; if that is gone too, there is no one to tell.
void Complain(const char* what) { static_cast<void>(fprintf(stderr, "soak: %s\n", what)); }

// The supervisor's children, and how many of them are zombies.
void CountChildren(pid_t supervisor, int* children, int* zombies) {
  pid_t found[64];
  *children = proc::Children(supervisor, found, 64);
  *zombies = 0;
  for (int i = 0; i < *children; ++i) *zombies += proc::State(found[i]) == 'Z' ? 1 : 0;
}

[[noreturn]] void Storm(pid_t supervisor, SoakCounters* counters) {
  static const int kSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGALRM, SIGPIPE, SIGCHLD};
  for (unsigned long i = 0;; ++i) {
    if (kill(supervisor, kSignals[i % 6]) != 0) _exit(0);
    __atomic_add_fetch(&counters->storm_signals, 1, __ATOMIC_RELAXED);
    if (i % 64 == 0) sched_yield();
  }
}

// Starts that die before the baseline is read.
constexpr long long kWarmUpDeaths = 1000;

// Waits for the start that stays up; returns its pid, or -1 at the deadline.
pid_t WaitForSurvivor(SoakCounters* counters, long long give_up) {
  while (Now() < give_up) {
    const pid_t survivor = __atomic_load_n(&counters->survivor, __ATOMIC_SEQ_CST);
    if (survivor > 1 && __atomic_exchange_n(&counters->survivor, 0, __ATOMIC_SEQ_CST) == survivor) {
      // Past its exec: it is the survivor, pausing; give the supervisor time
      // to return to its loop.
      proc::SleepUs(200000);
      return survivor;
    }
    proc::SleepUs(10000);
  }
  return -1;
}

struct Sample {
  int fds;
  long long private_dirty_kib;
};

Sample Measure(pid_t supervisor) {
  return Sample{proc::OpenDescriptors(supervisor), proc::ProcNumber(supervisor, "smaps_rollup", "Private_Dirty:")};
}

}  // namespace

int main(int argc, char** argv) {
  long long relaunches = 100000;
  const bool understood = argc == 1 || (argc == 3 && strcmp(argv[1], "--relaunches") == 0 &&
                                        proc::ParseNumber(argv[2], 2000, 100000000, &relaunches));
  if (!understood) {
    Complain("usage: soak [--relaunches N], N from 2000");
    return 2;
  }
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return 1;

  // The counters, shared with every target through an inherited descriptor.
  const int memory = memfd_create("soak", 0);
  if (memory < 0 || ftruncate(memory, sizeof(SoakCounters)) != 0 || dup2(memory, kSoakFd) != kSoakFd) {
    perror("soak: counters");
    return 1;
  }
  auto* counters =
      static_cast<SoakCounters*>(mmap(nullptr, sizeof(SoakCounters), PROT_READ | PROT_WRITE, MAP_SHARED, kSoakFd, 0));
  if (counters == MAP_FAILED) return 1;
  counters->deaths_wanted = kWarmUpDeaths;

  const pid_t invoker = fork();
  if (invoker == 0) {
    char* args[] = {const_cast<char*>(MONITOR_PATH), const_cast<char*>(SOAK_TARGET_PATH), nullptr};
    execve(MONITOR_PATH, args, environ);
    _exit(127);
  }
  int status = 0;
  if (invoker < 0 || waitpid(invoker, &status, 0) != invoker || status != 0) {
    Complain("the supervisor did not start");
    munmap(counters, sizeof(SoakCounters));
    return 1;
  }
  // The detached supervisor is now this subreaper's only child.
  pid_t supervisor = -1;
  if (proc::Children(getpid(), &supervisor, 1) != 1 || supervisor <= 1) {
    Complain("no supervisor found");
    munmap(counters, sizeof(SoakCounters));
    return 1;
  }

  const pid_t storm = fork();
  if (storm == 0) Storm(supervisor, counters);

  // Warm-up: the first starts die, the next one stays up. The baseline is
  // read then, with the supervisor idle and its one child past exec: between
  // fork and exec its pages are shared with the child and do not count as
  // private.
  int failures = 0;
  const long long began = Now();
  const long long give_up = began + (relaunches / 100 + 600) * 1000000000LL;
  const pid_t warm_survivor = WaitForSurvivor(counters, give_up);
  const Sample baseline = Measure(supervisor);

  // The run itself: the survivor is killed (a death by signal like the
  // others, counted here) and the next `relaunches` starts die too.
  __atomic_store_n(&counters->deaths_wanted, kWarmUpDeaths + 1 + relaunches, __ATOMIC_SEQ_CST);
  __atomic_add_fetch(&counters->deaths, 1, __ATOMIC_SEQ_CST);
  KillStarted(warm_survivor);
  const pid_t survivor = WaitForSurvivor(counters, give_up);
  const double seconds = static_cast<double>(Now() - began) / 1e9;
  KillStarted(storm);
  waitpid(storm, nullptr, 0);

  // Let the last SIGCHLDs and storm signals drain before looking.
  proc::SleepUs(500000);
  int children = 0;
  int zombies = 0;
  CountChildren(supervisor, &children, &zombies);
  const Sample end = Measure(supervisor);
  const long long starts = counters->starts;
  const long long deaths = counters->deaths;
  const long long want_deaths = kWarmUpDeaths + 1 + relaunches;
  const bool survivor_runs = survivor > 1 && proc::State(survivor) != 'Z' && proc::State(survivor) != '?';

  printf("soak: %lld relaunches in %.1f s (%.0f/s) under a storm of %lld signals\n", deaths, seconds,
         static_cast<double>(deaths) / seconds, counters->storm_signals);
  printf("  starts %lld, deaths %lld (want deaths %lld, starts = deaths + 1)\n", starts, deaths, want_deaths);
  printf("  supervisor children %d, zombies %d, last target %s\n", children, zombies,
         survivor_runs ? "running" : "NOT running");
  printf("  descriptors %d -> %d, private dirty %lld KiB -> %lld KiB\n", baseline.fds, end.fds,
         baseline.private_dirty_kib, end.private_dirty_kib);

  if (warm_survivor <= 1 || survivor <= 1) ++failures;
  if (starts != want_deaths + 1 || deaths != want_deaths) ++failures;
  if (children != 1 || zombies != 0 || !survivor_runs) ++failures;
  if (baseline.fds != end.fds || baseline.private_dirty_kib != end.private_dirty_kib) ++failures;

  KillStarted(supervisor);
  KillStarted(survivor);
  if (!proc::ReapAll()) ++failures;
  printf("soak: %s\n", failures == 0 ? "passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
