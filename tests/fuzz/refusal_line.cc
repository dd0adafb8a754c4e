// The refusal line "exec error: PATH: REASON", built as RefuseTarget builds
// it, from any path and any reason parts. What the line promises: it never
// outgrows its buffer and keeps a byte spare; the path's control bytes are
// escaped and every other byte kept as given, so that the path shows as
// the exact escape of its start; a path cut short ends in "..." and is cut
// between escapes and, for a path in valid UTF-8, between characters,
// keeping all it can.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../monitor/outside_text.h"
#include "expect.h"

namespace {

// Each byte of the path as the line shows it.
std::vector<std::string> Escapes(const std::string& path) {
  std::vector<std::string> escapes;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\n') {
      escapes.emplace_back("\\n");
    } else if (byte == '\t') {
      escapes.emplace_back("\\t");
    } else if (byte == '\r') {
      escapes.emplace_back("\\r");
    } else if (byte < 0x20 || byte == 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      escapes.push_back(std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15]);
    } else {
      escapes.emplace_back(1, c);
    }
  }
  return escapes;
}

// The length of the valid UTF-8 character at text[at], or 0.
size_t CharacterLength(const std::string& text, size_t at) {
  const auto first = static_cast<unsigned char>(text[at]);
  if (first < 0x80) return 1;
  size_t length = 0;
  if (first >= 0xc2 && first <= 0xdf) {
    length = 2;
  } else if (first >= 0xe0 && first <= 0xef) {
    length = 3;
  } else if (first >= 0xf0 && first <= 0xf4) {
    length = 4;
  } else {
    return 0;
  }
  unsigned long code = first & (0x7fU >> length);
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xc0) != 0x80) return 0;
    code = code << 6 | (next & 0x3fU);
  }
  const unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  return length;
}

// Where each character of text ends, or nothing when text is not valid UTF-8.
std::vector<size_t> CharacterEnds(const std::string& text) {
  std::vector<size_t> ends;
  for (size_t at = 0; at < text.size();) {
    const size_t length = CharacterLength(text, at);
    if (length == 0) return {};
    at += length;
    ends.push_back(at);
  }
  return ends;
}

// The path as the line shows it, against its escape.
void CheckPath(const std::string& path, const std::string& shown) {
  const std::vector<std::string> escapes = Escapes(path);
  // Escapes are appended while they begin within the first 509 bytes; the
  // path is cut where one more would not fit.
  std::string kept;
  size_t whole = 0;
  while (whole < escapes.size() && kept.size() + 4 <= monitor::kMaxEscapedPath) kept += escapes[whole++];
  const bool cut = whole < escapes.size();
  for (const char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    fuzz::Expect(byte >= 0x20 && byte != 0x7f, "no control byte of the path is shown unescaped");
  }
  if (!cut) {
    fuzz::Expect(shown == kept, "a path within the limit shows as its escape, whole");
    return;
  }
  fuzz::Expect(shown.size() >= 3 && shown.compare(shown.size() - 3, 3, "...") == 0, "a cut path ends in \"...\"");
  const std::string start = shown.substr(0, shown.size() - 3);
  fuzz::Expect(kept.compare(0, start.size(), start) == 0 && kept.size() - start.size() <= 3,
               "a cut path shows its escape's start, less at most three bytes");
  std::string escaped;
  for (const std::string& escape : escapes) escaped += escape;
  const std::vector<size_t> ends = CharacterEnds(escaped);
  if (ends.empty()) return;
  // Valid UTF-8: the cut falls at the last character end within what fit.
  size_t boundary = 0;
  for (const size_t end : ends) {
    if (end <= kept.size()) boundary = end;
  }
  fuzz::Expect(start.size() == boundary, "a cut path keeps every whole character that fit, and no part of one");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  std::string path = data.ConsumeRandomLengthString(4096);
  path.resize(std::min(path.find('\0'), path.size()));
  std::vector<std::string> reason;
  while (data.remaining_bytes() > 0 && reason.size() < 8) {
    std::string part = data.ConsumeRandomLengthString(1024);
    reason.push_back(part.substr(0, part.find('\0')));
  }
  // On the stack, as in RefuseTarget, where ASan guards its ends.
  char line[monitor::kRefusalLineSize];
  memset(line, 0xaa, sizeof line);
  const size_t prefix = monitor::Append(line, 0, "exec error: ");
  fuzz::Expect(prefix == strlen("exec error: "), "the prefix is written whole");
  const size_t escaped = monitor::AppendEscaped(line, prefix, path.c_str());
  fuzz::Expect(escaped < sizeof line, "the escaped path stays within the line, a byte spare");
  const std::string shown(line + prefix, escaped - prefix);
  CheckPath(path, shown);
  // The reason, however long, never takes the line past its spare byte.
  std::string expected(line, escaped);
  size_t used = monitor::Append(line, escaped, ": ");
  expected += ": ";
  for (const std::string& part : reason) {
    used = monitor::Append(line, used, part.c_str());
    expected += part;
  }
  fuzz::Expect(used <= sizeof line - 1, "the line keeps a byte spare");
  fuzz::Expect(std::string(line, used) == expected.substr(0, sizeof line - 1),
               "the reason is appended as far as it fits");
  return 0;
}
