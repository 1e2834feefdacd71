#include "agent/daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "agent/acceptor.h"
#include "agent/agent_info.h"
#include "agent/crash.h"
#include "agent/flags.h"
#include "agent/logging.h"
#include "agent/replay_guard.h"
#include "agent/selfcheck.h"
#include "base/heap.h"
#include "base/net.h"
#include "base/oserror.h"
#include "base/private_tmp.h"
#include "base/resources.h"
#include "config/settings.h"

namespace {

const char kRule[] = "-------------------------------------------------------------";

// Set by SIGHUP in daemon mode; the main loop reloads within a second. The
// handler may run on any thread: a lock-free atomic is both safe in a
// handler and ordered between threads (a volatile sig_atomic_t is only the
// former).
std::atomic<int> g_reload_config{0};
static_assert(std::atomic<int>::is_always_lock_free, "the SIGHUP flag must be lock-free");

void SetCloseOnExec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void PrintBanner() {
  puts(kRule);
  puts(" Application:  ORV (Orvane for Vequon)");
  printf(" Version:      %s for %s\n", AgentStatus.AgentVersion, AgentStatus.AgentPlatform);
  puts(" Developed by the orv project");
  puts(" https://orv.invalid");
  puts(" Free software, provided without warranty");
  puts(kRule);
}

void reloadcfg(int) { g_reload_config = 1; }

// SIGTERM or SIGINT, once the agent serves: the main thread removes the pid
// file and the private temporary folder, then ends by the same signal, so a
// service manager's stop leaves nothing behind and sees the usual ending.
std::atomic<int> g_stop_signal{0};

void stopagent(int sig) {
  g_stop_signal = sig;
  WakeMainThread();
}

void InstallHandler(int sig, void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

// The listening socket and what the loop knows about it.
struct TListener {
  int fd = 0;
  socklen_t addrlen = 0;
  int port = 0;

  void Close() {
    if (fd > 0) {
      StopAccepting(fd);
      close(fd);
    }
    fd = 0;
  }
};

bool OpenListener(TListener& l, String& err) {
  int fd = -1;
  if (!Listen(fd, l.addrlen, err)) return false;
  l.fd = fd;
  SetCloseOnExec(l.fd);
  return true;
}

// The listener from now on, for the session threads too.
bool OpenAndAccept(TListener& l, String& err) {
  if (!OpenListener(l, err)) return false;
  AcceptOn(l.fd);
  return true;
}

// After a failed execve the listener is already closed: serve on from the
// same port, or stop when even that is impossible.
void ResumeAfterFailedExec(TListener& l) {
  String err;
  if (!OpenAndAccept(l, err)) {
    showmessage("Cannot open original port either. Terminating\n", LOCAL, msgBad);
    RemovePrivateTmp();
    _exit(4);
  }
}

void SwitchPort(TListener& l, int port) {
  l.Close();
  String err;
  if (OpenAndAccept(l, err)) {
    l.port = port;
    showmessage("Server port switching .. Ok\n", LOCAL, msgOk);
    return;
  }
  showmessage("Error: cannot open new port for listening\n", LOCAL, msgBad);
  ORVSettings.SetPort(l.port);
  if (!OpenAndAccept(l, err)) {
    showmessage("Cannot open original port either. Terminating\n", LOCAL, msgBad);
    RemovePrivateTmp();
    _exit(4);
  }
  showmessage("Return to original port\n", LOCAL, msgBad);
}

FILE* g_pidfile = nullptr;

// Write end of the pipe on which a new daemon tells the process that forked
// it that it listens and has written its pid file; -1 when nobody waits.
int g_ready_fd = -1;

// The forking parent stays until the daemon is ready, so that whoever
// started it (a service manager reading the pid file, a script) finds the
// pid file written and the port open once the parent has ended, and a daemon
// that fails before that ends the parent with its own exit status. A daemon
// that re-executes itself (ReloadApp, a late segmentation fault) forks again;
// its old process ends only after the new one has written the pid file.
[[noreturn]] void AwaitDaemon(int ready_fd, pid_t child) {
  // Opening the port takes at most three attempts a second apart; the rest
  // is quick. A daemon that takes longer is left running on its own.
  const int kReadyLimitMs = 30000;
  struct pollfd p = {ready_fd, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, kReadyLimitMs);
  } while (r < 0 && errno == EINTR);
  char ok = 0;
  ssize_t n = r > 0 ? ReadRetry(ready_fd, &ok, 1) : -1;
  if (n == 0) {
    // Closed without a word: the daemon ended and has printed why.
    int status = 0;
    pid_t w;
    do {
      w = waitpid(child, &status, 0);
    } while (w < 0 && errno == EINTR);
    fflush(stdout);
    _exit(w == child && WIFEXITED(status) ? WEXITSTATUS(status) : 2);
  }
  puts("Daemon started");
  exit(0);
}

// Replaces the agent by program (the agent itself, or the upgrade script)
// once the listener and the pid file are closed. When the exec fails, the
// flag that asked for it is lowered and the agent goes on listening.
void ExecInstead(TListener& l, const String& program, std::atomic<int>& flag,
                 const char* announce, const char* failure, char** argv, char** envp) {
  showmessage(announce, LOCAL, msgInfo);
  l.Close();
  closepidfile(g_pidfile);
  g_pidfile = nullptr;
  fflush(stdout);
  String path = program;
  // The new image (the upgrade script starts it with this environment) is
  // handed the table of requests already seen.
  execve(path.CStr(), argv, ReplayGuard().PrepareExec(envp));
  ReplayGuard().ExecFailed();
  showmessage(failure, LOCAL, msgBad);
  flag = 0;
  ResumeAfterFailedExec(l);
}

// After a second without a new connection that follows some activity, the
// memory the sessions freed goes back to the system: an agent that has
// just served a burst, or one huge reply, shrinks back to its idle size.
void ShrinkWhenQuiet() {
  static int seen = -1;
  static bool served_since_shrink = false;
  int count = AgentStatus.OpenedConnections.load() + AgentStatus.FailedConnections.load();
  if (count != seen) {
    seen = count;
    served_since_shrink = true;
  } else if (served_since_shrink && AgentStatus.ActiveConnections.load() == 0) {
    served_since_shrink = false;
    ReturnFreedMemory();
  }
}

// Looks at the run flags and acts on them; the session threads accept and
// serve meanwhile.
void RunMainLoop(TListener& l, char** argv, char** envp) {
  for (;;) {
    if (ORVFlags.Terminate) {
      showmessage("Terminate request received. Terminating..\n", LOCAL, msgInfo);
      closepidfile(g_pidfile);
      g_pidfile = nullptr;
      fflush(stdout);
      RemovePrivateTmp();
      _exit(0);  // sessions may still run: skip static destructors they rely on
    }
    if (ORVFlags.Reload) {
      ExecInstead(l, ORVSettings.Get()->AgentPath, ORVFlags.Reload,
                  "Reload request received. Executing..\n", "Error: cannot start new instance\n",
                  argv, envp);
    }
    if (ORVFlags.Upgrade) {
      String script;
      {
        std::lock_guard<std::mutex> lock(thread_mutex);
        script = ORVFlags.UpgradeScript;
      }
      ExecInstead(l, script, ORVFlags.Upgrade, "Upgrade request received. Executing..\n",
                  "Error: cannot start upgrading script\n", argv, envp);
    }
    if (int sig = g_stop_signal.load()) {
      closepidfile(g_pidfile);
      g_pidfile = nullptr;
      fflush(stdout);
      RemovePrivateTmp();
      signal(sig, SIG_DFL);
      raise(sig);
    }
    CrashPathRefresh();  // log paths may have changed by "SetSettings"
    if (g_reload_config.exchange(0)) {
      String ignored;
      ORVSettings.LoadOptions(ignored);
    }
    int port = ORVSettings.Get()->Port;
    if (port != l.port) SwitchPort(l, port);
    if (AcceptFailed()) return;

    ReportSuppressedMessages();
    ShrinkWhenQuiet();
    WaitAndWatch(1000);
  }
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, TAgentOptions& out, String& err) {
  err = "";
  auto missing = [&err] {
    err = "Error\nInvalid or missed command line parameter";
    return false;
  };
  int i = 1;
  auto is = [&](const char* opt) { return i < argc && strcmp(argv[i], opt) == 0; };
  if (i >= argc) return missing();
  if (is("-i")) {
    out.Interactive = 1;
    ++i;
  } else if (is("-d")) {
    out.Interactive = 0;
    ++i;
  }
  if (i >= argc) return missing();
  if (is("-v")) {
    out.Verbose = 1;
    ++i;
  }
  if (i >= argc) return missing();
  if (is("-vd")) {
    out.Verbose = out.Debug = 1;
    ++i;
  }
  if (i >= argc) return missing();
  if (is("-p")) {
    ++i;
    if (i >= argc) return missing();
    int port = atoi(argv[i]);
    // A negative port is refused along with 0 and values above 65535.
    if (!IsValidPort(port)) {
      err = "Error\nInvalid port number";
      return false;
    }
    out.Port = port;
    ++i;
  }
  if (i >= argc) return missing();
  out.ConfigFile = argv[i];
  return true;
}

void showhelp(const char* message) {
  printf("%s\n\n", message);
  puts(" Usage: orv [-d|-i] [-v|-vd] [-p <port>] <cfg_file>");
  puts("  -d        - daemon mode (default)");
  puts("  -i        - interactive mode");
  puts("  -v        - verbose mode");
  puts("  -vd       - verbose debugging mode");
  puts("  -p <port> - overrides TCP port number specified in cfg_file");
  puts("  cfg_file  - obligatory parameter, path to configuration file\n");
  puts(" Examples:");
  puts("  orv -i -v -p 1055 /etc/orv/orv.cfg");
  puts("  orv -d ~/orv/orv.cfg\n");
  exit(1);
}

int daemon_init() {
  fflush(stdout);
  fflush(stderr);
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) {
    close(ready[0]);
    close(ready[1]);
    return -1;
  }
  if (pid > 0) {
    close(ready[1]);
    AwaitDaemon(ready[0], pid);
  }
  close(ready[0]);
  g_ready_fd = ready[1];
  setsid();
  if (!freopen("/dev/null", "r", stdin)) { /* keep going: the agent never reads stdin */ }
  InstallHandler(SIGHUP, reloadcfg);
  return 0;
}

