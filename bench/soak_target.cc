// The soak's target. Descriptor 4 is a shared page of counters; every start
// takes a start number, and the first ones die from a signal at once.
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include "soak.h"

int main() {
  void* page = mmap(nullptr, sizeof(SoakCounters), PROT_READ | PROT_WRITE, MAP_SHARED, kSoakFd, 0);
  if (page == MAP_FAILED) return 1;
  auto* counters = static_cast<SoakCounters*>(page);
  const long long start = __atomic_add_fetch(&counters->starts, 1, __ATOMIC_SEQ_CST);
  if (start > __atomic_load_n(&counters->deaths_wanted, __ATOMIC_SEQ_CST)) {
    __atomic_store_n(&counters->survivor, getpid(), __ATOMIC_SEQ_CST);
    for (;;) pause();
  }

  // Three ways to die from a signal; none leaves a core file.
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  static const int kSignals[] = {SIGKILL, SIGSEGV, SIGUSR1};
  __atomic_add_fetch(&counters->deaths, 1, __ATOMIC_SEQ_CST);
  kill(getpid(), kSignals[start % 3]);
  return 2;  // not reached: none of the three is blocked or handled
}
