// Ending what earlier instances left. monitor makes itself a child
// subreaper, so every orphan of its targets (the workers of a killed
// master, a master or a FastCGI child that called setsid, a daemon that
// forked twice) becomes its child; it forks nothing but its target. Once
// this process has proved that its parent is such a supervisor, the
// supervisor's children other than this process are therefore exactly
// what earlier instances left, whatever their session, group, user or
// cgroup, and nothing else: the unit's own commands and a second
// supervisor are children of the service manager, a shell's jobs are the
// shell's. Each is signalled only through a pidfd opened before it is
// proved a child of the supervisor once more, so that a pid taken by
// another process in between is never signalled. The start waits, within
// a bound, until all are gone: a port or shared memory that they still
// hold would make the next instance fail.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "companion.h"

namespace companion {

bool ReadSmallFile(const char* path, char* text, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t used = 0;
  ssize_t got = 0;
  while (used + 1 < size && (got = read(fd, text + used, size - 1 - used)) > 0) used += static_cast<size_t>(got);
  const int error = errno;
  static_cast<void>(close(fd));  // opened for reading: nothing to lose
  errno = error;
  if (got < 0) return false;
  if (used == 0) {
    // Read, but empty: nothing to prove anything with.
    errno = ENODATA;
    return false;
  }
  text[used] = '\0';
  return true;
}

const char* StatusField(const char* status, const char* key) {
  const size_t length = strlen(key);
  for (const char* line = status; line != nullptr && *line != '\0';) {
    if (strncmp(line, key, length) == 0 && line[length] == ':') {
      line += length + 1;
      return line + strspn(line, " \t");
    }
    line = strchr(line, '\n');
    if (line != nullptr) ++line;
  }
  return nullptr;
}

bool SoleNamespacePid(const char* status, pid_t pid) {
  // One number, in this namespace; more would mean that /proc belongs to
  // an ancestor namespace, where this process has another number too.
  const char* field = StatusField(status, "NSpid");
  if (field == nullptr) return false;
  const size_t length = strcspn(field, "\n");
  char digits[16];
  if (length == 0 || length >= sizeof digits) return false;
  memcpy(digits, field, length);
  digits[length] = '\0';
  unsigned long long number = 0;
  return Decimal(digits, 0x7fffffff, &number) && static_cast<pid_t>(number) == pid;
}

// Whether signal_number is set in a mask as /proc shows it: hexadecimal,
// signal N at bit N-1 from the right.
bool InMask(const char* mask, int signal_number) {
  const size_t length = strcspn(mask, "\n");
  const size_t bit = static_cast<size_t>(signal_number - 1);
  if (signal_number < 1 || bit / 4 >= length) return false;
  const char digit = mask[length - 1 - bit / 4];
  int value = 0;
  if (digit >= '0' && digit <= '9') {
    value = digit - '0';
  } else if (digit >= 'a' && digit <= 'f') {
    value = digit - 'a' + 10;
  } else {
    return false;
  }
  return (value & (1 << (bit % 4))) != 0;
}

bool CatchesNone(const char* status, const sigset_t& watched) {
  // Only the watched signals: a sanitizer's run-time, say, may catch
  // others.
  const char* caught = StatusField(status, "SigCgt");
  if (caught == nullptr) return false;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (sigismember(&watched, signal_number) == 1 && InMask(caught, signal_number)) return false;
  }
  return true;
}

bool StatField(const char* stat, int number, char* field, size_t size) {
  // The name in the second field may hold spaces and parentheses: the
  // fields are counted from the last ')'.
  const char* at = strrchr(stat, ')');
  if (at == nullptr || number < 3) return false;
  ++at;
  for (int counted = 3;; ++counted) {
    if (*at != ' ') return false;
    ++at;
    const size_t length = strcspn(at, " \n");
    if (counted == number) {
      if (length == 0 || length >= size) return false;
      memcpy(field, at, length);
      field[length] = '\0';
      return true;
    }
    at += length;
  }
}

bool StatLeadsItsGroupAndSession(const char* stat, pid_t pid) {
  // Fields 5 and 6: the process group and the session.
  const int numbers[] = {5, 6};
  for (const int number : numbers) {
    char field[16];
    unsigned long long id = 0;
    if (!StatField(stat, number, field, sizeof field) || !Decimal(field, 0x7fffffff, &id) ||
        id != static_cast<unsigned long long>(pid)) {
      return false;
    }
  }
  return true;
}

