// The readers and writers of text that the supervisor does not control,
// kept apart from the system calls that fetch it: each takes the text, or a
// way to read a tracee's memory, so that any input can be tried on it.
#pragma once

#include <stddef.h>

namespace monitor {

// Field number of a /proc/TID/stat line, read as an unsigned decimal number
// counted from the command name's last ')'; false when there is none.
bool StatField(const char* text, int number, unsigned long long* value);

// Where a stopped tracee stands, and the size of the words on its stack.
struct Position {
  unsigned long long stack_pointer = 0;
  unsigned long long instruction_pointer = 0;
  unsigned word_size = sizeof(long);
};

// Takes the stack and instruction pointers from the text of
// /proc/TID/syscall, its last two fields in hexadecimal, and cuts the text
// at its last space; false when they are not two numbers.
bool PositionFromSyscallFile(char* text, Position* at);

// Copies size bytes (at most 32) of a stopped tracee's memory at address;
// false where they cannot be read. tracee is what the caller handed along.
using MemoryReader = bool (*)(const void* tracee, unsigned long long address, unsigned char* bytes, size_t size);

// What a tracee's stack pointer points at.
enum class Stack { kUnreadable, kElsewhere, kInitial };

// Whether the stack pointer stands at the stack the kernel built for a new
// program, and the instruction pointer at its entry or its loader's, so
// that no instruction has run; memory is read word by word through read.
Stack ReadInitialStack(MemoryReader read, const void* tracee, const Position& at);

// The descriptor that an entry of /proc/self/fd names by its number in
// decimal, as the kernel writes it; -1 for any other name (".", "..").
int ListedDescriptor(const char* name);

// The refusal line is built whole and leaves in one system call, so that
// it cannot interleave with what other processes write to the same log at
// that moment. It is built on the stack, which may be as small as a
// trivial program's (a limit of 16 KiB, arguments and environment
// included), so a path is shown escaped up to 512 bytes and cut there with
// "...": longer than almost any real path, and still the start of it.
constexpr size_t kMaxEscapedPath = 512;
constexpr size_t kRefusalLineSize = sizeof "exec error: " + kMaxEscapedPath + 512;

// Appends text to the line at used, as far as it fits leaving one byte
// spare; returns the new length.
size_t Append(char (&line)[kRefusalLineSize], size_t used, const char* text);
// How many bytes at the end of line[start, used) begin a UTF-8 character
// that they do not finish, so that a cut there leaves no broken one.
size_t UnfinishedCharacter(const char (&line)[kRefusalLineSize], size_t start, size_t used);
// Appends text with its control characters escaped (\n, \t, \r, else
// \xHH), so that a path cannot break the line into lines that look like
// others; every other byte, UTF-8 included, is kept as given. Text beyond
// kMaxEscapedPath bytes, escaped, is cut to "..." between characters.
size_t AppendEscaped(char (&line)[kRefusalLineSize], size_t used, const char* text);

}  // namespace monitor
