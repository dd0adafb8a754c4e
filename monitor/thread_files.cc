// Reading a thread's files under /proc, where /proc is this process's own.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "monitor.h"
#include "outside_text.h"

namespace monitor {

bool ProcIsOwn() {
  // /proc numbers processes as the PID namespace it was mounted for, which
  // need not be this process's: one started by "unshare --pid" without a
  // /proc of its own sees its parent's, where the pid that waitpid returns
  // names some other process. /proc/self is a link to this process's pid
  // as that /proc numbers it; only where that is the pid getpid returns do
  // the two agree. Without /proc, the link is missing.
  char link[16];
  const ssize_t length = readlink("/proc/self", link, sizeof link - 1);
  if (length <= 0) return false;
  link[length] = '\0';
  char digits[16];
  return strcmp(link, FormatDecimal(static_cast<int>(getpid()), digits)) == 0;
}

bool ReadThreadFile(pid_t tid, const char* name, char* text, size_t size) {
  if (!ProcIsOwn()) return false;
  char path[48];
  const int length = snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(tid), name);
  // A failure (-1) turns into the largest size, so one test refuses both it
  // and a path cut short.
  if (static_cast<size_t>(length) >= sizeof path) return false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got = read(fd, text, size - 1);
  static_cast<void>(close(fd));  // opened for reading: nothing to lose
  if (got <= 0) return false;
  text[got] = '\0';
  return true;
}

bool StatField(const char* text, int number, unsigned long long* value) {
  // The command name in the second field may hold spaces and parentheses,
  // so the fields are counted from the last ')'.
  const char* field = strrchr(text, ')');
  for (int at = 2; field != nullptr && at < number; ++at) field = strchr(field + 1, ' ');
  if (field == nullptr) return false;
  char* end = nullptr;
  errno = 0;
  *value = strtoull(field + 1, &end, 10);
  return errno == 0 && end != field + 1;
}

bool ThreadStatField(pid_t tid, int number, unsigned long long* value) {
  char text[1024];
  return ReadThreadFile(tid, "stat", text, sizeof text) && StatField(text, number, value);
}

}  // namespace monitor
