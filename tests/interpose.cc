// Preloaded into the supervisor to make some of its calls fail.
//
// FORK_FAIL_SKIP=N lets the first N calls of fork through, FORK_FAIL_COUNT=M
// fails the M calls after them with EAGAIN, and FORK_FAIL_FD, if set, gets a
// line "fork refused MS" for each failed call, MS being the monotonic clock
// in milliseconds. DAEMON_FAIL=1 makes daemon fail
// with EAGAIN without forking.
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace {

int EnvNumber(const char* name, int fallback) {
  const char* text = getenv(name);
  return text != nullptr ? static_cast<int>(strtol(text, nullptr, 10)) : fallback;
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" pid_t fork() {
  static int calls = 0;
  ++calls;
  const int skip = EnvNumber("FORK_FAIL_SKIP", 0);
  const int count = EnvNumber("FORK_FAIL_COUNT", 0);
  if (calls > skip && calls <= skip + count) {
    const int fd = EnvNumber("FORK_FAIL_FD", -1);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[64];
    const int length = snprintf(line, sizeof line, "fork refused %lld\n",
                                static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
    if (fd >= 0 && (length <= 0 || write(fd, line, static_cast<size_t>(length)) < 0)) _exit(91);
    errno = EAGAIN;
    return -1;
  }
  auto real_fork = Next<pid_t (*)()>("fork");
  if (real_fork == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real_fork();
}

extern "C" int daemon(int nochdir, int noclose) {
  if (EnvNumber("DAEMON_FAIL", 0) == 1) {
    errno = EAGAIN;
    return -1;
  }
  auto real_daemon = Next<int (*)(int, int)>("daemon");
  if (real_daemon == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real_daemon(nochdir, noclose);
}
