#include "help.h"

#include <string.h>
#include <unistd.h>

#include "companion.h"

namespace companion {
namespace {

constexpr char kHelp[] =
    "usage: monitor-exec [OPTION]... [--] PROGRAM [ARGUMENT]...\n"
    "Prepares this process, then executes PROGRAM in it: named as monitor's target,\n"
    "PROGRAM keeps the pid that monitor watches.\n"
    "\n"
    "  -u, --user=USER         run as USER, with its group and supplementary groups\n"
    "  -g, --group=GROUP       run with GROUP as the group (with --user: instead of USER's)\n"
    "                          (either leaves PROGRAM no capability, even as root)\n"
    "      --keep-caps=NAME[,NAME]...\n"
    "                          but these (such as net_bind_service), in every set\n"
    "      --keep-signals      keep the blocked signals and ignored ones as given\n"
    "                          (by default every signal is unblocked and reset)\n"
    "      --end=SCOPE         end what earlier instances left before the start, and\n"
    "                          wait until it is gone: leftovers (the default: monitor's\n"
    "                          other children, where the parent is provably monitor;\n"
    "                          refused where not, if asked for), or none\n"
    "      --end-wait=SECONDS  the longest wait for the leftovers to be gone (10)\n"
    "      --deploy-wait=SECONDS\n"
    "                          the longest wait for PROGRAM to be executable, and for\n"
    "                          a deploy's failures of exec to pass (10)\n"
    "      --core-limit=BYTES  the core-file size limit, or 'unlimited'\n"
    "      --coredump-filter=MASK\n"
    "                          which memory a core file holds (hexadecimal)\n"
    "      --log-fd=FD         write the start line to descriptor FD, not the system log\n"
    "      --output-fd=FD      make descriptor FD PROGRAM's standard output and error\n"
    "      --stay-for=CODES    stay as PROGRAM's parent, pass signals on, and turn an exit\n"
    "                          with one of CODES (as in 1,128-159) into a death by SIGKILL\n"
    "  -h, --help              show this and exit\n"
    "  -V, --version           show the version and exit\n"
    "\n"
    "Exit status: 100 when refused before anything changed, 111 when a later step\n"
    "failed; otherwise PROGRAM's. See monitor-exec(8).\n";

constexpr char kVersion[] = "monitor-exec " MONITOR_VERSION "\n";

int WriteAll(const char* text, size_t length) {
  while (length > 0) {
    const ssize_t written = write(STDOUT_FILENO, text, length);
    if (written < 0) return kFailed;
    text += written;
    length -= static_cast<size_t>(written);
  }
  return 0;
}

}  // namespace

int WriteHelp() { return WriteAll(kHelp, sizeof kHelp - 1); }
int WriteVersion() { return WriteAll(kVersion, sizeof kVersion - 1); }

}  // namespace companion
