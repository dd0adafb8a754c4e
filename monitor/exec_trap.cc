// Telling the SIGTRAP that the kernel sends a traced process once its
// execve has succeeded from every other SIGTRAP.
#include <elf.h>
#include <errno.h>
#include <linux/audit.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>

#include "monitor.h"
#include "outside_text.h"

namespace monitor {

bool PositionFromSyscallFile(char* text, Position* at) {
  char* last = strrchr(text, ' ');
  if (last == nullptr) return false;
  *last = '\0';
  const char* second_to_last = strrchr(text, ' ');
  if (second_to_last == nullptr) return false;
  char* end = nullptr;
  errno = 0;
  at->stack_pointer = strtoull(second_to_last + 1, &end, 16);
  if (errno != 0 || end == second_to_last + 1 || *end != '\0') return false;
  at->instruction_pointer = strtoull(last + 1, &end, 16);
  return errno == 0 && end != last + 1 && (*end == '\0' || *end == '\n');
}

namespace {

// Reads the position of a stopped tracee. PTRACE_GET_SYSCALL_INFO (Linux 5.3
// and later) gives it in one layout on every architecture and for a tracee
// of either word size, and says which word size through the architecture it
// names. An older kernel refuses the request, and then /proc/TID/syscall
// has the stack and instruction pointers as its last two fields ("-1 SP PC"
// outside a system call, "NR ARG1..ARG6 SP PC" inside one); the tracee's
// words are then taken to be this process's size.
bool ReadPosition(pid_t tracee, Position* at) {
  __ptrace_syscall_info info{};
  const long got = ptrace(PTRACE_GET_SYSCALL_INFO, tracee, sizeof info, &info);
  if (got >= static_cast<long>(offsetof(__ptrace_syscall_info, stack_pointer) + sizeof info.stack_pointer)) {
    at->stack_pointer = info.stack_pointer;
    at->instruction_pointer = info.instruction_pointer;
    at->word_size = (info.arch & __AUDIT_ARCH_64BIT) != 0 ? 8 : 4;
    return true;
  }
  char text[256];
  return ReadThreadFile(tracee, "syscall", text, sizeof text) && PositionFromSyscallFile(text, at);
}

// Copies size bytes (at most 32) of the memory of the tracee whose pid
// traced points to, at address. Only the tracer's own request reads it
// whatever /proc shows: the kernel lets the tracer read a dumpable tracee,
// and a tracer with CAP_SYS_PTRACE any.
bool PeekBytes(const void* traced, unsigned long long address, unsigned char* bytes, size_t size) {
  const pid_t tracee = *static_cast<const pid_t*>(traced);
  for (size_t done = 0; done < size; done += sizeof(long)) {
    const unsigned long long at = address + done;
    // An address beyond what this process's pointers can hold (a 64-bit
    // tracee of a 32-bit supervisor) cannot be asked for.
    if (at < address || at > UINTPTR_MAX) return false;
    errno = 0;
    const long word = ptrace(PTRACE_PEEKDATA, tracee, reinterpret_cast<void*>(static_cast<uintptr_t>(at)),  // NOLINT
                             nullptr);
    if (word == -1 && errno != 0) return false;
    memcpy(bytes + done, &word, size - done < sizeof word ? size - done : sizeof word);
  }
  return true;
}

// Reads one word of the tracee's stack, of its own size.
bool PeekWord(MemoryReader read, const void* tracee, unsigned long long address, unsigned word_size,
              unsigned long long* value) {
  unsigned char bytes[8];
  if (!read(tracee, address, bytes, word_size)) return false;
  if (word_size == 8) {
    uint64_t wide = 0;
    memcpy(&wide, bytes, sizeof wide);
    *value = wide;
  } else {
    uint32_t narrow = 0;
    memcpy(&narrow, bytes, sizeof narrow);
    *value = narrow;
  }
  return true;
}

// Whether two code addresses name the same instruction. The lowest bit is
// set in an entry into Thumb code (32-bit ARM), which the kernel starts at
// without it.
bool SameInstruction(unsigned long long a, unsigned long long b) { return (a | 1U) == (b | 1U); }

// Whether the instruction pointer is where the kernel starts a new program:
// its entry, or, where it has a loader (AT_BASE is where the kernel mapped
// the loader, ELF header first), the loader's entry. A loader whose header
// cannot be read leaves the stack alone to decide.
bool AtEntry(MemoryReader read, const void* tracee, unsigned long long instruction_pointer, unsigned long long entry,
             unsigned long long loader) {
  if (SameInstruction(instruction_pointer, entry)) return true;
  if (loader == 0) return false;
  // e_ident (magic, class), e_type at 16, e_entry at 24, of the class's size.
  unsigned char header[32];
  if (!read(tracee, loader, header, sizeof header) || memcmp(header, ELFMAG, SELFMAG) != 0) return true;
  unsigned long long loader_entry = 0;
  if (header[EI_CLASS] == ELFCLASS64) {
    uint64_t wide = 0;
    memcpy(&wide, header + 24, sizeof wide);
    loader_entry = wide;
  } else {
    uint32_t narrow = 0;
    memcpy(&narrow, header + 24, sizeof narrow);
    loader_entry = narrow;
  }
  uint16_t type = 0;
  memcpy(&type, header + 16, sizeof type);
  return SameInstruction(instruction_pointer, type == ET_DYN ? loader + loader_entry : loader_entry);
}

// The kernel's limit on the argument count, and more auxiliary entries
// than it writes. Each environment pointer costs a system call while the
// supervisor's loop waits, so at 16384 of them (far more than any real
// environment) the stack is not read further and counts as unreadable.
constexpr unsigned long long kMaxArguments = 0x7fffffff;
constexpr int kMaxEnvironment = 1 << 14;
constexpr int kMaxAuxiliary = 128;

}  // namespace

// The kernel builds the new program's stack as argc, the argument pointers
// and a null, the environment pointers (into the strings above) and a
// null, then the auxiliary vector up to AT_NULL, which names the program's
// entry.
Stack ReadInitialStack(MemoryReader read, const void* tracee, const Position& at) {
  const unsigned word = at.word_size;
  unsigned long long argc = 0;
  if (!PeekWord(read, tracee, at.stack_pointer, word, &argc)) return Stack::kUnreadable;
  if (argc > kMaxArguments) return Stack::kElsewhere;
  unsigned long long address = at.stack_pointer + word * (argc + 1);
  unsigned long long value = 1;
  if (!PeekWord(read, tracee, address, word, &value) || value != 0) return Stack::kElsewhere;
  for (int count = 0;; ++count) {
    address += word;
    if (count == kMaxEnvironment) return Stack::kUnreadable;
    if (!PeekWord(read, tracee, address, word, &value)) return Stack::kElsewhere;
    if (value == 0) break;
    if (value <= at.stack_pointer) return Stack::kElsewhere;
  }
  unsigned long long entry = 0;
  unsigned long long loader = 0;
  bool names_entry = false;
  for (int pair = 0;; ++pair) {
    unsigned long long type = 0;
    if (pair == kMaxAuxiliary || !PeekWord(read, tracee, address + word, word, &type) ||
        !PeekWord(read, tracee, address + 2ULL * word, word, &value)) {
      return Stack::kElsewhere;
    }
    address += 2ULL * word;
    if (type == AT_NULL) break;
    if (type == AT_ENTRY) {
      entry = value;
      names_entry = true;
    }
    if (type == AT_BASE) loader = value;
  }
  if (!names_entry) return Stack::kElsewhere;
  return AtEntry(read, tracee, at.instruction_pointer, entry, loader) ? Stack::kInitial : Stack::kElsewhere;
}

// The signal alone cannot tell: the kernel sends that trap as if the program
// had sent it to itself with kill(), and so with the same information. Nor
// can the system call the stop came out of, which arm64 and arm clear at the
// exec, and which a tracee of the other word size numbers in its own ABI.
// What tells them apart everywhere is that the new program has not run a
// single instruction yet: its stack pointer is still the start of its
// stack. /proc/TID/stat shows that start, where /proc is this process's own
// and does not hide it; elsewhere the stack itself is read. Where neither
// can be read (the kernel made the new program undumpable at its exec, and
// this process lacks CAP_SYS_PTRACE), the trap is taken for the exec's: the
// other mistake would kill the new program before its first instruction,
// and relaunch it in a loop, while this one loses one self-sent SIGTRAP.
bool CameOutOfExec(pid_t tracee) {
  // A breakpoint, a fault, raise() and sigqueue() say so in the signal's
  // code; only a kill() looks like the exec's trap.
  siginfo_t info{};
  if (ptrace(PTRACE_GETSIGINFO, tracee, nullptr, &info) == 0 && info.si_code != SI_USER) return false;
  Position at;
  if (!ReadPosition(tracee, &at)) return true;
  unsigned long long stack_start = 0;
  if (ThreadStatField(tracee, 28, &stack_start) && stack_start != 0) return at.stack_pointer == stack_start;
  return ReadInitialStack(PeekBytes, &tracee, at) != Stack::kElsewhere;
}

}  // namespace monitor
