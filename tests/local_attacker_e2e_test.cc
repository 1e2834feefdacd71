// A local user against the real agent: an unprivileged process (uid 65534)
// watches the shared temporary folder with inotify and plants symbolic links
// to a root-owned canary, or FIFOs that carry a forged answer, at every name
// the agent uses or is about to use there, while the agent answers the tests
// that use temporary files. The canary must stay untouched and every answer
// must be the true one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/bytestring.h"
#include "protocol/value_codec.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;

constexpr uid_t kNobody = 65534;
const char kCanaryText[] = "root's secret, never to be written\n";
const char kForged[] = "999\n";

enum class TPlant { kSymlink, kFifo };

// Plants at name in dir: a link to the canary, or a FIFO that already holds
// a forged answer (kept open for reading and writing, so that the agent's
// opens of it neither block nor see an end).
void Plant(const std::string& dir, const std::string& name, TPlant kind, const std::string& canary,
           std::vector<int>& held) {
  const std::string path = dir + "/" + name;
  if (kind == TPlant::kSymlink) {
    symlink(canary.c_str(), path.c_str());
    return;
  }
  if (mkfifo(path.c_str(), 0666) != 0) return;
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) return;
  if (write(fd, kForged, sizeof kForged - 1) < 0) {
    close(fd);
    return;
  }
  held.push_back(fd);
  if (held.size() > 200) {
    close(held.front());
    held.erase(held.begin());
  }
}

// The next names a creator of name would use: "tmp-<thread>-<n>" is followed
// by "tmp-<thread>-<n+1>".
std::vector<std::string> Predicted(const std::string& name) {
  std::vector<std::string> next;
  size_t dash = name.rfind('-');
  if (name.rfind("tmp-", 0) == 0 && dash != std::string::npos && dash > 4) {
    int n = atoi(name.c_str() + dash + 1);
    for (int i = 1; i <= 2; ++i) next.push_back(name.substr(0, dash + 1) + std::to_string(n + i));
  }
  return next;
}

// The attacker's life, as uid/gid 65534 with no supplementary groups. Every
// name seen created or removed in dir gets a plant, and so do the names that
// follow from it; ends when its parent goes.
[[noreturn]] void Attack(const std::string& dir, TPlant kind, const std::string& canary) {
  if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
      setresuid(kNobody, kNobody, kNobody) != 0) {
    _exit(2);
  }
  const pid_t parent = getppid();
  int in = inotify_init1(IN_CLOEXEC);
  if (in < 0 || inotify_add_watch(in, dir.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_FROM) < 0) {
    _exit(3);
  }
  int ready = open((dir + "/attacker-ready").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (ready < 0) _exit(4);
  close(ready);
  std::vector<int> held;
  alignas(struct inotify_event) char buf[64 * 1024];
  while (getppid() == parent) {
    struct pollfd p = {in, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    ssize_t n = read(in, buf, sizeof buf);
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const struct inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof *e + e->len);
      if (e->len == 0) continue;
      std::string name = e->name;
      if (name == "attacker-ready") continue;
      if (e->mask & (IN_DELETE | IN_MOVED_FROM)) Plant(dir, name, kind, canary, held);
      if (e->mask & IN_CREATE) {
        for (const std::string& next : Predicted(name)) Plant(dir, next, kind, canary, held);
      }
    }
  }
  _exit(0);
}