namespace {

// The six signals monitor blocks for good before its first launch.
sigset_t WatchedSignals() {
  sigset_t watched;
  sigemptyset(&watched);
  const int signals[] = {SIGHUP, SIGALRM, SIGINT, SIGCHLD, SIGPIPE, SIGTERM};
  for (const int signal_number : signals) sigaddset(&watched, signal_number);
  return watched;
}

// Whether this process started with every signal of watched blocked.
bool BlocksAll(const sigset_t& watched) {
  sigset_t blocked;
  if (sigprocmask(SIG_BLOCK, nullptr, &blocked) != 0) return false;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (sigismember(&watched, signal_number) == 1 && sigismember(&blocked, signal_number) != 1) return false;
  }
  return true;
}

constexpr const char* kOurCommandLine = "/proc/self/cmdline";

// Whether the command line of the supervisor, read from theirs_path, is
// after its own name this process's whole command line, byte for byte:
// monitor executes its target with its own argument vector from its second
// element on. Read in pieces, so that no command line is too long. Where
// one cannot be read (no descriptor left, say), false with errno set and
// *unread naming it, which is otherwise nullptr: that proves nothing either
// way.
bool RunsThisCommandLine(const char* theirs_path, const char** unread) {
  *unread = nullptr;
  const int theirs = open(theirs_path, O_RDONLY | O_CLOEXEC);
  if (theirs < 0) {
    *unread = theirs_path;
    return false;
  }
  const int ours = open(kOurCommandLine, O_RDONLY | O_CLOEXEC);
  if (ours < 0) {
    const int error = errno;
    static_cast<void>(close(theirs));
    errno = error;
    *unread = kOurCommandLine;
    return false;
  }
  char their_piece[4096];
  char our_piece[4096];
  bool in_their_name = true;
  bool same = true;
  size_t their_used = 0;
  size_t their_length = 0;
  ssize_t got = 0;
  int error = 0;
  while (same && (got = read(ours, our_piece, sizeof our_piece)) > 0) {
    for (ssize_t at = 0; same && at < got; ++at) {
      // The next byte of theirs after their own name.
      for (;;) {
        if (their_used == their_length) {
          const ssize_t more = read(theirs, their_piece, sizeof their_piece);
          if (more < 0) {
            error = errno;
            *unread = theirs_path;
          }
          if (more <= 0) {
            same = false;
            break;
          }
          their_length = static_cast<size_t>(more);
          their_used = 0;
        }
        const char byte = their_piece[their_used++];
        if (!in_their_name) {
          same = byte == our_piece[at];
          break;
        }
        in_their_name = byte != '\0';
      }
    }
  }
  if (got < 0) {
    error = errno;
    *unread = kOurCommandLine;
    same = false;
  }
  // Theirs must end where ours does: nothing left of the piece read, and
  // nothing more to read.
  if (same && got == 0 && (their_used != their_length || read(theirs, their_piece, 1) != 0)) same = false;
  static_cast<void>(close(ours));
  static_cast<void>(close(theirs));
  errno = error;
  return same && !in_their_name;
}

// Whether the parent is provably a monitor supervisor; if not, why not,
// into why.
bool ProveSupervisor(pid_t parent, const char* children, char* why, size_t size) {
  char path[48];
  char text[4096];
  auto unreadable = [&](const char* file) {
    static_cast<void>(snprintf(why, size, "cannot read %s: %s", file, strerror(errno)));
    return false;
  };
  if (!ReadSmallFile("/proc/self/status", text, sizeof text)) return unreadable("/proc/self/status");
  if (!SoleNamespacePid(text, getpid())) {
    static_cast<void>(snprintf(why, size, "/proc is another PID namespace's"));
    return false;
  }
  static_cast<void>(snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(parent)));
  if (!ReadSmallFile(path, text, sizeof text)) return unreadable(path);
  const bool leads = StatLeadsItsGroupAndSession(text, parent);
  static_cast<void>(snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(parent)));
  if (!ReadSmallFile(path, text, sizeof text)) return unreadable(path);
  // monitor blocks the watched signals for good and catches none; its
  // target inherits the mask. Its own mask cannot be read: while it waits
  // in sigwait, /proc shows the signals it waits for unblocked.
  const sigset_t watched = WatchedSignals();
  bool monitor = leads && CatchesNone(text, watched) && BlocksAll(watched);
  if (monitor) {
    static_cast<void>(snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(parent)));
    const char* unread = nullptr;
    monitor = RunsThisCommandLine(path, &unread);
    if (unread != nullptr) return unreadable(unread);
  }
  if (!monitor) {
    static_cast<void>(
        snprintf(why, size, "the parent %d is not a monitor that runs this command", static_cast<int>(parent)));
    return false;
  }
  const int list = open(children, O_RDONLY | O_CLOEXEC);
  if (list < 0) return unreadable(children);
  static_cast<void>(close(list));
  // Had the parent died meanwhile, this process would have a new one, and
  // what was read might be another process's that took the pid.
  if (getppid() != parent) {
    static_cast<void>(snprintf(why, size, "the parent %d has gone", static_cast<int>(parent)));
    return false;
  }
  return true;
}

