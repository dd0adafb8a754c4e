// The benchmark's target. Its first act is to write, on descriptor 3, the
// CLOCK_MONOTONIC time at which it runs, with its pid and its parent's pid.
//
//   ping          then wait until killed
//   ping crash    then die at once from SIGSEGV, with no core file
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "ping.h"

int main(int argc, char** argv) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  PingReport report{};
  report.ns = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
  report.pid = getpid();
  report.ppid = getppid();
  if (write(kPingFd, &report, sizeof report) != sizeof report) return 1;

  if (argc > 1 && strcmp(argv[1], "crash") == 0) {
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    kill(getpid(), SIGSEGV);
  }
  for (;;) pause();
}
