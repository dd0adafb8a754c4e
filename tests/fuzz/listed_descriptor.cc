// The names that the descriptor scan reads in /proc/self/fd: the kernel
// lists each open descriptor by its number in decimal, and "." and "..".
// Any name (a directory entry holds any byte but '/' and NUL, up to 255 of
// them): one the kernel writes for a descriptor reads as that descriptor;
// any other reads as -1, no descriptor, so that a name never makes the scan
// ask about a descriptor that it does not spell.
#include <limits.h>
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../monitor/outside_text.h"
#include "expect.h"

namespace {

// The descriptor a name spells as the kernel writes it ("%u", no sign, no
// leading zero, within an int), or -1.
long long SpelledDescriptor(const std::string& name) {
  if (name.empty() || name.size() > 10 || (name[0] == '0' && name.size() > 1)) return -1;
  long long number = 0;
  for (const char c : name) {
    if (c < '0' || c > '9') return -1;
    number = number * 10 + (c - '0');
  }
  return number <= INT_MAX ? number : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::string name(reinterpret_cast<const char*>(bytes), std::min<size_t>(size, 255));
  name.resize(std::min(name.find('\0'), name.size()));
  const long long spelled = SpelledDescriptor(name);
  // A copy of the name's own size, so that a read past its end is caught.
  std::vector<char> exact(name.begin(), name.end());
  exact.push_back('\0');
  const int read = monitor::ListedDescriptor(exact.data());
  fuzz::Expect(read == spelled,
               spelled >= 0 ? "a descriptor's name reads as that descriptor" : "any other name reads as no descriptor");
  return 0;
}
