// What the tests, the benchmark and the soak share: clocks, ending and
// reaping what they started, reading /proc, parsing numbers, removing
// scratch directories. libc only, so that the benchmark can use it too.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace proc {

inline long long Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

inline void SleepUs(long long microseconds) {
  timespec pause{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// Ends a process this program started; never hands kill a pid that could
// reach a whole group or every process.
inline void KillStarted(pid_t pid) {
  if (pid > 1) kill(pid, SIGKILL);
}

// Every wait is bounded by this, far beyond what any step needs.
constexpr long long kDeadlineNs = 10000000000LL;

// Reaps every child, within the deadline; false if some were left.
inline bool ReapAll() {
  const long long give_up = Now() + kDeadlineNs;
  while (Now() < give_up) {
    const pid_t got = waitpid(-1, nullptr, WNOHANG);
    if (got < 0 && errno == ECHILD) return true;
    if (got <= 0) SleepUs(1000);
  }
  return false;
}

// Reads /proc/PID/NAME into text, NUL-terminated; false if it cannot.
inline bool ReadProcFile(pid_t pid, const char* name, char* text, size_t size) {
  char path[96];
  const int length = snprintf(path, sizeof path, "/proc/%d/%s", pid, name);
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) return false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t used = 0;
  ssize_t n = 0;
  while (used + 1 < size && (n = read(fd, text + used, size - 1 - used)) > 0) used += static_cast<size_t>(n);
  close(fd);
  text[used] = '\0';
  return n >= 0;
}

// The number after "Key:" in a /proc file of lines "Key:   value", or -1.
inline long long ProcNumber(pid_t pid, const char* name, const char* key) {
  static char text[65536];
  if (!ReadProcFile(pid, name, text, sizeof text)) return -1;
  const size_t key_length = strlen(key);
  for (const char* line = text; *line != '\0';) {
    if (strncmp(line, key, key_length) == 0) return strtoll(line + key_length, nullptr, 10);
    const char* next = strchr(line, '\n');
    if (next == nullptr) break;
    line = next + 1;
  }
  return -1;
}

inline long long ContextSwitches(pid_t pid) {
  return ProcNumber(pid, "status", "voluntary_ctxt_switches:") +
         ProcNumber(pid, "status", "nonvoluntary_ctxt_switches:");
}

// The fields of /proc/PID/stat after the command name, which is in
// parentheses and may itself hold spaces and parentheses.
inline const char* StatFields(pid_t pid, char* text, size_t size) {
  if (!ReadProcFile(pid, "stat", text, size)) return nullptr;
  const char* close_paren = strrchr(text, ')');
  return close_paren != nullptr && close_paren[1] == ' ' ? close_paren + 2 : nullptr;
}

// The process state letter (R, S, Z, ...), or '?'.
inline char State(pid_t pid) {
  char text[1024];
  const char* fields = StatFields(pid, text, sizeof text);
  return fields != nullptr ? fields[0] : '?';
}

// User plus system time, in clock ticks: fields 14 and 15 of the stat line.
inline long long CpuTicks(pid_t pid) {
  char text[1024];
  const char* field = StatFields(pid, text, sizeof text);
  if (field == nullptr) return -1;
  for (int skip = 3; skip < 14; ++skip) {  // field 3 is the state
    field = strchr(field, ' ');
    if (field == nullptr) return -1;
    ++field;
  }
  char* end = nullptr;
  const long long utime = strtoll(field, &end, 10);
  return utime + strtoll(end, nullptr, 10);
}

inline int OpenDescriptors(pid_t pid) {
  char path[64];
  const int length = snprintf(path, sizeof path, "/proc/%d/fd", pid);
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) return -1;
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
  closedir(dir);
  return count;
}

// The children of a single-threaded process, up to max; returns how many.
inline int Children(pid_t pid, pid_t* children, int max) {
  char name[64];
  const int length = snprintf(name, sizeof name, "task/%d/children", pid);
  char text[4096];
  if (length < 0 || static_cast<size_t>(length) >= sizeof name || !ReadProcFile(pid, name, text, sizeof text)) {
    return 0;
  }
  int count = 0;
  char* next = text;
  while (count < max) {
    char* end = nullptr;
    const long child = strtol(next, &end, 10);
    if (end == next) break;
    children[count++] = static_cast<pid_t>(child);
    next = end;
  }
  return count;
}

// A whole decimal number within [low, high]; false for anything else.
inline bool ParseNumber(const char* text, long long low, long long high, long long* value) {
  char* end = nullptr;
  errno = 0;
  const long long parsed = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

// Makes a new scratch directory NAME-XXXXXX under $TMPDIR, else /tmp, and
// puts its path in path; false if it cannot.
inline bool MakeScratch(const char* name, char* path, size_t size) {
  const char* base = getenv("TMPDIR");
  if (base == nullptr || *base == '\0') base = "/tmp";
  const int length = snprintf(path, size, "%s/%s-XXXXXX", base, name);
  return length > 0 && static_cast<size_t>(length) < size && mkdtemp(path) != nullptr;
}

inline bool RemoveTree(const char* path) {
  auto remove_one = [](const char* file, const struct stat*, int, FTW*) { return remove(file); };
  return nftw(path, remove_one, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

}  // namespace proc
