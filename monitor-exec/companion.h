// monitor-exec: prepares its own process, then executes the server in it,
// so that the pid monitor watches is the server's.
//
// Everything that can be refused is checked first, while nothing has
// changed yet: the options, the user and group, the scope of the
// leftovers to end, the descriptors named. Then, in order: the leftovers
// of the previous instance are ended and awaited, the core settings are
// applied, the output redirected, the signals reset, the identity changed,
// the program awaited, the start said, and the program executed.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <sys/resource.h>
#include <sys/types.h>

namespace companion {

// The exit status of a refusal: nothing was changed.
constexpr int kRefused = 100;
// The exit status of a failure once changes had begun.
constexpr int kFailed = 111;

// Whether to end what earlier instances left: the supervisor's children
// other than this process.
enum class Scope {
  kDefault,    // where the parent is provably a monitor supervisor
  kLeftovers,  // the same, refused where it cannot be proved
  kNone,
};

struct Options {
  const char* user = nullptr;
  const char* group = nullptr;
  const char* keep_caps = nullptr;  // the names, as given
  bool keep_signals = false;
  Scope scope = Scope::kDefault;
  long end_wait_ms = 10000;
  long deploy_wait_ms = 10000;
  bool set_core_limit = false;
  rlim_t core_limit = 0;
  const char* coredump_filter = nullptr;
  int log_fd = -1;
  int output_fd = -1;
  const char* stay_codes = nullptr;
  char** program = nullptr;  // PROGRAM and its arguments, used in place
};

enum class Parsed { kRun, kHelp, kVersion, kRefusal };

// A refusal's reason, one line without the program's name.
struct Reason {
  char text[256];
};
void Say(Reason* reason, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Reads the command line into options; on kRefusal, reason says why.
Parsed ParseOptions(int argc, char** argv, Options* options, Reason* reason);
// A plain decimal number no greater than limit: no sign, no space, no
// leading zero, nothing after it.
bool Decimal(const char* text, unsigned long long limit, unsigned long long* value);
// Whether code is one of a list such as "1,128-159".
bool ListedCode(const char* codes, int code);
// Parses a list such as "1,128-159" of exit codes 0..255.
bool ValidCodes(const char* codes);

// The user and group to run as, looked up once, before anything changes.
struct Identity {
  bool change_user = false;
  bool change_group = false;
  uid_t uid = 0;
  gid_t gid = 0;
  char name[64] = "";                // the user's name, for its supplementary groups
  unsigned long long keep_caps = 0;  // one bit per capability kept
};
bool LookUpIdentity(const Options& options, Identity* identity, Reason* reason);
// Reads --keep-caps into identity, once the identity is known: refused
// without a change of identity, or for a capability not held.
bool LookUpCapabilities(const Options& options, Identity* identity, Reason* reason);
// Sets the supplementary groups, the group, then the user; then leaves the
// program no capability but those kept.
bool TakeIdentity(const Identity& identity, Reason* reason);
// Asks setuid to leave the permitted set alone, where capabilities are kept.
bool HoldCapabilitiesAcrossSetuid(const Identity& identity, Reason* reason);
// Leaves exactly the capabilities kept, in every set, for the program.
bool KeepOnlyCapabilities(const Identity& identity, Reason* reason);

// The processes to end before the start: the supervisor proved once, its
// children listed each round.
struct Leftovers {
  bool active = false;
  pid_t supervisor = 0;
  char children[64] = "";  // the supervisor's list of children under /proc
  char unseen[160] = "";   // why they were not looked for, if they were not
};
// Decides whether the parent is provably a monitor supervisor, whose other
// children are then what earlier instances left.
bool ProveScope(const Options& options, Leftovers* leftovers, Reason* reason);

// What ending the leftovers did, for the start line.
struct Ended {
  int count = 0;
  int still_present = 0;
  char unseen[160] = "";  // why some could not be seen or ended, if so
  pid_t first[8] = {};
  long long elapsed_ms = 0;
};
void EndLeftovers(const Leftovers& leftovers, long wait_ms, Ended* ended);

// Readers of what /proc says, each given the text of one file.
// Reads a whole small file into text, NUL-terminated; false with errno set
// when it cannot, or when it is empty.
bool ReadSmallFile(const char* path, char* text, size_t size);
// The value after "KEY:" and its blanks in a status file, or nullptr.
const char* StatusField(const char* status, const char* key);
// Whether the NSpid line of a status file holds pid alone.
bool SoleNamespacePid(const char* status, pid_t pid);
// Whether signal_number is set in a mask as /proc shows it (hexadecimal).
bool InMask(const char* mask, int signal_number);
// Whether a status file shows no signal of watched caught by a handler.
bool CatchesNone(const char* status, const sigset_t& watched);
// Field number (as proc(5) counts, from 3) of a stat line, into field.
bool StatField(const char* stat, int number, char* field, size_t size);
// Whether a stat line shows pid leading its process group and session.
bool StatLeadsItsGroupAndSession(const char* stat, pid_t pid);

// Where the start line goes: the system log, or a descriptor (standard
// error where there is no system log).
void SayStart(int log_fd, const char* line);
// A failure: on standard error, and to the system log or the descriptor.
void SayFailure(int log_fd, const char* line);
// Formats the start line of program, running as pid.
void FormatStartLine(char* line, size_t size, const char* program, pid_t pid, const Leftovers& leftovers,
                     const Ended& ended);

// Every signal back to its default disposition, none blocked.
bool ResetSignals(Reason* reason);
// Applies --core-limit and --coredump-filter.
bool ApplyCoreSettings(const Options& options, Reason* reason);

// Waits until program, found as execvp finds it, is an executable file,
// into path, or until the deploy's deadline (on NowMs's clock) has passed.
bool AwaitExecutable(const char* program, char* path, size_t size, long long deadline);
// Executes path, retrying the failures a deploy causes for a moment until
// the same deadline; returns only on failure, with errno set.
void ExecuteRetrying(const char* path, char** argv, long long deadline);

// The staying mode: forks; returns in the child, which goes on to execute
// the program. The parent passes every signal on to it and ends as it
// did, or by SIGKILL for an exit listed in codes, never sooner than
// kStayMinimumMs after the start.
constexpr long kStayMinimumMs = 1000;
bool StayAsParent(const Options& options, Reason* reason);

// The monotonic clock, in milliseconds.
long long NowMs();
// Sleeps ms milliseconds, all of them.
void PauseMs(long ms);

}  // namespace companion
