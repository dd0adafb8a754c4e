// What the benchmark's target writes, in one write, when it starts.
#pragma once

#include <sys/types.h>

constexpr int kPingFd = 3;

struct PingReport {
  long long ns;  // CLOCK_MONOTONIC at the target's first instruction of main
  pid_t pid;
  pid_t ppid;
};
