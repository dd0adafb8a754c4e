// The companion's core-file settings, read through ParseOptions as a
// command line gives them, joined to their option or as the next word:
// --core-limit takes "unlimited" or a plain decimal below RLIM_INFINITY,
// --coredump-filter a mask of one to eight hexadecimal digits, with or
// without 0x. Any value: taken exactly where a plain reference takes it,
// as the reference's value, and refused otherwise with one line; the mask
// taken reads as the reference's value where it is written, as a number
// of base 16. No byte past a word's end is read.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../monitor-exec/companion.h"
#include "expect.h"

namespace {

bool CoreLimit(const std::string& text, rlim_t* limit) {
  if (text == "unlimited") {
    *limit = RLIM_INFINITY;
    return true;
  }
  if (text.empty() || (text[0] == '0' && text.size() > 1)) return false;
  unsigned __int128 number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<unsigned>(c - '0');
    if (number >= RLIM_INFINITY) return false;
  }
  *limit = static_cast<rlim_t>(number);
  return true;
}

bool Mask(const std::string& text, unsigned long* mask) {
  const size_t digits = text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
  if (text.size() == digits || text.size() - digits > 8) return false;
  unsigned long number = 0;
  for (size_t at = digits; at < text.size(); ++at) {
    const char c = text[at];
    const char* hex = "0123456789abcdef";
    const char* found = c == '\0' ? nullptr : strchr(hex, c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    if (found == nullptr) return false;
    number = number * 16 + static_cast<unsigned long>(found - hex);
  }
  *mask = number;
  return true;
}

// A word in a buffer of its own size, so that a read past its end is caught.
std::vector<char> Word(const std::string& text) {
  std::vector<char> word(text.begin(), text.end());
  word.push_back('\0');
  return word;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  const bool core = data.ConsumeBool();
  const bool joined = data.ConsumeBool();
  std::string value = data.ConsumeRemainingBytesAsString().substr(0, 64);
  value.resize(std::min(value.find('\0'), value.size()));
  const std::string option = core ? "--core-limit" : "--coredump-filter";

  std::vector<std::vector<char>> words{Word("monitor-exec")};
  if (joined) {
    words.push_back(Word(option + "=" + value));
  } else {
    words.push_back(Word(option));
    words.push_back(Word(value));
  }
  words.push_back(Word("program"));
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  companion::Options options;
  companion::Reason reason;
  memset(reason.text, 0xaa, sizeof reason.text);
  const companion::Parsed parsed =
      companion::ParseOptions(static_cast<int>(argv.size() - 1), argv.data(), &options, &reason);
  rlim_t limit = 0;
  unsigned long mask = 0;
  const bool valid = core ? CoreLimit(value, &limit) : Mask(value, &mask);
  if (!valid) {
    fuzz::Expect(parsed == companion::Parsed::kRefusal, "a malformed value is refused");
    const size_t length = strnlen(reason.text, sizeof reason.text);
    fuzz::Expect(length < sizeof reason.text, "the reason ends within its buffer");
    fuzz::Expect(length > 0 && memchr(reason.text, '\n', length) == nullptr, "the reason is one line");
    return 0;
  }
  fuzz::Expect(parsed == companion::Parsed::kRun, "a well-formed value is taken");
  fuzz::Expect(options.program == &argv[argv.size() - 2], "the program is the word after the option");
  if (core) {
    fuzz::Expect(options.set_core_limit && options.core_limit == limit, "the limit reads as its value");
  } else {
    fuzz::Expect(options.coredump_filter != nullptr && options.coredump_filter == value, "the mask is kept as given");
    // What ApplyCoreSettings writes, with 0x, is the mask read in base 16.
    fuzz::Expect(strtoul(options.coredump_filter, nullptr, 16) == mask, "the mask reads in base 16 as its value");
  }
  return 0;
}