// The supervisor's children, into pids (at most max; more are not
// returned, only counted): false when the list cannot be read.
bool ListChildren(const char* file, pid_t* pids, int max, int* count) {
  const int fd = open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char piece[4096];
  unsigned long long pid = 0;
  bool digits = false;
  ssize_t got = 0;
  *count = 0;
  auto take = [&]() {
    if (*count < max) pids[*count] = static_cast<pid_t>(pid);
    ++*count;
  };
  while ((got = read(fd, piece, sizeof piece)) > 0) {
    for (ssize_t at = 0; at < got; ++at) {
      if (piece[at] >= '0' && piece[at] <= '9' && pid < 0x7fffffff) {
        pid = pid * 10 + static_cast<unsigned>(piece[at] - '0');
        digits = true;
      } else if (digits) {
        take();
        pid = 0;
        digits = false;
      }
    }
  }
  const int error = errno;
  static_cast<void>(close(fd));
  if (digits) take();
  errno = error;
  return got == 0;
}

bool Lists(const pid_t* pids, int count, pid_t pid) {
  for (int at = 0; at < count; ++at) {
    if (pids[at] == pid) return true;
  }
  return false;
}

class Round {
 public:
  Round(const Leftovers& leftovers, Ended* ended) : leftovers_(leftovers), ended_(ended) {}

  // Signals every leftover still living. Returns how many other children
  // the supervisor had, dead ones not yet collected included: the wait is
  // over only once a round finds none. Into *living, how many of them were
  // living, or could not be proved otherwise.
  int EndAll(int* living) {
    *living = 0;
    int count = 0;
    listed_count_ = -1;
    if (SupervisorGone()) return 0;
    if (!ListChildren(leftovers_.children, listed_, kMax, &count)) {
      Unseen("the supervisor's children cannot be listed", errno);
      *living = 1;
      return 1;
    }
    if (count > kMax) Unseen("too many of the supervisor's children to list at once", E2BIG);
    const int shown = count < kMax ? count : kMax;
    listed_count_ = shown;
    unlisted_ = count - shown;
    int others = unlisted_;
    *living = others;
    for (int at = 0; at < shown; ++at) {
      if (listed_[at] == getpid()) continue;
      ++others;
      if (EndIfStillAChild(listed_[at])) ++*living;
    }
    return others;
  }

  // How many children the supervisor has now that the last round did not
  // list, this process aside: those that a leftover left it by ending
  // while that round was proving it, or that a leftover it ended left.
  int Newcomers() {
    int count = 0;
    if (listed_count_ < 0) return 0;  // said already
    if (!ListChildren(leftovers_.children, again_, kMax, &count)) {
      Unseen("the supervisor's children cannot be listed", errno);
      return 0;
    }
    // Those past the list's end were counted by the round already, as
    // many as it could not list.
    const int shown = count < kMax ? count : kMax;
    int newcomers = std::max(count - shown - unlisted_, 0);
    for (int at = 0; at < shown; ++at) {
      if (again_[at] != getpid() && !Lists(listed_, listed_count_, again_[at])) ++newcomers;
    }
    return newcomers;
  }

  bool hopeless() const { return hopeless_; }

 private:
  // Signals pid if it is still a living child of the supervisor; whether
  // it may still live.
  bool EndIfStillAChild(pid_t pid) {
    const long pidfd = syscall(SYS_pidfd_open, pid, 0);
    if (pidfd < 0) {
      const int error = errno;
      if (error == ESRCH) return false;  // collected already
      // Without a pidfd a pid cannot be held while it is proved: none is
      // signalled, and the wait would change nothing.
      if (error == ENOSYS || error == EPERM) hopeless_ = true;
      Unseen("no pidfd to end a leftover through", error);
      return true;
    }
    const bool living = ProvedAndSignalled(pid, static_cast<int>(pidfd));
    static_cast<void>(close(static_cast<int>(pidfd)));
    return living;
  }

