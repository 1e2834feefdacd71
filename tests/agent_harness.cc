#include "tests/agent_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

namespace testutil {

namespace {

using Clock = std::chrono::steady_clock;

int WaitPid(pid_t pid, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -2;
    if (Clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
            const std::string& cwd = "") {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int n = open("/dev/null", O_RDONLY);
  if (o < 0 || e < 0 || n < 0) _exit(127);
  dup2(n, 0);
  dup2(o, 1);
  dup2(e, 2);
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

// The descriptor links ("socket:[inode]") of the sockets listening on TCP
// port.
std::vector<std::string> Listeners(int port) {
  char want[8];
  snprintf(want, sizeof want, ":%04X", port);
  std::vector<std::string> links;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream rows(ReadFile(table));
    std::string row;
    while (std::getline(rows, row)) {
      std::istringstream f(row);
      std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
      f >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
      if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0)
        links.push_back("socket:[" + inode + "]");
    }
  }
  return links;
}

bool Holds(pid_t pid, const std::vector<std::string>& links) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  UniqueDir d(opendir(fds.c_str()));
  while (d && !links.empty()) {
    struct dirent* e = readdir(d.get());
    if (!e) break;
    char link[64];
    ssize_t n = readlink((fds + "/" + e->d_name).c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    link[n] = 0;
    for (const std::string& l : links) {
      if (l == link) return true;
    }
  }
  return false;
}

}  // namespace

bool ListensOn(pid_t pid, int port) { return Holds(pid, Listeners(port)); }

pid_t PidListeningOn(int port) {
  const std::vector<std::string> links = Listeners(port);
  UniqueDir proc(opendir("/proc"));
  while (proc && !links.empty()) {
    struct dirent* e = readdir(proc.get());
    if (!e) break;
    pid_t pid = static_cast<pid_t>(atoi(e->d_name));
    if (pid > 0 && Holds(pid, links)) return pid;
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

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool PortAnswers(int port, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string PrivateTmpIn(const std::string& folder) {
  std::string found;
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return found;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() == 10 && name.compare(0, 4, "orv-") == 0) found = folder + "/" + name;
  }
  closedir(d);
  return found;
}

AgentProcess::AgentProcess(const std::string& config_extra, const std::vector<std::string>& flags)
    : flags_(flags) {
  port_ = FreePort();
  std::string cfg;
  cfg += "# generated for an end-to-end test\r\n";
  cfg += std::string("orvpath=") + ORV_AGENT_BIN + "\r\n";
  cfg += "port=" + std::to_string(port_) + "\r\n";
  cfg += std::string("password=") + kPassword + "\r\n";
  cfg += "tmpdir=" + dir_.path() + "\r\n";
  cfg += "logsuccess=1\r\nlogfails=1\r\nverboselogfile=verbose.log\r\n";
  cfg += std::string("proccntscript=") + ORV_SOURCE_DIR + "/scripts/orv-proccount.sh\r\n";
  cfg += std::string("cpuusagescript=") + ORV_SOURCE_DIR + "/scripts/orv-cpuusage.sh\r\n";
  cfg += std::string("proclistscript=") + ORV_SOURCE_DIR + "/scripts/orv-proclist.sh\r\n";
  cfg += config_extra;
  WriteFile(config_path(), cfg);
}

AgentProcess::~AgentProcess() { Stop(); }

bool AgentProcess::Start(int timeout_ms) {
  std::vector<std::string> argv = {ORV_AGENT_BIN};
  argv.insert(argv.end(), flags_.begin(), flags_.end());
  argv.push_back(config_path());
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  // The free port may be taken by someone else (another test's client, say)
  // before the agent binds it; the agent then exits with 4 and gets another.
  for (int attempt = 0; attempt < 3; ++attempt) {
    pid_ = Spawn(argv, dir_.File("console.out"), dir_.File("console.err"), dir_.path());
    while (Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 4) return false;
        break;
      }
      if (PortAnswers(port_, 50) && ListensOn(pid_, port_)) return true;
    }
    if (pid_ > 0) return false;
    std::string cfg = ReadFile(config_path());
    const std::string line = "\r\nport=" + std::to_string(port_) + "\r\n";
    size_t at = cfg.find(line);
    if (at == std::string::npos) return false;
    port_ = FreePort();
    cfg.replace(at, line.size(), "\r\nport=" + std::to_string(port_) + "\r\n");
    WriteFile(config_path(), cfg);
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

std::string AgentProcess::console() const { return ReadFile(dir_.File("console.out")); }

}  // namespace testutil
