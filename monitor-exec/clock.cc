// Time as the waits of a start count it: the monotonic clock, which no
// change of the date moves.
#include <errno.h>
#include <time.h>

#include "companion.h"

namespace companion {

long long NowMs() {
  timespec now{};
  static_cast<void>(clock_gettime(CLOCK_MONOTONIC, &now));
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void PauseMs(long ms) {
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  // A signal handled meanwhile cuts it short: the rest is slept.
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace companion
