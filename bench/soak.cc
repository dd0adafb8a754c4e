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
#include <dirent.h>
#include <errno.h>
#include <sched.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "soak.h"

extern char** environ;

namespace {

long long Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void KillStarted(pid_t pid) {
  if (pid > 1) kill(pid, SIGKILL);
}

long long ProcNumber(pid_t pid, const char* file_name, const char* key) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/%s", pid, file_name);
  FILE* file = fopen(path, "r");
  if (file == nullptr) return -1;
  char line[256];
  long long value = -1;
  const size_t key_length = strlen(key);
  while (fgets(line, sizeof line, file) != nullptr) {
    if (strncmp(line, key, key_length) == 0) value = atoll(line + key_length);
  }
  fclose(file);
  return value;
}

int OpenDescriptors(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/fd", pid);
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

// The supervisor's children: how many, and how many of them are zombies.
void CountChildren(pid_t supervisor, int* children, int* zombies) {
  *children = 0;
  *zombies = 0;
  char path[96];
  snprintf(path, sizeof path, "/proc/%d/task/%d/children", supervisor, supervisor);
  FILE* file = fopen(path, "r");
  if (file == nullptr) return;
  int child = 0;
  while (fscanf(file, "%d", &child) == 1) {
    ++*children;
    char stat_path[64];
    snprintf(stat_path, sizeof stat_path, "/proc/%d/stat", child);
    FILE* stat = fopen(stat_path, "r");
    if (stat == nullptr) continue;
    char text[512];
    const size_t n = fread(text, 1, sizeof text - 1, stat);
    fclose(stat);
    text[n] = '\0';
    const char* after_name = strrchr(text, ')');
    if (after_name != nullptr && after_name[2] == 'Z') ++*zombies;
  }
  fclose(file);
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
  return Sample{OpenDescriptors(supervisor), ProcNumber(supervisor, "smaps_rollup", "Private_Dirty:")};
}

}  // namespace

int main(int argc, char** argv) {
  long long relaunches = 100000;
  if (argc == 3 && strcmp(argv[1], "--relaunches") == 0) relaunches = atoll(argv[2]);
  if (relaunches < 1000) {
    fprintf(stderr, "usage: soak [--relaunches N], N at least 1000\n");
    return 2;
  }
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return 1;

  // The counters, shared with every target through an inherited descriptor.
  const int memory = memfd_create("soak", 0);
  if (memory < 0 || ftruncate(memory, sizeof(SoakCounters)) != 0 || dup2(memory, kSoakFd) != kSoakFd) {
    perror("soak: counters");
    return 1;
  }
  auto* counters = static_cast<SoakCounters*>(
      mmap(nullptr, sizeof(SoakCounters), PROT_READ | PROT_WRITE, MAP_SHARED, kSoakFd, 0));
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
    fprintf(stderr, "soak: the supervisor did not start\n");
    return 1;
  }
  // The detached supervisor is now this subreaper's only child.
  pid_t supervisor = -1;
  {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task/%d/children", getpid(), getpid());
    FILE* file = fopen(path, "r");
    if (file == nullptr || fscanf(file, "%d", &supervisor) != 1) supervisor = -1;
    if (file != nullptr) fclose(file);
  }
  if (supervisor <= 1) {
    fprintf(stderr, "soak: no supervisor found\n");
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
    usleep(10000);
  }
  const double seconds = static_cast<double>(Now() - began) / 1e9;
  KillStarted(storm);
  waitpid(storm, nullptr, 0);

  // Let the last SIGCHLDs and storm signals drain before looking.
  usleep(500000);
  int children = 0, zombies = 0;
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
  // Reap everything this subreaper adopted, with a deadline.
  const long long reap_deadline = Now() + 10000000000LL;
  while (Now() < reap_deadline) {
    const pid_t got = waitpid(-1, nullptr, WNOHANG);
    if (got < 0 && errno == ECHILD) break;
    if (got <= 0) usleep(1000);
  }
  printf("soak: %s\n", failures == 0 ? "passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
