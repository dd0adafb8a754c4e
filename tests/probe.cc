// A target for the tests: reports on an inherited descriptor what it was
// started with, then behaves as its second argument says.
//
//   probe FD MODE [ANY...]
//     FD    descriptor to report on, or -1 for no report
//     MODE  stay     wait until killed
//           exit:N   exit with code N
//           core     send itself SIGSEGV, with a core file, the first time
//                    in the working directory; afterwards stay
//           crash    crash on a bad address the first time in the working
//                    directory; afterwards stay
//           trap     raise SIGTRAP the first time in the working directory;
//                    afterwards stay
//           selftrap send itself SIGTRAP with kill() the first time in the
//                    working directory; afterwards stay
//           breakpoint   run the processor's breakpoint instruction the
//                    first time in the working directory; afterwards stay
//           exec [PROGRAM]   execute PROGRAM, by default itself again, in
//                    mode stay
//           fexec    as exec, through fexecve (the execveat system call)
//           clone    start a process with CLONE_PTRACE, which writes "clone
//                    ran" and exits; afterwards stay
//           clone-signalled   as clone, and send that process a signal that
//                    it handles, addressed to its thread, before it has run
//                    (both kept on one CPU, so that this one runs on)
//           traceme-MODE    make the parent its tracer, then behave as MODE
//           thread-traceme  a second thread makes the parent its tracer;
//                    both stay
//           thread-traceme-crash   as thread-traceme, then that thread
//                    crashes on a bad address the first time in the working
//                    directory; afterwards stay
//           clone-parent    start a process with CLONE_PARENT, a child of
//                    the parent, which exits at once; stay
//           orphan   wait until the first process of the PID namespace is
//                    the parent, then report and exit with 0
//           listen NAME     a server with a worker: bind the abstract Unix
//                    socket NAME (trying for a second, as servers do with a
//                    busy port), fork a worker that answers each connection
//                    with its pid, write "worker=PID" and stay; when the
//                    name stays taken, write "bind refused" and exit 1
//           handlers        install a SIGTERM handler that writes "sigterm"
//                    and exits 0 and a SIGCHLD handler that reaps, fork
//                    three children that exit at once, write "forked", and
//                    stay
//
// In the traceme modes, a refused PTRACE_TRACEME writes "traceme refused"
// instead of the report and exits with 77.
//
// The report is one line of space-separated fields; strings are hex-encoded
// so that any byte survives: pid=, ppid=, core=SOFT,HARD (-1 for unlimited),
// sigblk= and sigign= (as /proc shows them), cwd=, env= (MONITOR_PROBE_VALUE,
// or -), argv= (comma-separated).
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

std::string Hex(const char* text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

// Read through a volatile pointer, so that the compiler cannot see the null
// and turn the crash into a trap instruction.
int* volatile g_nowhere = nullptr;

void WriteAll(int fd, const std::string& line) {
  for (size_t done = 0; done < line.size();) {
    const ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n <= 0) _exit(90);
    done += static_cast<size_t>(n);
  }
}

bool FirstStartHere() { return open("crashed", O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600) >= 0; }

// The breakpoint instruction a debugger plants, which the kernel turns into
// SIGTRAP (on s390, for a traced process only, as the tests' are).
void Breakpoint() {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("int3");
#elif defined(__aarch64__)
  asm volatile("brk #0");
#elif defined(__arm__) && defined(__thumb__)
  asm volatile(".inst.n 0xde01");
#elif defined(__arm__)
  asm volatile(".inst 0xe7f001f0");
#elif defined(__mips__)
  asm volatile("break");
#elif defined(__powerpc__)
  asm volatile("trap");
#elif defined(__s390__)
  asm volatile(".short 0x0001");
#elif defined(__riscv)
  asm volatile("ebreak");
#else
  static_cast<void>(raise(SIGTRAP));  // no instruction known here: the signal alone
#endif
}

std::string Limit(rlim_t value) { return value == RLIM_INFINITY ? "-1" : std::to_string(value); }

// A signal set of /proc/self/status: "SigBlk:" or "SigIgn:".
std::string SignalSet(const char* key) {
  FILE* status = fopen("/proc/self/status", "r");
  if (status == nullptr) return "?";
  char line[256];
  std::string set = "?";
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, key, strlen(key)) != 0) continue;
    set = line + strlen(key);
    set.erase(0, set.find_first_not_of(" \t"));
    set.erase(set.find_last_not_of(" \t\n") + 1);
  }
  static_cast<void>(fclose(status));  // opened for reading: nothing to lose
  return set;
}

