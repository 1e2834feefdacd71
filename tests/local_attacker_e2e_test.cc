// A local user against the real agent: what it plants in a shared
// temporary folder, a monitored folder or the pid file's folder is answered
// or refused cleanly, and nothing it points at is written.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::ReadFile;

constexpr uid_t kNobody = 65534;
const char kCanaryText[] = "root's secret, never to be written\n";

// At path a link to the canary, or a FIFO holding a forged answer, left
// open so that the agent's opens neither block nor see an end.
void Plant(const std::string& path, bool fifo, const std::string& canary) {
  if (!fifo) symlink(canary.c_str(), path.c_str());
  int fd = fifo && mkfifo(path.c_str(), 0666) == 0 ? open(path.c_str(), O_RDWR | O_NONBLOCK) : -1;
  if (fd >= 0 && write(fd, "999\n", 4) < 0) close(fd);
}

// The attacker's life, as uid/gid 65534: every name seen removed in dir
// gets a plant, and so do the next two of a numbered series seen created
// ("tmp-7", then "tmp-8"); ends when its parent goes.
[[noreturn]] void Attack(const std::string& dir, bool fifo, const std::string& canary) {
  const pid_t parent = getppid();
  int in = inotify_init1(IN_CLOEXEC);
  if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
      setresuid(kNobody, kNobody, kNobody) != 0 || in < 0 ||
      inotify_add_watch(in, dir.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_FROM) < 0)
    _exit(2);
  close(open((dir + "/attacker-ready").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
  alignas(struct inotify_event) char buf[64 * 1024];
  while (getppid() == parent) {
    struct pollfd p = {in, POLLIN, 0};
    ssize_t n = poll(&p, 1, 200) > 0 ? read(in, buf, sizeof buf) : 0;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const struct inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof *e + e->len);
      const std::string name = e->len ? e->name : "attacker-ready";
      if (name == "attacker-ready") continue;
      if (e->mask & (IN_DELETE | IN_MOVED_FROM)) Plant(dir + "/" + name, fifo, canary);
      const size_t digits = name.find_last_not_of("0123456789") + 1;
      for (int i = 1; i <= 2 && (e->mask & IN_CREATE) && digits < name.size(); ++i) {
        Plant(dir + "/" + name.substr(0, digits) + std::to_string(std::atoi(&name[digits]) + i),
              fifo, canary);
      }
    }
  }
  _exit(0);
}

// Links to a root-owned canary or FIFOs at every name the agent uses or is
// about to use in the shared folder: the canary stays untouched and every
// answer is the true one.
TEST(LocalAttackerTest, PlantedLinksAndFifosChangeNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  testutil::TempDir holder;
  chmod(holder.path().c_str(), 0755);  // the attacker must reach the shared folder
  const std::string shared = holder.File("shared"), canary = holder.File("canary");
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  testutil::WriteFile(canary, kCanaryText);
  ASSERT_EQ(chmod(canary.c_str(), 0600), 0);
  const std::string script = holder.File("s.sh");
  testutil::WriteScript(script, "echo 7\n");
  // A pause before each script widens the gap an agent opening its files by
  // name would leave between choosing a name and the child opening it.
  AgentProcess agent("tmpdir=" + shared + "\r\nexternal=1\r\nshellscript=1\r\nprocess=1\r\n" +
                     "cpuusage=1\r\ndelayforscripts=200000\r\nproccntscript=" + script +
                     "\r\ncpuusagescript=" + script + "\r\nproclistscript=" + script + "\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  const struct {
    std::vector<std::string> request;
    std::string reply;
  } requests[] = {
      {{"TEST-Process", "", "x"}, "200\n7\n"},
      {{"TEST-CPU"}, "200\n7.0000\n"},
      {{"GetProcessesList"}, "200\n7%0D%0A\n"},
      {{"TEST-ShellScript", "%script%", testutil::Encoded("#!/bin/sh\necho scriptres:ok\n"), "",
        "5", "1"},
       "200\nscriptres:ok\nscriptres:ok%0D%0A\n"},
      {{"TEST-ExternalPrg", "/bin/true", "", "0", "5000"}, "200\n0\n"},
      {{"TEST-ExternalPrg", "/nonexistent/prog", "", "0", "5000"},
       "301\nexec error: No such file or directory\n"},
  };
  for (bool fifo : {false, true}) {
    unlink((shared + "/attacker-ready").c_str());
    const pid_t attacker = fork();
    if (attacker == 0) Attack(shared, fifo, canary);
    struct stat st = {};
    EXPECT_TRUE(testutil::Eventually(
        [&] { return lstat((shared + "/attacker-ready").c_str(), &st) == 0; }, 10000));
    EXPECT_EQ(st.st_uid, kNobody);
    for (int round = 0; round < 3; ++round) {
      for (const auto& r : requests)
        EXPECT_EQ(agent.Query(r.request).out, r.reply) << fifo << ": " << r.request[0];
    }
    kill(attacker, SIGKILL);
    waitpid(attacker, nullptr, 0);
    EXPECT_EQ(ReadFile(canary), kCanaryText) << fifo;
  }
}

