// The companion's numbers (ids, descriptors, seconds, sizes, exit codes),
// read by Decimal: a plain decimal, no sign, no space, no leading zero,
// nothing after it, no greater than a limit. Any text and any limit:
// Decimal takes what a plain reference takes, reads it as the reference's
// value, and reads no byte past the text's end.
#include <limits.h>
#include <stddef.h>
#include <stdint.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../monitor-exec/companion.h"
#include "expect.h"

namespace {

// The reference, counted in 128 bits so that nothing wraps.
bool PlainDecimal(const std::string& text, unsigned long long limit, unsigned long long* value) {
  if (text.empty() || (text[0] == '0' && text.size() > 1)) return false;
  unsigned __int128 number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<unsigned>(c - '0');
    if (number > limit) return false;
  }
  *value = static_cast<unsigned long long>(number);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  // The limits that the companion uses, or any.
  const unsigned long long limit =
      data.ConsumeBool() ? data.PickValueInArray<unsigned long long>({255, 86400, INT_MAX, 0xfffffffe, ULLONG_MAX - 1})
                         : data.ConsumeIntegral<unsigned long long>();
  std::string text = data.ConsumeRemainingBytesAsString();
  text.resize(std::min(text.find('\0'), text.size()));
  // A copy of the text's own size, so that a read past its end is caught.
  std::vector<char> exact(text.begin(), text.end());
  exact.push_back('\0');
  unsigned long long expected = 0;
  const bool plain = PlainDecimal(text, limit, &expected);
  unsigned long long value = 0;
  const bool taken = companion::Decimal(exact.data(), limit, &value);
  fuzz::Expect(taken == plain, plain ? "a plain decimal within the limit is taken" : "anything else is refused");
  if (taken) fuzz::Expect(value == expected, "a number reads as its value");
  return 0;
}