void daemon_ready() {
  if (g_ready_fd < 0) return;
  fflush(stdout);
  fflush(stderr);
  if (!freopen("/dev/null", "w", stdout)) { /* nothing is shown in daemon mode anyway */ }
  if (!freopen("/dev/null", "w", stderr)) { /* likewise */ }
  const char ok = 1;
  if (write(g_ready_fd, &ok, 1) != 1) { /* the parent is gone: nobody waits */ }
  close(g_ready_fd);
  g_ready_fd = -1;
}

// The pid file's path while it is ours; main thread only.
static String g_pid_file;

FILE* createpidfile() {
  String path = ORVSettings.Get()->PidFile;
  // The pid file often lives in a folder others may write to: never through
  // a link, never into a FIFO, device or a file someone else owns or has
  // linked elsewhere, and not emptied before the lock is ours (another
  // agent may hold it).
  UniqueFd fd;
  do {
    fd.reset(open(path.CStr(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                  0644));
  } while (!fd.valid() && errno == EINTR);
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      st.st_uid != geteuid()) {
    showmessage("Failed to create pid file %s\n", LOCAL, msgBad, 1, path.CStr());
    return nullptr;
  }
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd.get(), F_SETLK, &lock) != 0) {
    showmessage("Failed to lock pid file %s\n", LOCAL, msgBad, 1, path.CStr());
    return nullptr;
  }
  FILE* f = nullptr;
  if (ftruncate(fd.get(), 0) != 0 || fchmod(fd.get(), 0644) != 0 ||
      (f = fdopen(fd.get(), "w")) == nullptr) {
    showmessage("Failed to create pid file %s\n", LOCAL, msgBad, 1, path.CStr());
    return nullptr;
  }
  fd.release();
  fprintf(f, "%d\n", static_cast<int>(getpid()));
  fflush(f);
  g_pid_file = path;
  CrashPathSetPidFile(path.CStr());
  return f;
}

