// monitor-exec: prepares this process for a server, then executes the
// server in it. Each step either succeeds or says why not, in one line.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "companion.h"
#include "help.h"

namespace {

using namespace companion;

int Refuse(const Options& options, const Reason& reason) {
  SayFailure(options.log_fd, reason.text);
  return kRefused;
}

int Fail(const Options& options, const Reason& reason) {
  SayFailure(options.log_fd, reason.text);
  return kFailed;
}

// Descriptors named on the command line must be open, and are kept from
// the program: it gets the output as its standard streams only.
bool CheckDescriptor(int fd, const char* option, Reason* reason) {
  if (fd < 0) return true;
  const int flags = fcntl(fd, F_GETFD);
  if (flags < 0) {
    Say(reason, "%s: descriptor %d is not open", option, fd);
    return false;
  }
  return true;
}

bool CloseOnExec(int fd, Reason* reason) {
  if (fd <= STDERR_FILENO || fcntl(fd, F_SETFD, FD_CLOEXEC) == 0) return true;
  Say(reason, "cannot mark descriptor %d close-on-exec: %s", fd, strerror(errno));
  return false;
}

bool RedirectOutput(int fd, Reason* reason) {
  if (fd < 0) return true;
  if ((fd != STDOUT_FILENO && dup2(fd, STDOUT_FILENO) < 0) || (fd != STDERR_FILENO && dup2(fd, STDERR_FILENO) < 0)) {
    Say(reason, "cannot make descriptor %d the standard output: %s", fd, strerror(errno));
    return false;
  }
  return CloseOnExec(fd, reason);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  Reason reason{};
  switch (ParseOptions(argc, argv, &options, &reason)) {
    case Parsed::kHelp:
      return WriteHelp();
    case Parsed::kVersion:
      return WriteVersion();
    case Parsed::kRefusal:
      return Refuse(options, reason);
    case Parsed::kRun:
      break;
  }
  // Everything that can be refused, while nothing has changed.
  Identity identity;
  Leftovers leftovers;
  if (!CheckDescriptor(options.log_fd, "--log-fd", &reason) ||
      !CheckDescriptor(options.output_fd, "--output-fd", &reason) || !LookUpIdentity(options, &identity, &reason) ||
      !LookUpCapabilities(options, &identity, &reason) || !ProveScope(options, &leftovers, &reason)) {
    return Refuse(options, reason);
  }

  Ended ended;
  if (leftovers.active) EndLeftovers(leftovers, options.end_wait_ms, &ended);
  if (!ApplyCoreSettings(options, &reason) || !RedirectOutput(options.output_fd, &reason) ||
      !CloseOnExec(options.log_fd, &reason)) {
    return Fail(options, reason);
  }
  if (options.stay_codes != nullptr && !StayAsParent(options, &reason)) return Fail(options, reason);
  if ((!options.keep_signals && !ResetSignals(&reason)) || !TakeIdentity(identity, &reason)) {
    return Fail(options, reason);
  }
  // One deadline for the deploy: for the file to come, then for the
  // failures of execve it causes to pass.
  const long long deploy_deadline = NowMs() + options.deploy_wait_ms;
  char path[PATH_MAX];
  if (!AwaitExecutable(options.program[0], path, sizeof path, deploy_deadline)) {
    Say(&reason, "%s: no executable file after %ld s", options.program[0], options.deploy_wait_ms / 1000);
    return Fail(options, reason);
  }
  char line[512];
  FormatStartLine(line, sizeof line, path, getpid(), leftovers, ended);
  SayStart(options.log_fd, line);
  ExecuteRetrying(path, options.program, deploy_deadline);
  Say(&reason, "cannot execute %s: %s", path, strerror(errno));
  return Fail(options, reason);
}
