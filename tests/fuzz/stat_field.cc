// /proc/TID/stat, whose second field is the command name: a thread may name
// itself anything (spaces, parentheses, newlines), so the fields after it
// are counted from its last ')'. Two kinds of input: a line laid out as the
// kernel writes it, from a fuzzed name and fuzzed numbers, whose every
// field must read back as written; and raw text, where a field that is
// plainly a number must read as that number, and one that is missing must
// not read at all.
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

// What ThreadStatField reads of the file at most.
constexpr size_t kLongestLine = 1023;
// The fields that the kernel writes after the state, in its 5.x and 6.x
// versions.
constexpr int kLastField = 52;

// A line as the kernel writes it: pid, name in parentheses, state, then
// numbers; each field from 4 on must read back as written.
void CheckKernelLine(FuzzedDataProvider& data) {
  const std::string name = data.ConsumeRandomLengthString(64);
  if (name.find('\0') != std::string::npos) return;
  std::string line = std::to_string(data.ConsumeIntegralInRange<int>(1, 4194304)) + " (" + name + ") " +
                     data.PickValueInArray({'R', 'S', 'D', 't', 'T', 'Z', 'X', 'I'});
  std::vector<unsigned long long> fields(kLastField + 1);
  for (int number = 4; number <= kLastField; ++number) {
    const auto value = data.ConsumeIntegral<unsigned long long>();
    fields[static_cast<size_t>(number)] = value >> data.ConsumeIntegralInRange(0, 63);
    line += ' ' + std::to_string(fields[static_cast<size_t>(number)]);
  }
  line += '\n';
  if (line.size() > kLongestLine) return;
  for (int number = 4; number <= kLastField; ++number) {
    unsigned long long value = 0;
    fuzz::Expect(monitor::StatField(line.c_str(), number, &value), "a field the kernel wrote is read");
    fuzz::Expect(value == fields[static_cast<size_t>(number)], "a field reads back as the kernel wrote it");
  }
}

// Where field number (4 or more) begins, after its number less two spaces
// from the last ')', or npos where the text has no such field.
size_t FieldStart(const std::string& text, int number) {
  const size_t parenthesis = text.rfind(')');
  if (parenthesis == std::string::npos) return std::string::npos;
  size_t at = parenthesis + 1;
  for (int field = 2; field < number; ++field) {
    at = text.find(' ', at);
    if (at == std::string::npos) return at;
    ++at;
  }
  return at;
}

// Raw text: a missing field never reads, and a field of plain digits ending
// at a space, a newline or the end reads as its decimal value.
void CheckRawText(FuzzedDataProvider& data) {
  const int number = data.ConsumeIntegralInRange(4, kLastField + 2);
  std::string text = data.ConsumeRemainingBytesAsString();
  text.resize(std::min({text.find('\0'), text.size(), kLongestLine}));
  // A copy of the text's own size, so that a read past its end is caught.
  std::vector<char> exact(text.begin(), text.end());
  exact.push_back('\0');
  unsigned long long value = 0;
  const bool read = monitor::StatField(exact.data(), number, &value);
  const size_t start = FieldStart(text, number);
  if (start == std::string::npos) {
    fuzz::Expect(!read, "a missing field does not read");
    return;
  }
  size_t end = start;
  unsigned long long expected = 0;
  bool fits = true;
  for (; end < text.size() && text[end] >= '0' && text[end] <= '9'; ++end) {
    const unsigned digit = static_cast<unsigned>(text[end] - '0');
    fits = fits && expected <= (UINT64_MAX - digit) / 10;
    expected = expected * 10 + digit;
  }
  const bool plain = end > start && (end == text.size() || text[end] == ' ' || text[end] == '\n');
  if (!plain) return;
  fuzz::Expect(read == fits, "a field of digits reads exactly when it fits");
  fuzz::Expect(!fits || value == expected, "a field of digits reads as its value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  return fuzz::EitherKind(bytes, size, CheckKernelLine, CheckRawText);
}
