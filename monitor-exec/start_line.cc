// One line per start, and one per failure, for the operator: to the
// system log through /dev/log, so that under systemd "journalctl -u UNIT"
// shows them, or to a descriptor given. The program's own standard
// streams are /dev/null under monitor, where nobody would read them.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "companion.h"

namespace companion {
namespace {

// Facility daemon, with the severity.
constexpr int kInfo = 3 * 8 + 6;
constexpr int kError = 3 * 8 + 3;

// Sends one message to the system log; false if there is none to take it.
// /dev/log is a datagram socket under journald and most syslog daemons,
// a stream socket under some: there, as the C library's syslog does, the
// message goes over a connection, ended by a NUL.
bool SendToSystemLog(const char* message, size_t length) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strcpy(address.sun_path, "/dev/log");
  const int types[] = {SOCK_DGRAM, SOCK_STREAM};
  for (const int type : types) {
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const bool stream = type == SOCK_STREAM;
    // Never wait on a log that is not reading: the start matters more.
    bool sent = false;
    int error = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      sent = send(fd, message, length + (stream ? 1 : 0), MSG_DONTWAIT | MSG_NOSIGNAL) ==
             static_cast<ssize_t>(length + (stream ? 1 : 0));
    } else {
      error = errno;
    }
    static_cast<void>(close(fd));
    if (sent) return true;
    if (error != EPROTOTYPE) return false;
  }
  return false;
}

void Tell(int log_fd, int severity, const char* text, bool or_standard_error) {
  char message[1024];
  // The syslog header without a time stamp, which the log adds itself:
  // "<PRIORITY>TAG[PID]: ".
  const int header = snprintf(message, sizeof message, "<%d>", severity);
  int length = snprintf(message + header, sizeof message - static_cast<size_t>(header), "monitor-exec[%d]: %s",
                        static_cast<int>(getpid()), text);
  if (length < 0) return;
  size_t end = static_cast<size_t>(header) + static_cast<size_t>(length);
  if (end >= sizeof message - 1) end = sizeof message - 2;
  if (log_fd < 0 && SendToSystemLog(message, end)) return;
  // A descriptor, or standard error where there is no system log.
  if (log_fd < 0 && !or_standard_error) return;
  message[end] = '\n';
  const int fd = log_fd >= 0 ? log_fd : STDERR_FILENO;
  // A line that cannot be written has nowhere else to go.
  if (write(fd, message + header, end + 1 - static_cast<size_t>(header)) < 0) return;
}

// A line written piece by piece into a buffer, cut short where it is full.
struct Line {
  char* text;
  size_t size;
  size_t used = 0;

  // NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, checked by the compiler, with no heap.
  __attribute__((format(printf, 2, 3))) void Append(const char* format, ...) {
    if (used + 1 >= size) return;
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(text + used, size - used, format, arguments);
    va_end(arguments);
    if (length > 0) used = used + static_cast<size_t>(length) < size ? used + static_cast<size_t>(length) : size - 1;
  }
};

}  // namespace

void SayStart(int log_fd, const char* line) { Tell(log_fd, kInfo, line, true); }

void SayFailure(int log_fd, const char* line) {
  // Standard error first, for whoever runs it by hand.
  char text[300];
  const int length = snprintf(text, sizeof text, "monitor-exec: %s\n", line);
  if (length > 0) {
    const size_t whole = static_cast<size_t>(length) < sizeof text ? static_cast<size_t>(length) : sizeof text - 1;
    if (write(STDERR_FILENO, text, whole) < 0) {
      // Standard error closed or broken: the log below still says it.
    }
  }
  Tell(log_fd, kError, line, false);
}

void FormatStartLine(char* line, size_t size, const char* program, pid_t pid, const Leftovers& leftovers,
                     const Ended& ended) {
  if (size == 0) return;
  // Empty until written, should even the first piece fail.
  line[0] = '\0';
  // What matters most comes last in the line, so it is written first, and
  // the path is cut to the room that is left: the pid and the leftovers
  // are always said, however long the path.
  char summary[320] = "";
  Line tail{summary, sizeof summary};
  tail.Append(" started, pid %d", static_cast<int>(pid));
  if (!leftovers.active) {
    if (leftovers.unseen[0] != '\0') tail.Append("; leftovers not looked for: %s", leftovers.unseen);
  } else if (ended.count == 0 && ended.still_present == 0 && ended.unseen[0] == '\0') {
    tail.Append("; no leftovers");
  } else {
    if (ended.count > 0) {
      tail.Append("; ended %d leftover%s (", ended.count, ended.count == 1 ? "" : "s");
      const int listed = ended.count < 8 ? ended.count : 8;
      for (int at = 0; at < listed; ++at) tail.Append("%s%d", at == 0 ? "" : " ", static_cast<int>(ended.first[at]));
      tail.Append("%s) in %lld ms", ended.count > listed ? " ..." : "", ended.elapsed_ms);
    }
    if (ended.still_present > 0) {
      tail.Append("%s%d still present after the wait", ended.count > 0 ? ", " : "; leftovers: ", ended.still_present);
    }
    if (ended.unseen[0] != '\0') tail.Append("; leftovers not all seen: %s", ended.unseen);
  }
  const size_t summary_length = strlen(summary);
  const size_t program_length = strlen(program);
  const size_t room = size - 1 > summary_length ? size - 1 - summary_length : 0;
  size_t shown = program_length;
  const char* cut = "";
  if (program_length > room) {
    shown = room > 3 ? room - 3 : 0;
    cut = "...";
  }
  Line text{line, size};
  text.Append("%.*s%s%s", static_cast<int>(shown), program, cut, summary);
}

}  // namespace companion
