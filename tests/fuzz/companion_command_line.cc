// Whole command lines of the companion, read by ParseOptions: any words,
// the program's name first. A refusal's reason is one line, ended within
// its buffer; the command line is left as it was given, in its order, and
// a program to run is one of its words after the first. No byte past a
// word's end is read.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "../../monitor-exec/companion.h"
#include "expect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  // The words, separated by NUL bytes; each in a buffer of its own size.
  std::vector<std::vector<char>> words{{'m', 'o', 'n', 'i', 't', 'o', 'r', '-', 'e', 'x', 'e', 'c', '\0'}};
  std::vector<char> word;
  for (size_t at = 0; at < size && words.size() < 32; ++at) {
    word.push_back(static_cast<char>(bytes[at]));
    if (bytes[at] != 0) continue;
    words.push_back(word);
    word.clear();
  }
  if (!word.empty() && words.size() < 32) {
    word.push_back('\0');
    words.push_back(word);
  }
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (auto& each : words) argv.push_back(each.data());
  argv.push_back(nullptr);
  const std::vector<char*> given = argv;
  const int argc = static_cast<int>(argv.size() - 1);

  companion::Options options;
  companion::Reason reason;
  memset(reason.text, 0xaa, sizeof reason.text);
  const companion::Parsed parsed = companion::ParseOptions(argc, argv.data(), &options, &reason);
  fuzz::Expect(argv == given, "the command line is left in its order");
  switch (parsed) {
    case companion::Parsed::kRun:
      fuzz::Expect(options.program > &argv[0] && options.program < &argv[static_cast<size_t>(argc)],
                   "the program is a word of the command line after the first");
      break;
    case companion::Parsed::kRefusal: {
      const size_t length = strnlen(reason.text, sizeof reason.text);
      fuzz::Expect(length < sizeof reason.text, "the reason ends within its buffer");
      fuzz::Expect(length > 0 && memchr(reason.text, '\n', length) == nullptr, "the reason is one line");
      break;
    }
    case companion::Parsed::kHelp:
    case companion::Parsed::kVersion:
      break;
  }
  return 0;
}
