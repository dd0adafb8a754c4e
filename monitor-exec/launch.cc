// The process's own settings for the program: signals, core files,
// output; then the program awaited and executed.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "companion.h"

namespace companion {
namespace {

// How often the program's file is looked at again while a deploy replaces it.
constexpr long kRetryMs = 50;

// Failures of execve that a deploy causes for a moment while it replaces
// the file (gone, not yet executable, still being written), and the ones
// that pass by themselves.
bool PassesSoon(int error) {
  return error == ENOENT || error == EACCES || error == ENOEXEC || error == ETXTBSY || error == EAGAIN ||
         error == ENOMEM || error == ENFILE;
}

bool IsExecutableFile(const char* path) {
  struct stat file {};
  return stat(path, &file) == 0 && S_ISREG(file.st_mode) && access(path, X_OK) == 0;
}

// Finds program as execvp would, into path: as it is when it holds a slash,
// else the first executable file along PATH. False if there is none, or if
// it does not fit in size bytes.
bool ResolveProgram(const char* program, char* path, size_t size) {
  if (strchr(program, '/') != nullptr) {
    const int written = snprintf(path, size, "%s", program);
    return static_cast<size_t>(written) < size && IsExecutableFile(path);
  }
  const char* search = getenv("PATH");
  if (search == nullptr) search = "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const size_t length = strcspn(search, ":");
    const int written =
        snprintf(path, size, "%.*s%s%s", static_cast<int>(length), search, length == 0 ? "" : "/", program);
    if (static_cast<size_t>(written) < size && IsExecutableFile(path)) return true;
    if (search[length] == '\0') return false;
    search += length + 1;
  }
}

}  // namespace

bool ResetSignals(Reason* reason) {
  // A disposition of "ignore" survives execve, and so does the mask that
  // monitor leaves blocked: a server would never see SIGTERM.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number == SIGKILL || signal_number == SIGSTOP) continue;
    // The C library keeps a few real-time signals for itself and refuses
    // them with EINVAL; nothing else can fail here.
    if (sigaction(signal_number, &default_action, nullptr) != 0 && errno != EINVAL) {
      Say(reason, "cannot reset signal %d: %s", signal_number, strerror(errno));
      return false;
    }
  }
  sigset_t none;
  sigemptyset(&none);
  if (sigprocmask(SIG_SETMASK, &none, nullptr) != 0) {
    Say(reason, "cannot unblock the signals: %s", strerror(errno));
    return false;
  }
  return true;
}

bool ApplyCoreSettings(const Options& options, Reason* reason) {
  if (options.set_core_limit) {
    rlimit limit{};
    if (getrlimit(RLIMIT_CORE, &limit) != 0) {
      Say(reason, "cannot read the core-file limit: %s", strerror(errno));
      return false;
    }
    // The hard limit is lowered only if it must be, so that the server may
    // raise its own again; it is raised where the privilege allows.
    limit.rlim_cur = options.core_limit;
    if (limit.rlim_max != RLIM_INFINITY &&
        (options.core_limit == RLIM_INFINITY || options.core_limit > limit.rlim_max)) {
      limit.rlim_max = options.core_limit;
    }
    if (setrlimit(RLIMIT_CORE, &limit) != 0) {
      Say(reason, "cannot set the core-file limit: %s", strerror(errno));
      return false;
    }
  }
  if (options.coredump_filter != nullptr) {
    // Inherited across fork and execve; written while this process still
    // owns its /proc files, before the user changes. The kernel reads the
    // mask as C reads a number, as decimal without 0x (octal after a 0), so
    // it is written with 0x however it was given (at most 8 hexadecimal
    // digits, checked with the options).
    char mask[16];
    const auto length =
        static_cast<size_t>(snprintf(mask, sizeof mask, "0x%lx", strtoul(options.coredump_filter, nullptr, 16)));
    const int fd = open("/proc/self/coredump_filter", O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, mask, length) != static_cast<ssize_t>(length)) {
      Say(reason, "cannot write /proc/self/coredump_filter: %s", strerror(errno));
      if (fd >= 0) static_cast<void>(close(fd));
      return false;
    }
    if (close(fd) != 0) {
      Say(reason, "cannot write /proc/self/coredump_filter: %s", strerror(errno));
      return false;
    }
  }
  return true;
}

bool AwaitExecutable(const char* program, char* path, size_t size, long long deadline) {
  while (!ResolveProgram(program, path, size)) {
    if (NowMs() >= deadline) return false;
    PauseMs(kRetryMs);
  }
  return true;
}

void ExecuteRetrying(const char* path, char** argv, long long deadline) {
  while (true) {
    execve(path, argv, environ);
    const int error = errno;
    if (!PassesSoon(error) || NowMs() >= deadline) {
      errno = error;
      return;
    }
    PauseMs(kRetryMs);
  }
}

}  // namespace companion
