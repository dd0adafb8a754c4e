// What the companion reads of /proc to prove that its parent is monitor:
// lines of a status file (NSpid, SigCgt) and fields of a stat line (the
// group and the session). Either text written the way the kernel writes
// it, which must read back exactly, or any bytes, which must agree with a
// plain reference; no reader reads past the text's end.
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "../../monitor-exec/companion.h"
#include "expect.h"

namespace {

// A copy of the text's own size, so that a read past its end is caught.
std::vector<char> Exact(const std::string& text) {
  std::vector<char> exact(text.begin(), text.end());
  exact.push_back('\0');
  return exact;
}

// The reference: the value of the first line that begins "KEY:", after
// its blanks, to the end of the line; false if there is none.
bool Field(const std::string& status, const std::string& key, std::string* value) {
  for (size_t line = 0; line < status.size();) {
    const size_t end = status.find('\n', line);
    const std::string text = status.substr(line, end == std::string::npos ? std::string::npos : end - line);
    if (text.compare(0, key.size() + 1, key + ":") == 0) {
      const size_t start = text.find_first_not_of(" \t", key.size() + 1);
      *value = start == std::string::npos ? "" : text.substr(start);
      return true;
    }
    if (end == std::string::npos) break;
    line = end + 1;
  }
  return false;
}

bool PlainPid(const std::string& text, long long* pid) {
  if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1)) return false;
  long long number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  *pid = number;
  return number <= 0x7fffffff;
}

// The reference reads the mask from its right end, a digit at a time, as
// the kernel writes it: lower-case hexadecimal.
bool PlainInMask(const std::string& mask, int signal_number) {
  static const std::string kDigits = "0123456789abcdef";
  if (signal_number < 1) return false;
  const size_t from_the_right = static_cast<size_t>(signal_number - 1) / 4;
  if (from_the_right >= mask.size()) return false;
  const size_t value = kDigits.find(*(mask.rbegin() + static_cast<std::ptrdiff_t>(from_the_right)));
  return value != std::string::npos && ((value >> ((signal_number - 1) % 4)) & 1U) != 0;
}

// Field number (from 3) of a stat line: the fields after the last ')',
// each behind one space.
bool PlainStatField(const std::string& stat, int number, std::string* field) {
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos || number < 3) return false;
  size_t at = paren + 1;
  for (int counted = 3;; ++counted) {
    if (at >= stat.size() || stat[at] != ' ') return false;
    ++at;
    size_t end = stat.find_first_of(" \n", at);
    if (end == std::string::npos) end = stat.size();
    if (counted == number) {
      *field = stat.substr(at, end - at);
      return !field->empty() && field->size() < 16;
    }
    at = end;
  }
}

void Status(const std::string& status, pid_t pid, int signal_number) {
  const std::vector<char> exact = Exact(status);
  std::string value;
  const bool listed = Field(status, "NSpid", &value);
  const char* found = companion::StatusField(exact.data(), "NSpid");
  fuzz::Expect((found != nullptr) == listed, "a field is found where its line begins with its key");
  long long sole = 0;
  const bool expected = listed && PlainPid(value.substr(0, value.find('\n')), &sole) && sole == pid;
  fuzz::Expect(companion::SoleNamespacePid(exact.data(), pid) == expected, "NSpid holds the pid alone");
  std::string caught;
  const bool has_caught = Field(status, "SigCgt", &caught);
  sigset_t watched;
  sigemptyset(&watched);
  // The C library keeps two real-time signals for itself, and refuses them.
  if (sigaddset(&watched, signal_number) != 0) return;
  const bool none = has_caught && !PlainInMask(caught, signal_number);
  fuzz::Expect(companion::CatchesNone(exact.data(), watched) == none, "a watched signal caught is seen");
}

void Stat(const std::string& stat, pid_t pid) {
  const std::vector<char> exact = Exact(stat);
  for (const int number : {3, 5, 6, 22}) {
    std::string expected;
    char field[16];
    const bool plain = PlainStatField(stat, number, &expected);
    fuzz::Expect(companion::StatField(exact.data(), number, field, sizeof field) == plain, "a field is where counted");
    if (plain) fuzz::Expect(expected == field, "a field reads as written");
  }
  std::string group;
  std::string session;
  long long group_id = 0;
  long long session_id = 0;
  const bool leads = PlainStatField(stat, 5, &group) && PlainPid(group, &group_id) && group_id == pid &&
                     PlainStatField(stat, 6, &session) && PlainPid(session, &session_id) && session_id == pid;
  fuzz::Expect(companion::StatLeadsItsGroupAndSession(exact.data(), pid) == leads, "leading both is read as such");
}

void Kernel(FuzzedDataProvider& data) {
  // As the kernel writes them: a name in parentheses that may hold
  // anything, then the fields; NSpid with one number or several.
  const pid_t pid = data.ConsumeIntegralInRange<pid_t>(1, 0x7fffffff);
  const pid_t group = data.ConsumeBool() ? pid : data.ConsumeIntegralInRange<pid_t>(1, 0x7fffffff);
  std::string name = data.ConsumeRandomLengthString(16);
  name.resize(std::min(name.find('\0'), name.size()));
  const std::string stat = std::to_string(pid) + " (" + name + ") S 1 " + std::to_string(group) + " " +
                           std::to_string(pid) + " 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 " +
                           std::to_string(data.ConsumeIntegral<uint32_t>()) + " 2 3\n";
  std::string nspid = std::to_string(pid);
  if (data.ConsumeBool()) nspid = std::to_string(data.ConsumeIntegralInRange<pid_t>(1, 0x7fffffff)) + "\t" + nspid;
  const int signal_number = data.ConsumeIntegralInRange<int>(1, 64);
  char caught[17];
  // 16 digits always fit.
  static_cast<void>(
      snprintf(caught, sizeof caught, "%016llx", static_cast<unsigned long long>(data.ConsumeIntegral<uint64_t>())));
  // The kernel escapes a name's newline in the status file.
  std::string shown = name;
  for (char& c : shown) c = c == '\n' ? '?' : c;
  const std::string status = "Name:\t" + shown + "\nTgid:\t" + std::to_string(pid) + "\nNSpid:\t" + nspid +
                             "\nSigBlk:\t0000000000000000\nSigCgt:\t" + caught + "\n";
  Status(status, pid, signal_number);
  Stat(stat, pid);
  fuzz::Expect(companion::StatLeadsItsGroupAndSession(Exact(stat).data(), pid) == (group == pid),
               "the kernel's stat line reads back");
  fuzz::Expect(companion::SoleNamespacePid(Exact(status).data(), pid) == (nspid.find('\t') == std::string::npos),
               "the kernel's NSpid line reads back");
}

void Raw(FuzzedDataProvider& data) {
  const pid_t pid = data.ConsumeIntegralInRange<pid_t>(1, 0x7fffffff);
  const int signal_number = data.ConsumeIntegralInRange<int>(1, 64);
  std::string text = data.ConsumeRemainingBytesAsString();
  text.resize(std::min(text.find('\0'), text.size()));
  Status(text, pid, signal_number);
  Stat(text, pid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  return fuzz::EitherKind(bytes, size, Kernel, Raw);
}
