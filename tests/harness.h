// Helpers shared by the unit and end-to-end tests: deadlines, reaping,
// reading the probe's reports.
#pragma once

#include <errno.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "proc.h"

namespace harness {

// Every wait in the tests is bounded by this, far beyond what any step needs.
constexpr int kDeadlineMs = static_cast<int>(proc::kDeadlineNs / 1000000);

inline long long NowMs() { return proc::Now() / 1000000; }

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
    proc::SleepUs(5000);
  }
}

// Copies a file, and gives the copy the mode asked for.
inline bool CopyFile(const std::string& from, const std::string& to, mode_t mode) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  out << in.rdbuf();
  out.close();
  return out && chmod(to.c_str(), mode) == 0;
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
  std::string sigign;
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
  report.sigign = fields["sigign"];
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
