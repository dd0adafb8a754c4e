// The counters the soak shares with every start of its target.
#pragma once

#include <sys/types.h>

constexpr int kSoakFd = 4;

struct SoakCounters {
  long long deaths_wanted;  // starts that must die from a signal
  long long starts;         // incremented by each start, first thing
  long long deaths;         // incremented by each start just before it dies
  pid_t survivor;           // a start that stayed up, until the soak takes it
  long long storm_signals;  // signals the storm sent the supervisor
};