  bool ProvedAndSignalled(pid_t pid, int pidfd) {
    int count = 0;
    if (!ListChildren(leftovers_.children, again_, kMax, &count)) {
      Unseen("the supervisor's children cannot be listed", errno);
      return true;
    }
    if (SupervisorGone()) return true;
    // No longer its child: collected, and the pid perhaps given to another
    // process, which the pidfd does not reach in any case.
    if (!Lists(again_, count < kMax ? count : kMax, pid)) return false;
    // A process that has ended makes its pidfd readable: a zombie, which
    // holds nothing and which the supervisor collects.
    pollfd ended{pidfd, POLLIN, 0};
    const int ready = poll(&ended, 1, 0);
    if (ready == 1) return false;
    if (syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) != 0) {
      const int error = errno;
      if (error == ESRCH) return false;
      Unseen("a leftover could not be signalled", error);
      return true;
    }
    Count(pid);
    return true;
  }

  // Once the supervisor has died, this process has another parent, and
  // the supervisor's pid may go to another process, whose children its
  // list would then show: nothing more is listed or signalled. While this
  // process's parent is still the supervisor, the supervisor has not died,
  // so what was read before this question was its.
  bool SupervisorGone() {
    if (getppid() == leftovers_.supervisor) return false;
    hopeless_ = true;
    if (ended_->unseen[0] == '\0') {
      static_cast<void>(snprintf(ended_->unseen, sizeof ended_->unseen, "the supervisor %d has gone",
                                 static_cast<int>(leftovers_.supervisor)));
    }
    return true;
  }

  void Unseen(const char* what, int error) {
    if (ended_->unseen[0] != '\0') return;
    static_cast<void>(snprintf(ended_->unseen, sizeof ended_->unseen, "%s: %s", what, strerror(error)));
  }

  void Count(pid_t pid) {
    const int known = ended_->count < kMax ? ended_->count : kMax;
    if (Lists(signalled_, known, pid)) return;
    if (ended_->count < kMax) signalled_[ended_->count] = pid;
    if (ended_->count < static_cast<int>(sizeof ended_->first / sizeof ended_->first[0])) {
      ended_->first[ended_->count] = pid;
    }
    ++ended_->count;
  }

  static constexpr int kMax = 1024;
  const Leftovers& leftovers_;
  Ended* ended_;
  bool hopeless_ = false;
  int listed_count_ = -1;  // in listed_, or -1 where the last round could not list
  int unlisted_ = 0;       // children the last round counted but could not list
  pid_t listed_[kMax] = {};
  pid_t again_[kMax] = {};
  pid_t signalled_[kMax] = {};
};

}  // namespace

bool ProveScope(const Options& options, Leftovers* leftovers, Reason* reason) {
  if (options.scope == Scope::kNone) return true;
  const pid_t parent = getppid();
  static_cast<void>(snprintf(leftovers->children, sizeof leftovers->children, "/proc/%d/task/%d/children",
                             static_cast<int>(parent), static_cast<int>(parent)));
  if (parent <= 1) {
    static_cast<void>(snprintf(leftovers->unseen, sizeof leftovers->unseen, "the parent is no supervisor"));
  } else if (ProveSupervisor(parent, leftovers->children, leftovers->unseen, sizeof leftovers->unseen)) {
    leftovers->supervisor = parent;
    leftovers->active = true;
    return true;
  }
  if (options.scope == Scope::kDefault) return true;
  Say(reason, "cannot end leftovers: %s", leftovers->unseen);
  return false;
}

void EndLeftovers(const Leftovers& leftovers, long wait_ms, Ended* ended) {
  const long long started = NowMs();
  Round round(leftovers, ended);
  // Each round signals what is still there, the children of leftovers that
  // reached the supervisor since included, until a round finds nothing
  // else there or the wait is over.
  int living = 0;
  int others = 0;
  while ((others = round.EndAll(&living)) > 0 && !round.hopeless() && NowMs() - started < wait_ms) PauseMs(5);
  // Over with leftovers still there: those that came after the last round
  // listed were never looked at, and may live. Had it found none, there
  // could be none: a leftover's children reach the supervisor before it
  // has ended.
  if (others > 0) living += round.Newcomers();
  ended->still_present = living;
  ended->elapsed_ms = NowMs() - started;
}

}  // namespace companion
