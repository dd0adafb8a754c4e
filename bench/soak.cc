// Endurance: a long run of relaunches under a storm of watched signals.
//
//   soak [--relaunches N]
//
// The target dies from a signal at once on each of its first N starts and
// then stays up, while a second process sends the supervisor SIGTERM,
// SIGINT, SIGHUP, SIGALRM, SIGPIPE and SIGCHLD without pause. Afterwards the
// last target must run, the supervisor must hold no zombie and the same
// descriptors and private dirty memory as after its first thousand
// relaunches, and starts must equal deaths plus one: no death went without a
// relaunch and none got two.
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
  counters->deaths_wanted = relaunches;

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

  int failures = 0;
  const long long began = Now();
  const long long give_up = began + (relaunches / 100 + 600) * 1000000000LL;
  bool baseline_taken = false;
  Sample baseline{};
  while (__atomic_load_n(&counters->starts, __ATOMIC_SEQ_CST) <= relaunches && Now() < give_up) {
    if (!baseline_taken && __atomic_load_n(&counters->starts, __ATOMIC_SEQ_CST) > 1000) {
      baseline = Measure(supervisor);
      baseline_taken = true;
    }
    proc::SleepUs(10000);
  }
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
  const pid_t survivor = counters->survivor;
  const bool survivor_runs = survivor > 1 && kill(survivor, 0) == 0;

  printf("soak: %lld relaunches in %.1f s (%.0f/s) under a storm of %lld signals\n", deaths, seconds,
         static_cast<double>(deaths) / seconds, counters->storm_signals);
  printf("  starts %lld, deaths %lld (want starts = deaths + 1 = %lld)\n", starts, deaths, relaunches + 1);
  printf("  supervisor children %d, zombies %d, last target %s\n", children, zombies,
         survivor_runs ? "running" : "NOT running");
  printf("  descriptors %d -> %d, private dirty %lld KiB -> %lld KiB\n", baseline.fds, end.fds,
         baseline.private_dirty_kib, end.private_dirty_kib);

  if (starts != relaunches + 1 || deaths != relaunches) ++failures;
  if (children != 1 || zombies != 0 || !survivor_runs) ++failures;
  if (!baseline_taken || baseline.fds != end.fds || baseline.private_dirty_kib != end.private_dirty_kib) ++failures;

  KillStarted(supervisor);
  KillStarted(survivor);
  if (!proc::ReapAll()) ++failures;
  printf("soak: %s\n", failures == 0 ? "passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