// A chain of depth folders "d" in root, a 10-byte file "f" at the bottom;
// depth 0 removes it. Relative to descriptors: its paths pass PATH_MAX.
bool Chain(const std::string& root, int depth) {
  UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int made = 0;
  for (; fd.valid() && (made < depth || depth == 0); ++made) {
    if (depth > 0) mkdirat(fd.get(), "d", 0755);
    UniqueFd next(openat(fd.get(), "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) break;
    fd = std::move(next);
  }
  if (depth > 0) {
    UniqueFd f(openat(fd.get(), "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    return f.valid() && write(f.get(), "0123456789", 10) == 10;
  }
  for (unlinkat(fd.get(), "f", 0); fd.valid() && made-- > 0;) {
    fd.reset(openat(fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    unlinkat(fd.get(), "d", AT_REMOVEDIR);
  }
  return true;
}

// A walk answers with the true figures for a tree deeper than a recursing
// walk's stack allowed, and refuses one deeper than any path can name. A
// FIFO or a device is not read. A link or FIFO planted at the pid file's
// name is neither followed nor waited on. An agent refuses a temporary
// folder anyone may write in without the sticky bit.
TEST(LocalAttackerTest, PlantedTreesFifosAndPidFilesAreRefused) {
  testutil::TempDir tmp;
  // In memory: 100,000 folders on a busy disk take minutes.
  std::string root = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp.path()) + "/orv-deep-XXXXXX";
  ASSERT_NE(mkdtemp(&root[0]), nullptr);
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  const struct {
    int depth;
    const char* size;   // "TEST-FolderSize" with subfolders
    const char* count;  // "TEST-CountFiles" of every file with subfolders
  } trees[] = {
      {1500, "200\n    10\n", "200\n1\n"},
      {100000, "301\nFolder/File doesn`t exist or access denied\n",
       "301\nFolder doesn`t exist or access denied\n"},
  };
  for (const auto& t : trees) {
    ASSERT_TRUE(Chain(root, t.depth));
    EXPECT_EQ(agent.Query({"TEST-FolderSize", root, "1"}).out, t.size) << t.depth;
    EXPECT_EQ(agent.Query({"TEST-CountFiles", root, "*", "1", "0", "0"}).out, t.count) << t.depth;
    agent.Query({"GetFilesList", root, "*", "1", "1", "1", "1"});  // the next queries see it live
    Chain(root, 0);
  }
  rmdir(root.c_str());
  const std::string fifo = agent.dir().File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& file : {fifo, std::string("/dev/zero")})
    EXPECT_EQ(agent.Query({"TEST-FileCRC", file}).out, "301\nCannot open file\n") << file;

  const std::string victim = tmp.File("victim"), pid_path = tmp.File("orv.pid");
  testutil::WriteFile(victim, "precious\n");
  for (bool link : {true, false}) {
    unlink(pid_path.c_str());
    ASSERT_EQ(link ? symlink(victim.c_str(), pid_path.c_str()) : mkfifo(pid_path.c_str(), 0600), 0);
    AgentProcess forked("pidfile=" + pid_path + "\r\n", {"-d"});
    forked.Start();  // returns once the forking parent has ended
    ASSERT_TRUE(testutil::PortAnswers(forked.port(), 10000)) << link;
    EXPECT_EQ(forked.Query({"QUIT"}).out, "200\nOk\n");
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_NE(ReadFile(forked.dir().File("log2.txt")).find("Failed to create pid file " + pid_path),
              std::string::npos);
    struct stat st;
    EXPECT_TRUE(lstat(pid_path.c_str(), &st) == 0 &&
                (link ? S_ISLNK(st.st_mode) : S_ISFIFO(st.st_mode)));
  }
  ASSERT_EQ(chmod(tmp.path().c_str(), 0777), 0);
  AgentProcess refused("tmpdir=" + tmp.path() + "\r\n");
  EXPECT_FALSE(refused.Start());
  EXPECT_NE(refused.console().find("is writable by other users and not sticky"), std::string::npos);
  EXPECT_EQ(agent.Query({"GetInfo"}).out.substr(0, 4), "200\n") << agent.console();
}

}  // namespace
