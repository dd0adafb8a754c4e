// /proc/TID/syscall, read where PTRACE_GET_SYSCALL_INFO is refused: "NR
// ARG1..ARG6 SP PC" inside a system call, "-1 SP PC" (or another negative
// number) outside one, "running" for a thread that is not stopped. Two
// kinds of input: a line laid out as the kernel writes it, whose pointers
// must read back as written; and raw text, where two last fields that are
// plainly hexadecimal numbers must read as those numbers, and text with
// fewer than two spaces must not read at all.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../monitor/outside_text.h"
#include "expect.h"

namespace {

// What ReadPosition reads of the file at most.
constexpr size_t kLongestLine = 255;

// A line as the kernel's seq_printf writes it, on any architecture; a
// tracee of 32-bit words has its pointers below 2^32, which changes only
// their digits.
void CheckKernelLine(FuzzedDataProvider& data) {
  // The provider gives its lowest values once the input runs out.
  const bool running = data.ConsumeIntegralInRange(0, 15) == 15;
  const bool in_call = data.ConsumeBool();
  const bool narrow = data.ConsumeBool();
  const auto word = [&data, narrow] {
    const auto value = data.ConsumeIntegral<unsigned long long>();
    return narrow ? value & 0xffffffffULL : value;
  };
  const int number = in_call ? data.ConsumeIntegralInRange(0, 1023) : data.ConsumeIntegralInRange(INT32_MIN, -1);
  unsigned long long arguments[6];
  for (auto& argument : arguments) argument = word();
  const unsigned long long stack_pointer = word();
  const unsigned long long instruction_pointer = word();
  char line[kLongestLine + 1];
  int length = 0;
  if (running) {
    length = snprintf(line, sizeof line, "running\n");
  } else if (in_call) {
    length = snprintf(line, sizeof line, "%d 0x%llx 0x%llx 0x%llx 0x%llx 0x%llx 0x%llx 0x%llx 0x%llx\n", number,
                      arguments[0], arguments[1], arguments[2], arguments[3], arguments[4], arguments[5], stack_pointer,
                      instruction_pointer);
  } else {
    length = snprintf(line, sizeof line, "%d 0x%llx 0x%llx\n", number, stack_pointer, instruction_pointer);
  }
  fuzz::Expect(length > 0 && static_cast<size_t>(length) < sizeof line, "the kernel's line fits the buffer");
  monitor::Position at;
  const bool read = monitor::PositionFromSyscallFile(line, &at);
  fuzz::Expect(read == !running, "a stopped thread's line reads, a running one's does not");
  if (running) return;
  fuzz::Expect(at.stack_pointer == stack_pointer, "the stack pointer reads back as written");
  fuzz::Expect(at.instruction_pointer == instruction_pointer, "the instruction pointer reads back as written");
}

// The value of "0x" and one to sixteen hexadecimal digits, the kernel's
// %llx form; false for anything else.
bool PlainHex(const std::string& field, unsigned long long* value) {
  if (field.size() < 3 || field.size() > 18 || field.compare(0, 2, "0x") != 0) return false;
  *value = 0;
  for (size_t at = 2; at < field.size(); ++at) {
    const char c = field[at];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    *value = *value << 4 | static_cast<unsigned>(digit);
  }
  return true;
}

// Raw text: fewer than two spaces never read; two last fields in the
// kernel's hexadecimal form, the last ending the text or a line, read as
// their values.
void CheckRawText(FuzzedDataProvider& data) {
  std::string text = data.ConsumeRemainingBytesAsString();
  text.resize(std::min({text.find('\0'), text.size(), kLongestLine}));
  std::vector<char> exact(text.begin(), text.end());
  exact.push_back('\0');
  monitor::Position at;
  const bool read = monitor::PositionFromSyscallFile(exact.data(), &at);
  const size_t last = text.rfind(' ');
  if (last == std::string::npos || last == 0 || text.rfind(' ', last - 1) == std::string::npos) {
    fuzz::Expect(!read, "text with fewer than two spaces does not read");
    return;
  }
  const size_t second_to_last = text.rfind(' ', last - 1);
  std::string instruction = text.substr(last + 1);
  if (!instruction.empty() && instruction.back() == '\n') instruction.pop_back();
  unsigned long long stack_pointer = 0;
  unsigned long long instruction_pointer = 0;
  if (!PlainHex(text.substr(second_to_last + 1, last - second_to_last - 1), &stack_pointer) ||
      !PlainHex(instruction, &instruction_pointer)) {
    return;
  }
  fuzz::Expect(read, "two last fields in hexadecimal read");
  fuzz::Expect(at.stack_pointer == stack_pointer && at.instruction_pointer == instruction_pointer,
               "two last fields in hexadecimal read as their values");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  return fuzz::EitherKind(bytes, size, CheckKernelLine, CheckRawText);
}