// Runs the attacker for one kind of plant; stopped and reaped by pid.
class Attacker {
 public:
  Attacker(const std::string& dir, TPlant kind, const std::string& canary) : dir_(dir) {
    pid_ = fork();
    if (pid_ == 0) Attack(dir, kind, canary);
  }
  ~Attacker() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // True once it runs as the unprivileged user and watches the folder.
  bool Ready() const {
    const std::string mark = dir_ + "/attacker-ready";
    struct stat st;
    return testutil::Eventually([&] { return lstat(mark.c_str(), &st) == 0; }, 5000) &&
           st.st_uid == kNobody;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

std::string Encode(const std::string& text) {
  return orvEncodeStrings(String(text.c_str())).ToStd();
}

TEST(LocalAttackerTest, PlantedLinksAndFifosChangeNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  testutil::TempDir holder;
  chmod(holder.path().c_str(), 0755);  // the attacker must reach the shared folder
  const std::string shared = holder.File("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  const std::string canary = holder.File("canary");
  testutil::WriteFile(canary, kCanaryText);
  ASSERT_EQ(chmod(canary.c_str(), 0600), 0);
  testutil::WriteScript(holder.File("pc.sh"), "echo 7\n");
  testutil::WriteScript(holder.File("cpu.sh"), "echo 12.5\n");
  testutil::WriteScript(holder.File("pl.sh"), "printf 'a\\nb\\n'\n");

  // A pause before each shell script widens the gap the old agent left
  // between choosing the output name and the child opening it.
  AgentProcess agent("tmpdir=" + shared + "\r\nexternal=1\r\nshellscript=1\r\n" +
                     "delayforscripts=200000\r\nprocess=1\r\ncpuusage=1\r\n" +
                     "proccntscript=" + holder.File("pc.sh") + "\r\n" +
                     "cpuusagescript=" + holder.File("cpu.sh") + "\r\n" +
                     "proclistscript=" + holder.File("pl.sh") + "\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();

  struct Request {
    std::vector<std::string> request;
    std::string reply;
  } const requests[] = {
      {{"TEST-Process", "", "x"}, "200\n7\n"},
      {{"TEST-CPU"}, "200\n12.5000\n"},
      {{"GetProcessesList"}, "200\na%0D%0Ab%0D%0A\n"},
      {{"TEST-ShellScript", "%script%", Encode("#!/bin/sh\necho scriptres:ok\n"), "", "5", "1"},
       "200\nscriptres:ok\nscriptres:ok%0D%0A\n"},
      {{"TEST-ExternalPrg", "/bin/true", "", "0", "5000"}, "200\n0\n"},
      {{"TEST-ExternalPrg", "/nonexistent/prog", "", "0", "5000"},
       "301\nexec error: No such file or directory\n"},
  };
  const struct {
    const char* name;
    TPlant kind;
  } attacks[] = {{"symbolic links to the canary", TPlant::kSymlink},
                 {"FIFOs holding a forged answer", TPlant::kFifo}};
  for (const auto& attack : attacks) {
    unlink((shared + "/attacker-ready").c_str());
    Attacker attacker(shared, attack.kind, canary);
    ASSERT_TRUE(attacker.Ready()) << attack.name;
    for (int round = 0; round < 3; ++round) {
      for (const Request& r : requests) {
        EXPECT_EQ(agent.Query(r.request).out, r.reply) << attack.name << ": " << r.request[0];
      }
    }
    EXPECT_EQ(testutil::ReadFile(canary), kCanaryText) << attack.name;
  }
}

// The agent's folder: refused in an unsafe place, kept across a re-execution
// without its name reaching any child, removed when the agent stops.
TEST(LocalAttackerTest, PrivateFolderLifecycle) {
  testutil::TempDir holder;
  const std::string open_folder = holder.File("open");
  ASSERT_EQ(mkdir(open_folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open_folder.c_str(), 0777), 0);
  AgentProcess refused("tmpdir=" + open_folder + "\r\n");
  EXPECT_FALSE(refused.Start());
  EXPECT_NE(refused.console().find("is writable by other users and not sticky"), std::string::npos)
      << refused.console();

  AgentProcess agent("shellscript=1\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string folder = testutil::PrivateTmpIn(agent.dir().path());
  ASSERT_FALSE(folder.empty());
  struct stat st;
  ASSERT_EQ(lstat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  EXPECT_EQ(agent.Query({"ReloadApp"}).out, "200\nOk\n");
  ASSERT_TRUE(testutil::PortAnswers(agent.port(), 10000));
  const std::vector<std::string> script = {
      "TEST-ShellScript", "%script%",
      Encode("#!/bin/sh\necho scriptres:$TMPDIR:$(env | grep -c ORV_PRIVATE_TMP)\n"), "", "5",
      "0"};
  std::string reply;
  for (int i = 0; i < 50 && reply.rfind("200", 0) != 0; ++i) {
    reply = agent.Query(script).out;  // the port may answer before the new image serves
  }
  EXPECT_EQ(reply, "200\nscriptres:" + agent.dir().path() + ":0\n\n");
  EXPECT_EQ(testutil::PrivateTmpIn(agent.dir().path()), folder);

  EXPECT_EQ(agent.Query({"QUIT"}).out, "200\nOk\n");
  EXPECT_EQ(agent.WaitExit(5000), 0);
  EXPECT_EQ(lstat(folder.c_str(), &st), -1);

  // A service manager's stop cleans up too, and still ends by its signal.
  AgentProcess stopped("");
  ASSERT_TRUE(stopped.Start()) << stopped.console();
  const std::string stopped_folder = testutil::PrivateTmpIn(stopped.dir().path());
  ASSERT_FALSE(stopped_folder.empty());
  ASSERT_EQ(kill(stopped.pid(), SIGTERM), 0);
  EXPECT_EQ(stopped.WaitExit(5000), 128 + SIGTERM);
  EXPECT_EQ(lstat(stopped_folder.c_str(), &st), -1);
}

}  // namespace
