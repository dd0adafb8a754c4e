// The stack that the kernel builds for a new program, read word by word
// from a byte buffer that stands for the tracee's memory: argc, the
// argument pointers and a null, the environment pointers and a null, the
// auxiliary vector up to AT_NULL, and the loader's ELF header at AT_BASE.
// Two kinds of input: a stack laid out as the kernel lays it, from fuzzed
// counts, pointers, auxiliary entries and loader, in 4- or 8-byte words,
// whose verdict is known; and raw memory, whose verdict must be what a
// plain decoding of that layout gives.
#include <elf.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

#include "../../monitor/outside_text.h"
#include "expect.h"

namespace {

// The tracee's memory: size bytes at base, nothing readable elsewhere.
struct Memory {
  unsigned long long base = 0;
  const unsigned char* bytes = nullptr;
  size_t size = 0;
  // Counted through the const pointer the reader is handed.
  mutable size_t reads = 0;
};

bool ReadMemory(const void* tracee, unsigned long long address, unsigned char* bytes, size_t size) {
  const auto* memory = static_cast<const Memory*>(tracee);
  fuzz::Expect(size <= 32, "a read asks for at most 32 bytes");
  ++memory->reads;
  if (address < memory->base || address - memory->base > memory->size) return false;
  const size_t offset = static_cast<size_t>(address - memory->base);
  if (size > memory->size - offset) return false;
  memcpy(bytes, memory->bytes + offset, size);
  return true;
}

// The words ReadInitialStack may ask for at most: argc, the null after the
// arguments, the environment, and the auxiliary pairs, and one header.
constexpr size_t kMostReads = 2 + (1 << 14) + 2 * 128 + 1;

void AppendWord(std::vector<unsigned char>* memory, unsigned long long value, unsigned word) {
  if (word == 8) {
    const uint64_t wide = value;
    memory->insert(memory->end(), reinterpret_cast<const unsigned char*>(&wide),
                   reinterpret_cast<const unsigned char*>(&wide) + sizeof wide);
  } else {
    const auto narrow = static_cast<uint32_t>(value);
    memory->insert(memory->end(), reinterpret_cast<const unsigned char*>(&narrow),
                   reinterpret_cast<const unsigned char*>(&narrow) + sizeof narrow);
  }
}

bool SameInstruction(unsigned long long a, unsigned long long b) { return (a | 1U) == (b | 1U); }

// Where the loader is, and what its header says.
enum class Loader { kNone, kValid, kNotElf, kUnmapped };

// A stack as the kernel lays it; the verdict follows from where the
// instruction pointer is.
void CheckKernelStack(FuzzedDataProvider& data) {
  const unsigned word = data.ConsumeBool() ? 8 : 4;
  const unsigned long long mask = word == 8 ? ~0ULL : 0xffffffffULL;
  const auto value = [&data, mask] { return data.ConsumeIntegral<unsigned long long>() & mask; };
  // Room above for the stack itself and the strings its pointers lead to.
  const unsigned long long base = (value() % (mask - (1ULL << 24))) & ~7ULL;
  const auto argc = data.ConsumeIntegralInRange<unsigned>(0, 8);
  // Now and then at the limit of the environment that is read, or just
  // past it (the provider gives its lowest values once the input runs out).
  const size_t environment = data.ConsumeIntegralInRange(0, 63) == 63
                                 ? (1U << 14) - 1 + data.ConsumeIntegralInRange(0U, 1U)
                                 : data.ConsumeIntegralInRange(0U, 8U);
  std::vector<unsigned char> memory;
  AppendWord(&memory, argc, word);
  for (unsigned i = 0; i < argc; ++i) AppendWord(&memory, value(), word);
  AppendWord(&memory, 0, word);
  const unsigned long long above = data.ConsumeIntegralInRange<unsigned long long>(1, 1ULL << 20);
  for (size_t i = 0; i < environment; ++i) AppendWord(&memory, base + above, word);
  AppendWord(&memory, 0, word);
  const unsigned long long entry = value();
  const auto loader_kind = data.PickValueInArray({Loader::kNone, Loader::kValid, Loader::kNotElf, Loader::kUnmapped});
  const auto others = data.ConsumeIntegralInRange(0, 40);
  const auto entry_at = data.ConsumeIntegralInRange(0, others);
  const auto loader_at = data.ConsumeIntegralInRange(0, others);
  for (int pair = 0; pair <= others; ++pair) {
    if (pair == entry_at) {
      AppendWord(&memory, AT_ENTRY, word);
      AppendWord(&memory, entry, word);
    }
    if (pair == loader_at && loader_kind != Loader::kNone) {
      AppendWord(&memory, AT_BASE, word);
      // Patched below, once the header's place is known.
      AppendWord(&memory, 0, word);
    }
    if (pair == others) break;
    unsigned long long type = data.ConsumeIntegralInRange<unsigned long long>(1, 64);
    if (type == AT_ENTRY || type == AT_BASE) type = AT_PAGESZ;
    AppendWord(&memory, type, word);
    AppendWord(&memory, value(), word);
  }
  AppendWord(&memory, AT_NULL, word);
  AppendWord(&memory, data.ConsumeBool() ? 0 : value(), word);
  // The loader's header, ELF's or not, right after the stack's words.
  unsigned long long loader_entry = 0;
  if (loader_kind != Loader::kNone) {
    const unsigned long long loader =
        loader_kind == Loader::kUnmapped ? base + memory.size() + 4096 : base + memory.size();
    const bool wide = data.ConsumeBool();
    const bool relocated = data.ConsumeBool();
    const unsigned long long header_entry = value();
    unsigned char header[32] = {};
    header[EI_MAG0] = ELFMAG0;
    header[EI_MAG1] = ELFMAG1;
    header[EI_MAG2] = ELFMAG2;
    header[EI_MAG3] = ELFMAG3;
    if (loader_kind == Loader::kNotElf) header[data.ConsumeIntegralInRange(0, SELFMAG - 1)] ^= 0x20;
    header[EI_CLASS] = wide ? ELFCLASS64 : ELFCLASS32;
    const uint16_t type = relocated ? ET_DYN : ET_EXEC;
    memcpy(header + 16, &type, sizeof type);
    if (wide) {
      const uint64_t entry64 = header_entry;
      memcpy(header + 24, &entry64, sizeof entry64);
    } else {
      const auto entry32 = static_cast<uint32_t>(header_entry);
      memcpy(header + 24, &entry32, sizeof entry32);
    }
    const unsigned long long read_entry = wide ? header_entry : header_entry & 0xffffffffULL;
    loader_entry = relocated ? loader + read_entry : read_entry;
    if (loader_kind != Loader::kUnmapped) memory.insert(memory.end(), header, header + sizeof header);
    // AT_BASE's value is the second word of its pair, counted from the end
    // of argc, the arguments, the environment and their nulls.
    const size_t auxiliary = word * (1 + argc + 1 + environment + 1);
    const size_t value_at =
        auxiliary + word * (2 * static_cast<size_t>(loader_at) + 1 + (entry_at <= loader_at ? 2 : 0));
    std::vector<unsigned char> patch;
    AppendWord(&patch, loader, word);
    memcpy(memory.data() + value_at, patch.data(), word);
  }
  const int where = data.ConsumeIntegralInRange(0, 3);
  const unsigned long long instruction_pointer = where == 0   ? entry
                                                 : where == 1 ? entry | 1U
                                                 : where == 2 ? loader_entry
                                                              : value();
  monitor::Position at;
  at.stack_pointer = base;
  at.instruction_pointer = instruction_pointer;
  at.word_size = word;
  Memory tracee{base, memory.data(), memory.size()};
  const monitor::Stack verdict = monitor::ReadInitialStack(ReadMemory, &tracee, at);
  fuzz::Expect(tracee.reads <= kMostReads, "the stack is read in a bounded number of words");
  if (environment >= (1U << 14)) {
    fuzz::Expect(verdict == monitor::Stack::kUnreadable, "an environment past the limit is not read to its end");
    return;
  }
  bool initial = SameInstruction(instruction_pointer, entry);
  if (!initial && loader_kind == Loader::kValid) initial = SameInstruction(instruction_pointer, loader_entry);
  if (!initial && (loader_kind == Loader::kNotElf || loader_kind == Loader::kUnmapped)) initial = true;
  fuzz::Expect(verdict == (initial ? monitor::Stack::kInitial : monitor::Stack::kElsewhere),
               "a stack the kernel built is told by where the instruction pointer is");
}

// A plain decoding of the layout, one step for each part, over the buffer.
class Decoder {
 public:
  Decoder(const Memory& memory, unsigned word) : memory_(memory), word_(word) {}