void Report(int fd, int argc, char** argv) {
  struct rlimit core {};
  getrlimit(RLIMIT_CORE, &core);
  char cwd[4096];
  const char* value = getenv("MONITOR_PROBE_VALUE");

  std::string line = "pid=" + std::to_string(getpid()) + " ppid=" + std::to_string(getppid()) +
                     " core=" + Limit(core.rlim_cur) + "," + Limit(core.rlim_max) + " sigblk=" + SignalSet("SigBlk:") +
                     " sigign=" + SignalSet("SigIgn:") +
                     " cwd=" + (getcwd(cwd, sizeof cwd) != nullptr ? Hex(cwd) : "?") +
                     " env=" + (value != nullptr ? Hex(value) : "-") + " argv=";
  for (int i = 0; i < argc; ++i) line += (i == 0 ? "" : ",") + Hex(argv[i]);
  line += '\n';
  WriteAll(fd, line);
}

void SetCoreLimit(rlim_t soft) {
  struct rlimit core {};
  getrlimit(RLIMIT_CORE, &core);
  core.rlim_cur = soft == RLIM_INFINITY ? core.rlim_max : soft;
  setrlimit(RLIMIT_CORE, &core);
}

// A fork that passes clone flags: without CLONE_VM and with no new stack,
// clone returns in both processes as fork does. s390 takes the new stack
// first and the flags second; every other architecture, the flags first.
pid_t CloneProcess(unsigned long flags) {
#if defined(__s390__)
  return static_cast<pid_t>(syscall(SYS_clone, 0, flags | SIGCHLD, 0, 0, 0));
#else
  return static_cast<pid_t>(syscall(SYS_clone, flags | SIGCHLD, 0, 0, 0, 0));
#endif
}

// The second thread of the thread-traceme modes and the pipes it talks on:
// it says whether PTRACE_TRACEME worked, then waits for the main thread's
// report before it crashes, if it is to crash.
struct Handshake {
  int ready[2];
  int go[2];
  bool crash;
};

void* TracedThread(void* argument) {
  auto* handshake = static_cast<Handshake*>(argument);
  const char traced = ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 ? 'y' : 'n';
  char go = 0;
  if (write(handshake->ready[1], &traced, 1) != 1 || read(handshake->go[0], &go, 1) != 1) _exit(80);
  if (handshake->crash && FirstStartHere()) *g_nowhere = 1;
  for (;;) pause();
}

// Starts the traced thread; false when PTRACE_TRACEME was refused.
bool StartTracedThread(Handshake* handshake) {
  pthread_t thread{};
  char traced = 0;
  if (pipe(handshake->ready) != 0 || pipe(handshake->go) != 0 ||
      pthread_create(&thread, nullptr, TracedThread, handshake) != 0 || read(handshake->ready[0], &traced, 1) != 1) {
    _exit(81);
  }
  return traced == 'y';
}

// A server whose workers hold its listening socket, so that they keep it
// when the main process dies, as nginx's do.
int Listen(int fd, const char* name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // An abstract name: taken only while a socket holds it, never by a file
  // left behind.
  strncpy(address.sun_path + 1, name, sizeof address.sun_path - 2);
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + strlen(address.sun_path + 1));
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) _exit(92);
  bool bound = false;
  for (int attempt = 0; attempt < 5 && !bound; ++attempt) {
    bound = bind(listener, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    if (!bound) usleep(200000);
  }
  if (!bound) {
    if (fd >= 0) WriteAll(fd, "bind refused\n");
    return 1;
  }
  if (listen(listener, 8) != 0) _exit(93);
  const pid_t worker = fork();
  if (worker < 0) _exit(94);
  if (worker == 0) {
    const std::string pid = std::to_string(getpid()) + "\n";
    for (;;) {
      const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      WriteAll(connection, pid);
      close(connection);
    }
  }
  if (fd >= 0) WriteAll(fd, "worker=" + std::to_string(worker) + "\n");
  for (;;) pause();
}

void Ignore(int) {}

int g_report_fd = -1;

void OnSigterm(int) {
  static const char kLine[] = "sigterm\n";
  if (g_report_fd >= 0) static_cast<void>(write(g_report_fd, kLine, sizeof kLine - 1));
  _exit(0);
}

