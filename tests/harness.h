// Helpers shared by the unit and end-to-end tests: deadlines, reaping,
// reading the probe's reports.
#pragma once

#include <errno.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace harness {

// Every wait in the tests is bounded by this, far beyond what any step needs.
constexpr int kDeadlineMs = 10000;

inline long long NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

inline void SleepMs(int ms) {
  timespec pause{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

// Waits for one child to end; returns its wait status, or nothing once the
// deadline has passed.
inline std::optional<int> WaitForExit(pid_t pid, int deadline_ms = kDeadlineMs) {
  const long long give_up = NowMs() + deadline_ms;
  for (;;) {
    int status = 0;
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) return status;
    if (got < 0 && errno != EINTR) return std::nullopt;
    if (NowMs() > give_up) return std::nullopt;
    SleepMs(5);
  }
}

// Ends a process this test started. Refuses anything that is not a real
// process id: kill(0) or kill(-1) would reach far more than the test.
inline void KillStarted(pid_t pid) {
  if (pid > 1) kill(pid, SIGKILL);
}

// Collects every child of this process, ending when none is left or the
// deadline has passed.
inline void ReapAll(int deadline_ms = kDeadlineMs) {
  const long long give_up = NowMs() + deadline_ms;
  while (NowMs() < give_up) {
    const pid_t got = waitpid(-1, nullptr, WNOHANG);
    if (got < 0 && errno == ECHILD) return;
    if (got <= 0) SleepMs(5);
  }
}

// Removes a scratch directory and everything in it.
inline bool RemoveTree(const std::string& path) {
  auto remove_one = [](const char* file, const struct stat*, int, FTW*) { return remove(file); };
  return nftw(path.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

inline std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// One report of the probe, its strings decoded.
struct Report {
  pid_t pid = 0;
  pid_t ppid = 0;
  std::string core;
  std::string sigblk;
  std::string cwd;
  std::string env;
  std::vector<std::string> argv;
};

inline Report ParseReport(const std::string& line) {
  std::map<std::string, std::string> fields;
  size_t start = 0;
  while (start < line.size()) {
    size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    const std::string field = line.substr(start, end - start);
    const size_t equals = field.find('=');
    if (equals != std::string::npos) fields[field.substr(0, equals)] = field.substr(equals + 1);
    start = end + 1;
  }
  Report report;
  report.pid = std::stoi(fields["pid"]);
  report.ppid = std::stoi(fields["ppid"]);
  report.core = fields["core"];
  report.sigblk = fields["sigblk"];
  report.cwd = Unhex(fields["cwd"]);
  report.env = fields["env"] == "-" ? "(unset)" : Unhex(fields["env"]);
  const std::string& argv = fields["argv"];
  size_t from = 0;
  for (;;) {
    const size_t comma = argv.find(',', from);
    report.argv.push_back(Unhex(argv.substr(from, comma - from)));
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  return report;
}

// Reads newline-ended lines from a descriptor, each within a deadline.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  std::optional<std::string> Next(int deadline_ms = kDeadlineMs) {
    const long long give_up = NowMs() + deadline_ms;
    for (;;) {
      const size_t newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      const long long left = give_up - NowMs();
      if (left <= 0) return std::nullopt;
      pollfd ready{fd_, POLLIN, 0};
      const int polled = poll(&ready, 1, static_cast<int>(left));
      if (polled < 0 && errno == EINTR) continue;
      if (polled <= 0) return std::nullopt;
      char chunk[65536];
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buffer_;
};

}  // namespace harness