void closepidfile(FILE* stream) {
  if (!stream) return;
  fclose(stream);
  CrashPathSetPidFile(nullptr);
  if (g_pid_file.Length() > 0) unlink(g_pid_file.CStr());
  g_pid_file = "";
}

bool Listen(int& fd, socklen_t& addrlen, String& err) {
  fd = -1;
  std::shared_ptr<const TORVSettings> s = ORVSettings.Get();
  String host = s->Host;
  // "SetSettings" stores any number as the port. The socket layer would take
  // 0 as "any free port" and cut larger numbers to 16 bits, leaving the agent
  // on a port nobody knows; such a number cannot be opened, and retrying
  // does not change that.
  if (!IsValidPort(s->Port)) {
    err = "Invalid port number";
    return false;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    int handle = TcpListen(host.Length() ? host.CStr() : nullptr, s->Port, addrlen, err);
    if (handle > 0) {
      fd = handle;
      return true;
    }
    if (attempt < 2) sleep(1);
  }
  return false;
}

int AgentMain(int argc, char** argv, char** envp) {
  KeepLargeBuffersApart();
  // Before anything else opens descriptors: the table of requests seen by
  // the image that re-executed this one.
  ReplayGuard().Adopt();
  CrashPathPrepare(argv, envp);
  PrintBanner();

  printf("Command line checking .. ");
  TAgentOptions cl;
  String problem;
  if (!ParseCommandLine(argc, argv, cl, problem)) showhelp(problem.CStr());

  TORVSettings settings;
  settings.Interactive = cl.Interactive;
  settings.Verbose = cl.Verbose;
  settings.Debug = cl.Debug;
  settings.Port = cl.Port;
  settings.SetConfigFile(cl.ConfigFile.CStr());

  printf("Ok\nSettings checking .. ");
  String err;
  if (!settings.LoadOptions_(err)) {
    printf("Error\n%s\nPlease check '%s' file\n\n", err.CStr(), settings.ConfigFile);
    exit(1);
  }
  if (err.Length() == 0)
    puts("Ok");
  else
    printf("Warning: %s\n", err.CStr());
  ORVSettings.Publish(settings);
  // Refused now, on the console: later the agent would only fail to make
  // its temporary files, one request at a time.
  if (!CheckTempFolder(ConfiguredTempFolder(), err)) {
    printf("Error\n%s\nPlease check '%s' file\n\n", err.CStr(), settings.ConfigFile);
    exit(1);
  }
  fflush(stdout);

  if (!RunSelfChecks(settings.Debug)) exit(3);

  printf("Sock testing .. ");
  fflush(stdout);
  TListener listener;
  if (!OpenListener(listener, err)) {
    printf("TCP listen error:\n%s\n\n", err.CStr());
    exit(4);
  }
  puts("Ok");
  listener.Close();

  if (!settings.Interactive && daemon_init() < 0) {
    fprintf(stderr, "Error initializing daemon: %s\n", GetErrorStr(errno).CStr());
    exit(2);
  }
  // Made by the process that serves (not by the parent of a daemon, whose
  // exit would remove it), and handed on to every re-executed instance.
  if (!StartPrivateTmp(err)) {
    showmessage("Error: %s\n", LOCAL, msgBad, 1, err.CStr());
    exit(1);
  }
  envp = PrivateTmpExecEnv(envp);
  CrashPathPrepare(argv, envp);
  InstallCrashHandler();
  signal(SIGPIPE, SIG_IGN);

  if (!OpenListener(listener, err)) {
    printf("TCP listen error: %s\n\n", err.CStr());
    exit(4);
  }
  listener.port = ORVSettings.Get()->Port;
  if (!settings.Interactive && settings.PidFile.Length() > 0) g_pidfile = createpidfile();
  daemon_ready();
  showmessage("Listening...\n", LOCAL, msgInfo);

  AcceptOn(listener.fd);
  InstallHandler(SIGTERM, stopagent);
  InstallHandler(SIGINT, stopagent);
  RunMainLoop(listener, argv, envp);
  return 4;  // a fatal accept error, already reported
}
