// The command line: options first, then PROGRAM and its arguments, which
// are used in place.
#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "companion.h"

namespace companion {
namespace {

enum Option {
  kKeepCaps = 256,
  kKeepSignals,
  kEnd,
  kEndWait,
  kDeployWait,
  kCoreLimit,
  kCoredumpFilter,
  kLogFd,
  kOutputFd,
  kStayFor,
};

const option kOptions[] = {
    {"user", required_argument, nullptr, 'u'},
    {"group", required_argument, nullptr, 'g'},
    {"keep-caps", required_argument, nullptr, kKeepCaps},
    {"keep-signals", no_argument, nullptr, kKeepSignals},
    {"end", required_argument, nullptr, kEnd},
    {"end-wait", required_argument, nullptr, kEndWait},
    {"deploy-wait", required_argument, nullptr, kDeployWait},
    {"core-limit", required_argument, nullptr, kCoreLimit},
    {"coredump-filter", required_argument, nullptr, kCoredumpFilter},
    {"log-fd", required_argument, nullptr, kLogFd},
    {"output-fd", required_argument, nullptr, kOutputFd},
    {"stay-for", required_argument, nullptr, kStayFor},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

bool Decimal(const char* text, unsigned long long limit, unsigned long long* value) {
  if (text[0] < '0' || text[0] > '9' || (text[0] == '0' && text[1] != '\0')) return false;
  unsigned long long number = 0;
  for (const char* at = text; *at != '\0'; ++at) {
    if (*at < '0' || *at > '9') return false;
    const unsigned digit = static_cast<unsigned>(*at - '0');
    // A limit below the digit would wrap around.
    if (digit > limit || number > (limit - digit) / 10) return false;
    number = number * 10 + digit;
  }
  *value = number;
  return true;
}

namespace {

bool Seconds(const char* text, long* ms) {
  unsigned long long seconds = 0;
  if (!Decimal(text, 86400, &seconds)) return false;
  *ms = static_cast<long>(seconds) * 1000;
  return true;
}

bool Descriptor(const char* text, int* fd) {
  unsigned long long number = 0;
  if (!Decimal(text, INT_MAX, &number)) return false;
  *fd = static_cast<int>(number);
  return true;
}

bool CoreLimit(const char* text, rlim_t* limit) {
  if (strcmp(text, "unlimited") == 0) {
    *limit = RLIM_INFINITY;
    return true;
  }
  unsigned long long bytes = 0;
  // RLIM_INFINITY is the largest value; anything below it is a size.
  if (!Decimal(text, static_cast<unsigned long long>(RLIM_INFINITY) - 1, &bytes)) return false;
  *limit = static_cast<rlim_t>(bytes);
  return true;
}

// A mask as the kernel reads it from coredump_filter: hexadecimal, with or
// without 0x, of at most 32 bits.
bool FilterMask(const char* text) {
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  const size_t length = strlen(text);
  return length > 0 && length <= 8 && strspn(text, "0123456789abcdefABCDEF") == length;
}

bool SetScope(const char* text, Scope* scope) {
  // "group" and "service" name the narrower scopes of earlier versions,
  // which this one covers.
  if (strcmp(text, "leftovers") == 0 || strcmp(text, "group") == 0 || strcmp(text, "service") == 0) {
    *scope = Scope::kLeftovers;
  } else if (strcmp(text, "none") == 0) {
    *scope = Scope::kNone;
  } else {
    return false;
  }
  return true;
}

// Reads one option's argument; false when it is malformed.
bool TakeOption(int option, const char* argument, Options* options) {
  bool valid = true;
  switch (option) {
    case 'u':
      options->user = argument;
      valid = argument[0] != '\0';
      break;
    case 'g':
      options->group = argument;
      valid = argument[0] != '\0';
      break;
    case kKeepCaps:
      // Its names are read with the identity, which they depend on.
      options->keep_caps = argument;
      break;
    case kKeepSignals:
      options->keep_signals = true;
      break;
    case kEnd:
      valid = SetScope(argument, &options->scope);
      break;
    case kEndWait:
      valid = Seconds(argument, &options->end_wait_ms);
      break;
    case kDeployWait:
      valid = Seconds(argument, &options->deploy_wait_ms);
      break;
    case kCoreLimit:
      valid = options->set_core_limit = CoreLimit(argument, &options->core_limit);
      break;
    case kCoredumpFilter:
      options->coredump_filter = argument;
      valid = FilterMask(argument);
      break;
    case kLogFd:
      valid = Descriptor(argument, &options->log_fd);
      break;
    case kOutputFd:
      valid = Descriptor(argument, &options->output_fd);
      break;
    case kStayFor:
      options->stay_codes = argument;
      valid = ValidCodes(argument);
      break;
    default:
      valid = false;
      break;
  }
  return valid;
}

// An option as the operator typed it: a long one up to its '=', however
// abbreviated; a short one as its letter, which may have come from inside a
// cluster such as "-xq".
struct Typed {
  char text[64];
};

bool IsLong(const char* element) { return strncmp(element, "--", 2) == 0; }

Typed AsTyped(const char* element, int letter) {
  Typed typed{};
  if (IsLong(element)) {
    static_cast<void>(
        snprintf(typed.text, sizeof typed.text, "%.*s", static_cast<int>(strcspn(element, "=")), element));
  } else {
    static_cast<void>(snprintf(typed.text, sizeof typed.text, "-%c", letter));
  }
  return typed;
}

// Whether a long option that getopt_long did not take is the beginning of
// more than one: it then says nothing that tells this from an unknown one.
bool Ambiguous(const char* element) {
  const char* name = element + 2;
  const size_t length = strcspn(name, "=");
  int matches = 0;
  for (const option* known = kOptions; known->name != nullptr; ++known) {
    if (strncmp(known->name, name, length) == 0) ++matches;
  }
  return matches > 1;
}

// Says why getopt_long refused the option read from element, with optopt
// as it left it.
void SayRefused(int refusal, const char* element, Reason* reason) {
  if (refusal == ':') {
    Say(reason, "option '%s' needs an argument", AsTyped(element, optopt).text);
  } else if (!IsLong(element)) {
    Say(reason, "unknown option '-%c'", optopt);
  } else if (optopt != 0) {
    // A long option that it knows, given an argument it takes none of.
    Say(reason, "option '%s' takes no argument", AsTyped(element, optopt).text);
  } else if (Ambiguous(element)) {
    Say(reason, "ambiguous option '%s'", element);
  } else {
    Say(reason, "unknown option '%s'", element);
  }
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, checked by the compiler, with no heap.
void Say(Reason* reason, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = vsnprintf(reason->text, sizeof reason->text, format, arguments);
  va_end(arguments);
  // A reason cut short still says what went wrong; mark where it was cut.
  if (length >= static_cast<int>(sizeof reason->text)) memcpy(reason->text + sizeof reason->text - 4, "...", 4);
  // What it quotes from the command line may hold a newline: the reason
  // stays one line, its control bytes shown as '?'.
  for (char* at = reason->text; *at != '\0'; ++at) {
    if (iscntrl(static_cast<unsigned char>(*at)) != 0) *at = '?';
  }
}

// Reads the range at *at, "N" or "N-M" of exit codes 0..255 with N no
// greater than M, and moves *at past it and the comma after it; false if
// it is malformed. One reader, so that what is checked is what is used.
bool NextRange(const char** at, unsigned long long* low, unsigned long long* high) {
  char item[8];
  const size_t length = strcspn(*at, ",");
  if (length == 0 || length >= sizeof item) return false;
  memcpy(item, *at, length);
  item[length] = '\0';
  char* dash = strchr(item, '-');
  if (dash != nullptr) *dash = '\0';
  if (!Decimal(item, 255, low)) return false;
  *high = *low;
  if (dash != nullptr && (!Decimal(dash + 1, 255, high) || *high < *low)) return false;
  *at += length;
  // A comma must be followed by another range.
  if (**at == ',') return *++*at != '\0';
  return true;
}

bool ValidCodes(const char* codes) {
  unsigned long long low = 0;
  unsigned long long high = 0;
  do {
    if (!NextRange(&codes, &low, &high)) return false;
  } while (*codes != '\0');
  return true;
}

bool ListedCode(const char* codes, int code) {
  unsigned long long low = 0;
  unsigned long long high = 0;
  while (*codes != '\0' && NextRange(&codes, &low, &high)) {
    if (static_cast<unsigned long long>(code) >= low && static_cast<unsigned long long>(code) <= high) return true;
  }
  return false;
}

Parsed ParseOptions(int argc, char** argv, Options* options, Reason* reason) {
  opterr = 0;
  // 0, not 1: glibc then also forgets where it was inside a cluster of
  // short options.
  optind = 0;
  // "+": options end at the first operand, PROGRAM, whose own options are
  // its arguments; ":": a missing argument is told apart from an unknown
  // option.
  while (true) {
    // The element the next option is read from, to name it as it was
    // typed: argv[optind], where optind stays until a cluster of short
    // options has been read whole (0 stands for 1).
    const char* element = argv[optind == 0 ? 1 : optind];
    const int option = getopt_long(argc, argv, "+:u:g:hV", kOptions, nullptr);
    if (option == -1) break;
    if (option == 'h') return Parsed::kHelp;
    if (option == 'V') return Parsed::kVersion;
    if (option == ':' || option == '?') {
      SayRefused(option, element, reason);
      return Parsed::kRefusal;
    }
    if (!TakeOption(option, optarg, options)) {
      Say(reason, "invalid argument '%s' for option '%s'", optarg, AsTyped(element, option).text);
      return Parsed::kRefusal;
    }
  }
  if (optind >= argc) {
    Say(reason, "no program given; usage: monitor-exec [OPTION]... PROGRAM [ARGUMENT]...");
    return Parsed::kRefusal;
  }
  options->program = &argv[optind];
  return Parsed::kRun;
}

}  // namespace companion
