// The staying mode's exit codes, a list such as "1,128-159": ranges "N" or
// "N-M" of plain decimals 0..255 with N no greater than M, separated by
// single commas. NextRange reads one range at a time for both ValidCodes,
// which checks the list given, and ListedCode, which reads it at each exit.
// Two kinds of input: a list built from fuzzed ranges, which must be valid
// and list exactly their codes; and raw text, where ValidCodes must agree
// with a plain reference, each range must be read where the reference
// finds it, and ListedCode must list exactly the codes of the ranges read
// before the first it cannot read. No byte past the text's end is read.
#include <stddef.h>
#include <stdint.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../monitor-exec/companion.h"
#include "expect.h"

namespace companion {
// Not in the header: the one reader behind ValidCodes and ListedCode.
bool NextRange(const char** at, unsigned long long* low, unsigned long long* high);
}  // namespace companion

namespace {

struct Range {
  int low;
  int high;
};

// A plain decimal of 0..255, as the reference reads one.
bool Code(const std::string& text, int* code) {
  if (text.empty() || text.size() > 3 || (text[0] == '0' && text.size() > 1)) return false;
  int number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  *code = number;
  return number <= 255;
}

bool ReadRange(const std::string& item, Range* range) {
  const size_t dash = item.find('-');
  if (!Code(item.substr(0, dash), &range->low)) return false;
  range->high = range->low;
  if (dash == std::string::npos) return true;
  return Code(item.substr(dash + 1), &range->high) && range->high >= range->low;
}

// The list split at every comma, with where each item starts.
std::vector<std::pair<size_t, std::string>> Items(const std::string& text) {
  std::vector<std::pair<size_t, std::string>> items;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    items.emplace_back(start, text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

// Reads text as the reference does: whether it is valid, and the ranges
// read before the first item that cannot be read (a range followed by a
// comma that ends the text counts as one that cannot be read), with where
// the reading stands after each.
bool Reference(const std::string& text, std::vector<Range>* read, std::vector<size_t>* after) {
  const auto items = Items(text);
  for (size_t i = 0; i < items.size(); ++i) {
    Range range{};
    if (!ReadRange(items[i].second, &range)) return false;
    const bool last = i + 1 == items.size();
    if (!last && i + 2 == items.size() && items[i + 1].second.empty()) return false;
    read->push_back(range);
    after->push_back(last ? text.size() : items[i + 1].first);
  }
  return true;
}

void Check(const std::string& text) {
  std::vector<char> exact(text.begin(), text.end());
  exact.push_back('\0');
  std::vector<Range> ranges;
  std::vector<size_t> after;
  const bool valid = Reference(text, &ranges, &after);
  fuzz::Expect(companion::ValidCodes(exact.data()) == valid,
               valid ? "a valid list is taken" : "a malformed list is refused");
  // Range by range, where the reference reads them, never past the end.
  const char* at = exact.data();
  for (size_t i = 0; i < ranges.size(); ++i) {
    unsigned long long low = 0;
    unsigned long long high = 0;
    fuzz::Expect(companion::NextRange(&at, &low, &high), "a range the reference reads is read");
    fuzz::Expect(low == static_cast<unsigned long long>(ranges[i].low) &&
                     high == static_cast<unsigned long long>(ranges[i].high),
                 "a range reads as the reference reads it");
    fuzz::Expect(at == exact.data() + after[i], "the reading moves past the range and its comma, and no further");
  }
  if (!valid && *at != '\0') {
    unsigned long long low = 0;
    unsigned long long high = 0;
    fuzz::Expect(!companion::NextRange(&at, &low, &high), "a range the reference cannot read is not read");
  }
  for (int code = -1; code <= 256; ++code) {
    const bool listed = std::any_of(ranges.begin(), ranges.end(),
                                    [code](const Range& range) { return code >= range.low && code <= range.high; });
    fuzz::Expect(companion::ListedCode(exact.data(), code) == listed,
                 "a code is listed where a range read before the first unreadable one holds it, and only there");
  }
}

// A list built from fuzzed ranges, each "N" or "N-M".
void Built(FuzzedDataProvider& data) {
  std::string text;
  const int count = data.ConsumeIntegralInRange(1, 12);
  for (int i = 0; i < count; ++i) {
    const int low = data.ConsumeIntegralInRange(0, 255);
    const int high = data.ConsumeIntegralInRange(low, 255);
    if (i > 0) text += ',';
    text += std::to_string(low);
    if (high != low || data.ConsumeBool()) text += '-' + std::to_string(high);
  }
  fuzz::Expect(companion::ValidCodes(text.c_str()), "a list built of ranges is valid");
  Check(text);
}

void Raw(FuzzedDataProvider& data) {
  std::string text = data.ConsumeRemainingBytesAsString().substr(0, 256);
  text.resize(std::min(text.find('\0'), text.size()));
  Check(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  return fuzz::EitherKind(bytes, size, Built, Raw);
}
