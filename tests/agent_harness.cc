#include "tests/agent_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace testutil {

namespace {

int WaitPid(pid_t pid, int timeout_ms) {
  int status = 0;
  if (!Eventually([&] { return waitpid(pid, &status, WNOHANG) != 0; }, timeout_ms)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Kill(pid_t pid) {
  kill(pid, SIGTERM);
  if (WaitPid(pid, 3000) == -1) kill(pid, SIGKILL), WaitPid(pid, 3000);
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
  std::vector<std::string> links;  // "socket:[inode]" of the listening sockets
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream rows(ReadFile(table));
    unsigned local = 0, state = 0;
    unsigned long inode = 0;
    for (std::string row; std::getline(rows, row);) {
      if (sscanf(row.c_str(), "%*s %*[^:]:%x %*s %x %*s %*s %*s %*s %*s %lu", &local, &state,
                 &inode) == 3 &&
          state == 0x0A && local == static_cast<unsigned>(port))
        links.push_back("socket:[" + std::to_string(inode) + "]");
    }
  }
  auto holds = [&](const std::string& pid) {
    const std::string fds = "/proc/" + pid + "/fd";
    UniqueDir d(links.empty() ? nullptr : opendir(fds.c_str()));
    while (struct dirent* e = d ? readdir(d.get()) : nullptr) {
      char link[64];
      ssize_t n = readlink((fds + "/" + e->d_name).c_str(), link, sizeof link);
      if (n > 0 && std::count(links.begin(), links.end(), std::string(link, n))) return true;
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
  if ((r.status = WaitPid(pid, timeout_ms)) == -1) Kill(pid);
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
                "\r\nlogsuccess=1\r\nlogfails=1\r\nverboselogfile=verbose.log"
                "\r\nproccntscript=" +
                scripts + "proccount.sh\r\ncpuusagescript=" + scripts +
                "cpuusage.sh\r\nproclistscript=" + scripts + "proclist.sh\r\n" + config_extra);
}

bool AgentProcess::Start(int timeout_ms) {
  std::vector<std::string> argv = {ORV_AGENT_BIN};
  argv.insert(argv.end(), flags_.begin(), flags_.end());
  argv.push_back(config_path());
  const auto deadline = ProbeClock::now() + std::chrono::milliseconds(timeout_ms);
  // Someone else may take the free port before the agent binds it; the
  // agent then exits with 4 and gets another.
  for (int attempt = 0; attempt < 3; ++attempt) {
    pid_ = Spawn(argv, dir_.File("console.out"), dir_.File("console.err"), dir_.path());
    for (int status; ProbeClock::now() < deadline;) {
      if ((status = WaitPid(pid_, 0)) != -1) {
        pid_ = -1;
        if (status != 4) return false;
        break;
      }
      if (PortAnswers(port_, 50) && PidListeningOn(port_, pid_) == pid_) return true;
    }
    std::string cfg = ReadFile(config_path());
    const std::string line = "\r\nport=" + std::to_string(port_) + "\r\n";
    const size_t at = cfg.find(line);
    if (pid_ > 0 || at == std::string::npos) return false;
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
  if (pid_ > 0) Kill(pid_);
  pid_ = -1;
}

OrvqResult AgentProcess::Query(const std::vector<std::string>& command_and_params,
                               const std::string& password) {
  std::vector<std::string> args = {"-p", std::to_string(port_), "-P", password, "-t", "15000"};
  args.insert(args.end(), command_and_params.begin(), command_and_params.end());
  return RunOrvq(args);
}

RawConn::RawConn(int port, const char* from, int rcvbuf)
    : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  struct sockaddr_in src = LoopbackAddr(0), dst = LoopbackAddr(port);
  if (rcvbuf > 0) setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  struct timeval tv = {5, 0};  // a send into a full buffer must not hang the test
  setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if ((from && (inet_pton(AF_INET, from, &src.sin_addr) != 1 ||
                bind(fd_.get(), reinterpret_cast<sockaddr*>(&src), sizeof src) != 0)) ||
      connect(fd_.get(), reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0)
    fd_.reset();
}

int RawConn::Read(size_t n, int timeout_ms, std::string* got) {
  const auto deadline = ProbeClock::now() + std::chrono::milliseconds(timeout_ms);
  while (got->size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ProbeClock::now());
    struct pollfd p = {fd_.get(), POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return -1;
    char buf[4096];
    ssize_t k = recv(fd_.get(), buf, std::min(sizeof buf, n - got->size()), 0);
    if (k <= 0) return 0;
    got->append(buf, static_cast<size_t>(k));
  }
  return 1;
}

std::string RequestPacket(const std::string& password, const std::string& key,
                          const std::string& text) {
  if (!Twofish_initialised) Twofish_initialise();
  String t;
  t.CopyData(text.data(), static_cast<int>(text.size()));
  return BuildRequestPacket(String(password.c_str()), String(key.c_str()), t).ToStd();
}

std::string ReplyText(const std::string& bytes, const std::string& key) {
  if (bytes.size() < 4 || bytes.size() != 4 + static_cast<uint32_t>(DecodeLength(bytes.data(), 4)))
    return "";
  String data;
  data.CopyData(bytes.data() + 4, static_cast<int>(bytes.size() - 4));
  return DecodeData(data, String(key.c_str())).ToStd();
}

std::string ReadReplyText(RawConn& conn, const std::string& key, int timeout_ms) {
  std::string got;
  if (conn.Read(4, timeout_ms, &got) != 1) return "";
  const size_t n = 4 + static_cast<uint32_t>(DecodeLength(got.data(), 4));
  return conn.Read(n, timeout_ms, &got) == 1 ? ReplyText(got.substr(0, n), key) : "";
}

std::unique_ptr<RawConn> BeginUpgrade(int port, const std::string& password, const std::string& key,
                                      const std::string& length, std::string* first, int retry_ms) {
  const std::string packet = RequestPacket(password, key, "UpgradeCode\n" + length + "\n\r");
  const auto deadline = ProbeClock::now() + std::chrono::milliseconds(retry_ms);
  for (;;) {
    auto conn = std::make_unique<RawConn>(port);
    *first = conn->ok() && conn->Send(packet) ? ReadReplyText(*conn, key) : "";
    if (*first != "302\n\r" || ProbeClock::now() > deadline) return conn;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

ProcUsage UsageOf(pid_t pid) {
  ProcUsage u;
  std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    const char* v = line.c_str() + line.find(':') + 1;
    if (line.compare(0, 6, "VmRSS:") == 0) u.rss_kib = strtol(v, nullptr, 10);
    if (line.compare(0, 8, "Threads:") == 0) u.threads = atoi(v);
    if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0) u.wakeups = strtol(v, nullptr, 10);
  }
  UniqueDir d(opendir(("/proc/" + std::to_string(pid) + "/fd").c_str()));
  if (d) u.fds = 0;
  while (struct dirent* e = d ? readdir(d.get()) : nullptr) u.fds += e->d_name[0] != '.';
  return u;
}

bool WaitQuiet(int port, const std::string& password, pid_t pid, int want_fds, int want_threads,
               int timeout_ms, std::string* info, int* asks) {
  return Eventually(
      [&] {
        std::string reply = Ask(port, password, "GetInfo\n\r");
        if (info) *info = reply;
        if (asks) ++*asks;
        // The session that answered ends a moment after its reply (longer
        // on a loaded or sanitized agent).
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ProcUsage u = UsageOf(pid);
        return ReplyNumber(reply, "ActiveConnections") == 1 &&
               (want_fds < 0 || u.fds == want_fds) &&
               (want_threads < 0 || u.threads == want_threads);
      },
      timeout_ms);
}

}  // namespace testutil