  // The word at address, or false.
  bool Word(unsigned long long address, unsigned long long* value) const {
    if (address < memory_.base || address - memory_.base > memory_.size ||
        memory_.size - (address - memory_.base) < word_) {
      return false;
    }
    const unsigned char* at = memory_.bytes + (address - memory_.base);
    *value = 0;
    // Little-endian, as this machine; the reader copies bytes as they are.
    for (unsigned i = word_; i-- > 0;) *value = *value << 8 | at[i];
    return true;
  }

  monitor::Stack Decode(const monitor::Position& at) const {
    unsigned long long argc = 0;
    if (!Word(at.stack_pointer, &argc)) return monitor::Stack::kUnreadable;
    if (argc > 0x7fffffff) return monitor::Stack::kElsewhere;
    unsigned long long next = at.stack_pointer + word_ * (argc + 1);
    unsigned long long value = 0;
    if (!Word(next, &value) || value != 0) return monitor::Stack::kElsewhere;
    next += word_;
    // The environment: pointers above the stack pointer, up to a null.
    for (size_t count = 0;; ++count, next += word_) {
      if (count == (1U << 14)) return monitor::Stack::kUnreadable;
      if (!Word(next, &value)) return monitor::Stack::kElsewhere;
      if (value == 0) break;
      if (value <= at.stack_pointer) return monitor::Stack::kElsewhere;
    }
    // The auxiliary pairs, up to AT_NULL; the last of each type counts.
    bool names_entry = false;
    unsigned long long entry = 0;
    unsigned long long loader = 0;
    for (int pair = 0;; ++pair, next += 2ULL * word_) {
      unsigned long long type = 0;
      if (pair == 128 || !Word(next + word_, &type) || !Word(next + 2ULL * word_, &value)) {
        return monitor::Stack::kElsewhere;
      }
      if (type == AT_NULL) break;
      if (type == AT_ENTRY) {
        names_entry = true;
        entry = value;
      }
      if (type == AT_BASE) loader = value;
    }
    if (!names_entry) return monitor::Stack::kElsewhere;
    return AtEntry(at.instruction_pointer, entry, loader) ? monitor::Stack::kInitial : monitor::Stack::kElsewhere;
  }