void OnSigchld(int) {
  const int saved = errno;
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

// A program written for an ordinary start: it relies on its handlers and
// never looks at the signal mask it was given.
[[noreturn]] void Handlers(int fd) {
  g_report_fd = fd;
  struct sigaction action {};
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  action.sa_handler = OnSigterm;
  if (sigaction(SIGTERM, &action, nullptr) != 0) _exit(95);
  action.sa_handler = OnSigchld;
  if (sigaction(SIGCHLD, &action, nullptr) != 0) _exit(95);
  for (int i = 0; i < 3; ++i) {
    const pid_t child = fork();
    if (child < 0) _exit(96);
    if (child == 0) _exit(0);
  }
  if (fd >= 0) WriteAll(fd, "forked\n");
  for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const int fd = static_cast<int>(strtol(argv[1], nullptr, 10));
  const char* mode = argv[2];
  if (strncmp(mode, "traceme-", 8) == 0) {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
      if (fd >= 0) WriteAll(fd, "traceme refused\n");
      _exit(77);
    }
    mode += 8;
  }
  Handshake handshake{{-1, -1}, {-1, -1}, strcmp(mode, "thread-traceme-crash") == 0};
  if (strncmp(mode, "thread-traceme", 14) == 0 && !StartTracedThread(&handshake)) {
    if (fd >= 0) WriteAll(fd, "traceme refused\n");
    _exit(77);
  }
  // Before the report, so that the sibling exists once the test reads it.
  if (strcmp(mode, "clone-parent") == 0) {
    const pid_t sibling = CloneProcess(CLONE_PARENT);
    if (sibling == 0) _exit(0);
    if (sibling < 0) _exit(84);
  }
  // Reparented once the process that started this one has gone.
  if (strcmp(mode, "orphan") == 0) {
    for (int tries = 0; getppid() != 1; ++tries) {
      if (tries == 1000) _exit(85);
      usleep(10000);
    }
  }
  if (fd >= 0) Report(fd, argc, argv);
  // A test that kills this probe with SIGSEGV wants no core file left behind.
  SetCoreLimit(0);

  if (strncmp(mode, "exit:", 5) == 0) return static_cast<int>(strtol(mode + 5, nullptr, 10));
  if (strcmp(mode, "orphan") == 0) return 0;
  // Only the first start in a directory crashes, so that the test can see the
  // relaunched probe alive.
  if (strcmp(mode, "core") == 0 && FirstStartHere()) {
    SetCoreLimit(RLIM_INFINITY);
    kill(getpid(), SIGSEGV);
  }
  if (strcmp(mode, "crash") == 0 && FirstStartHere()) *g_nowhere = 1;
  if (strcmp(mode, "trap") == 0 && FirstStartHere()) static_cast<void>(raise(SIGTRAP));
  if (strcmp(mode, "selftrap") == 0 && FirstStartHere()) kill(getpid(), SIGTRAP);
  if (strcmp(mode, "breakpoint") == 0 && FirstStartHere()) Breakpoint();
  if (strcmp(mode, "listen") == 0 && argc > 3) return Listen(fd, argv[3]);
  if (strcmp(mode, "handlers") == 0) Handlers(fd);
  if (strcmp(mode, "exec") == 0 || strcmp(mode, "fexec") == 0) {
    char stay[] = "stay";
    char* again[] = {argv[0], argv[1], stay, nullptr};
    const char* program = argc > 3 ? argv[3] : argv[0];
    if (strcmp(mode, "exec") == 0) execv(program, again);
    const int self = open(program, O_RDONLY | O_CLOEXEC);
    if (self >= 0) fexecve(self, again, environ);
    _exit(91);
  }
  if (strncmp(mode, "thread-traceme", 14) == 0 && write(handshake.go[1], "g", 1) != 1) _exit(82);
  if (strcmp(mode, "clone") == 0 || strcmp(mode, "clone-signalled") == 0) {
    const bool signalled = strcmp(mode, "clone-signalled") == 0;
    if (signalled) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(sched_getcpu(), &one);
      struct sigaction action {};
      action.sa_handler = Ignore;
      if (sched_setaffinity(0, sizeof one, &one) != 0 || sigaction(SIGUSR1, &action, nullptr) != 0) _exit(86);
    }
    const pid_t traced = CloneProcess(CLONE_PTRACE);
    if (traced == 0) {
      if (fd >= 0) WriteAll(fd, "clone ran\n");
      _exit(0);
    }
    if (signalled && traced > 0 && syscall(SYS_tgkill, traced, traced, SIGUSR1) != 0) _exit(87);
    if (traced < 0 || waitpid(traced, nullptr, 0) != traced) _exit(83);
  }

  for (;;) pause();
}
