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

// Sends one datagram to the system log; false if there is none to take it.
bool SendToSystemLog(const char* message, size_t length) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strcpy(address.sun_path, "/dev/log");
  // Never wait on a log that is not reading: the start matters more.
  const ssize_t sent = sendto(fd, message, length, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address), sizeof address);
  static_cast<void>(close(fd));
  return sent == static_cast<ssize_t>(length);
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
  Line text{line, size};
  text.Append("%s started, pid %d", program, static_cast<int>(pid));
  if (!leftovers.active) return;
  if (ended.unlisted) text.Append("; the processes could not all be listed");
  if (ended.count == 0) {
    text.Append("; no leftovers");
    return;
  }
  text.Append("; ended %d leftover%s (", ended.count, ended.count == 1 ? "" : "s");
  const int listed = ended.count < 8 ? ended.count : 8;
  for (int at = 0; at < listed; ++at) text.Append("%s%d", at == 0 ? "" : " ", static_cast<int>(ended.first[at]));
  text.Append("%s) in %lld ms", ended.count > listed ? " ..." : "", ended.elapsed_ms);
  if (ended.still_present > 0) text.Append(", %d still present after the wait", ended.still_present);
}

}  // namespace companion