 private:
  bool AtEntry(unsigned long long instruction_pointer, unsigned long long entry, unsigned long long loader) const {
    if (SameInstruction(instruction_pointer, entry)) return true;
    if (loader == 0) return false;
    if (loader < memory_.base || loader - memory_.base > memory_.size || memory_.size - (loader - memory_.base) < 32) {
      return true;
    }
    const unsigned char* header = memory_.bytes + (loader - memory_.base);
    if (memcmp(header,
               "\x7f"
               "ELF",
               4) != 0)
      return true;
    unsigned long long loader_entry = 0;
    const unsigned size = header[4] == 2 ? 8 : 4;
    for (unsigned i = size; i-- > 0;) loader_entry = loader_entry << 8 | header[24 + i];
    const bool relocated = header[16] == 3 && header[17] == 0;
    return SameInstruction(instruction_pointer, relocated ? loader + loader_entry : loader_entry);
  }

  const Memory& memory_;
  unsigned word_;
};

// Raw memory: the verdict is what the plain decoding gives.
void CheckRawMemory(FuzzedDataProvider& data) {
  const unsigned word = data.ConsumeBool() ? 8 : 4;
  const unsigned long long mask = word == 8 ? ~0ULL : 0xffffffffULL;
  monitor::Position at;
  at.word_size = word;
  const unsigned long long base = data.ConsumeIntegral<unsigned long long>() & mask;
  at.stack_pointer = base + data.ConsumeIntegralInRange<unsigned long long>(0, 64);
  at.instruction_pointer = data.ConsumeIntegral<unsigned long long>() & mask;
  const std::vector<unsigned char> bytes = data.ConsumeRemainingBytes<unsigned char>();
  Memory tracee{base, bytes.data(), bytes.size()};
  const monitor::Stack verdict = monitor::ReadInitialStack(ReadMemory, &tracee, at);
  fuzz::Expect(tracee.reads <= kMostReads, "the stack is read in a bounded number of words");
  fuzz::Expect(verdict == Decoder(tracee, word).Decode(at), "the verdict is the plain decoding's");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  return fuzz::EitherKind(bytes, size, CheckKernelStack, CheckRawMemory);
}
