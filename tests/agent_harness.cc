#include "tests/agent_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace testutil {

namespace {

// The exit status of pid (128 + the signal when one ended it), -1 on
// time-out.
int WaitPid(pid_t pid, int timeout_ms) {
  int status = 0;
  if (!Eventually([&] { return waitpid(pid, &status, WNOHANG) != 0; }, timeout_ms)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
            const std::string& cwd = "") {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int n = open("/dev/null", O_RDONLY);
  if (o < 0 || e < 0 || n < 0 || dup2(n, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 ||
      (!cwd.empty() && chdir(cwd.c_str()) != 0))
    _exit(127);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

}  // namespace

pid_t PidListeningOn(int port, pid_t among) {
  // The descriptor links ("socket:[inode]") of the sockets listening on port.
  char want[8];
  snprintf(want, sizeof want, ":%04X", port);
  std::vector<std::string> links;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream rows(ReadFile(table));
    for (std::string row; std::getline(rows, row);) {
      std::istringstream f(row);
      std::string slot, local, remote, state, skip, inode;
      f >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >> inode;
      if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0)
        links.push_back("socket:[" + inode + "]");
    }
  }
  auto holds = [&](const std::string& pid) {
    const std::string fds = "/proc/" + pid + "/fd";
    UniqueDir d(links.empty() ? nullptr : opendir(fds.c_str()));
    while (struct dirent* e = d ? readdir(d.get()) : nullptr) {
      char link[64];
      ssize_t n = readlink((fds + "/" + e->d_name).c_str(), link, sizeof link);
      if (n > 0 && std::find(links.begin(), links.end(), std::string(link, n)) != links.end())
        return true;
    }
    return false;
  };
  if (among > 0) return holds(std::to_string(among)) ? among : 0;
  UniqueDir proc(opendir("/proc"));
  while (struct dirent* p = proc ? readdir(proc.get()) : nullptr) {
    if (atoi(p->d_name) > 0 && holds(p->d_name)) return static_cast<pid_t>(atoi(p->d_name));
  }
  return 0;
}

OrvqResult RunOrvq(const std::vector<std::string>& args, int timeout_ms) {
  TempDir tmp;
  std::vector<std::string> argv = {ORVQ_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = Spawn(argv, tmp.File("out"), tmp.File("err"));
  OrvqResult r;
  r.status = WaitPid(pid, timeout_ms);
  if (r.status == -1) {
    kill(pid, SIGKILL);
    WaitPid(pid, 5000);
  }
  r.out = ReadFile(tmp.File("out"));
  r.err = ReadFile(tmp.File("err"));
  return r;
}

std::string PrivateTmpIn(const std::string& folder) {
  UniqueDir d(opendir(folder.c_str()));
  while (struct dirent* e = d ? readdir(d.get()) : nullptr) {
    const std::string name = e->d_name;
    if (name.size() == 10 && name.compare(0, 4, "orv-") == 0) return folder + "/" + name;
  }
  return "";
}

AgentProcess::AgentProcess(const std::string& config_extra, const std::vector<std::string>& flags)
    : port_(ClosedPort(SOCK_STREAM)), flags_(flags) {
  const std::string scripts = std::string(ORV_SOURCE_DIR) + "/scripts/orv-";
  WriteFile(config_path(),
            "# generated for an end-to-end test\r\norvpath=" ORV_AGENT_BIN "\r\nport=" +
                std::to_string(port_) + "\r\npassword=" + kPassword + "\r\ntmpdir=" + dir_.path() +
                "\r\nlogsuccess=1\r\nlogfails=1\r\nverboselogfile=verbose.log\r\n"
                "proccntscript=" +
                scripts +
                "proccount.sh\r\n"
                "cpuusagescript=" +
                scripts +
                "cpuusage.sh\r\n"
                "proclistscript=" +
                scripts + "proclist.sh\r\n" + config_extra);
}

bool AgentProcess::Start(int timeout_ms) {
  std::vector<std::string> argv = {ORV_AGENT_BIN};
  argv.insert(argv.end(), flags_.begin(), flags_.end());
  argv.push_back(config_path());
  const auto deadline = ProbeClock::now() + std::chrono::milliseconds(timeout_ms);
  // The free port may be taken by someone else (another test's client, say)
  // before the agent binds it; the agent then exits with 4 and gets another.
  for (int attempt = 0; attempt < 3; ++attempt) {
    pid_ = Spawn(argv, dir_.File("console.out"), dir_.File("console.err"), dir_.path());
    while (ProbeClock::now() < deadline) {
      int status = WaitPid(pid_, 0);
      if (status != -1) {
        pid_ = -1;
        if (status != 4) return false;
        break;
      }
      if (PortAnswers(port_, 50) && ListensOn(pid_, port_)) return true;
    }
    if (pid_ > 0) return false;
    std::string cfg = ReadFile(config_path());
    const std::string line = "\r\nport=" + std::to_string(port_) + "\r\n";
    const size_t at = cfg.find(line);
    if (at == std::string::npos) return false;
    port_ = ClosedPort(SOCK_STREAM);
    WriteFile(config_path(),
              cfg.replace(at, line.size(), "\r\nport=" + std::to_string(port_) + "\r\n"));
  }
  return false;
}

int AgentProcess::WaitExit(int timeout_ms) {
  if (pid_ <= 0) return -2;
  int r = WaitPid(pid_, timeout_ms);
  if (r != -1) pid_ = -1;
  return r;
}

void AgentProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (WaitPid(pid_, 3000) == -1) {
    kill(pid_, SIGKILL);
    WaitPid(pid_, 3000);
  }
  pid_ = -1;
}

OrvqResult AgentProcess::Query(const std::vector<std::string>& command_and_params,
                               const std::string& password) {
  std::vector<std::string> args = {"-p", std::to_string(port_), "-P", password, "-t", "15000"};
  args.insert(args.end(), command_and_params.begin(), command_and_params.end());
  return RunOrvq(args);
}

ProcUsage UsageOf(pid_t pid) {
  ProcUsage u;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    const char* v = line.c_str() + line.find(':') + 1;
    if (line.compare(0, 6, "VmRSS:") == 0) u.rss_kib = std::strtol(v, nullptr, 10);
    if (line.compare(0, 8, "Threads:") == 0) u.threads = std::atoi(v);
    if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
      u.wakeups = std::strtol(v, nullptr, 10);
  }
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  UniqueDir d(opendir(fds.c_str()));
  if (d) u.fds = 0;
  while (struct dirent* e = d ? readdir(d.get()) : nullptr) u.fds += e->d_name[0] != '.';
  return u;
}

bool WaitQuiet(int port, const std::string& password, pid_t pid, int want_fds, int want_threads,
               int timeout_ms, std::string* info) {
  return Eventually(
      [&] {
        std::string reply = Ask(port, password, "GetInfo\n\r");
        if (info) *info = reply;
        // The session that answered ends right after its reply, and a loaded
        // (or sanitized) agent takes a while for that: give it a moment.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ProcUsage u = UsageOf(pid);
        return ReplyNumber(reply, "ActiveConnections") == 1 &&
               (want_fds < 0 || u.fds == want_fds) &&
               (want_threads < 0 || u.threads == want_threads);
      },
      timeout_ms);
}

}  // namespace testutil
