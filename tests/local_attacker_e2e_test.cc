// A local user against the real agent. An unprivileged process (uid 65534)
// watches the shared temporary folder with inotify and plants symbolic
// links to a root-owned canary, or FIFOs that carry a forged answer, at
// every name the agent uses or is about to use there, while the agent
// answers the requests that use temporary files: the canary stays untouched
// and every answer is the true one. What a user can plant elsewhere (a deep
// folder chain, a FIFO where a file is read, the pid file's name) is
// answered or refused cleanly, and the agent serves on.
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
const char kForged[] = "999\n";

// Plants at path a link to the canary, or a FIFO that already holds a
// forged answer (kept open for reading and writing, so that the agent's
// opens of it neither block nor see an end).
void Plant(const std::string& path, bool fifo, const std::string& canary, std::vector<int>& held) {
  if (!fifo) {
    symlink(canary.c_str(), path.c_str());
    return;
  }
  int fd = mkfifo(path.c_str(), 0666) == 0 ? open(path.c_str(), O_RDWR | O_NONBLOCK) : -1;
  if (fd < 0 || write(fd, kForged, sizeof kForged - 1) < 0) return;
  held.push_back(fd);
  if (held.size() > 200) {
    close(held.front());
    held.erase(held.begin());
  }
}

// The attacker's life, as uid/gid 65534 with no supplementary groups. Every
// name seen removed in dir gets a plant, and so do the next two names of a
// numbered series ("tmp-7" is followed by "tmp-8") seen created; ends when
// its parent goes.
[[noreturn]] void Attack(const std::string& dir, bool fifo, const std::string& canary) {
  const pid_t parent = getppid();
  int in = inotify_init1(IN_CLOEXEC);
  if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
      setresuid(kNobody, kNobody, kNobody) != 0 || in < 0 ||
      inotify_add_watch(in, dir.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_FROM) < 0) {
    _exit(2);
  }
  close(open((dir + "/attacker-ready").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
  std::vector<int> held;
  alignas(struct inotify_event) char buf[64 * 1024];
  while (getppid() == parent) {
    struct pollfd p = {in, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    ssize_t n = read(in, buf, sizeof buf);
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const struct inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof *e + e->len);
      const std::string name = e->len ? e->name : "attacker-ready";
      if (name == "attacker-ready") continue;
      if (e->mask & (IN_DELETE | IN_MOVED_FROM)) Plant(dir + "/" + name, fifo, canary, held);
      const size_t digits = name.find_last_not_of("0123456789") + 1;
      if ((e->mask & IN_CREATE) && digits < name.size()) {
        for (int i = 1; i <= 2; ++i) {
          Plant(dir + "/" + name.substr(0, digits) + std::to_string(std::atoi(&name[digits]) + i),
                fifo, canary, held);
        }
      }
    }
  }
  _exit(0);
}

TEST(LocalAttackerTest, PlantedLinksAndFifosChangeNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  testutil::TempDir holder;
  chmod(holder.path().c_str(), 0755);  // the attacker must reach the shared folder
  const std::string shared = holder.File("shared"), canary = holder.File("canary");
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  testutil::WriteFile(canary, kCanaryText);
  ASSERT_EQ(chmod(canary.c_str(), 0600), 0);
  testutil::WriteScript(holder.File("pc.sh"), "echo 7\n");
  testutil::WriteScript(holder.File("cpu.sh"), "echo 12.5\n");
  testutil::WriteScript(holder.File("pl.sh"), "printf 'a\\nb\\n'\n");
  // A pause before each shell script widens the gap an agent that opens its
  // files by name would leave between choosing the name and the child
  // opening it.
  AgentProcess agent("tmpdir=" + shared + "\r\nexternal=1\r\nshellscript=1\r\n" +
                     "delayforscripts=200000\r\nprocess=1\r\ncpuusage=1\r\n" + "proccntscript=" +
                     holder.File("pc.sh") + "\r\n" + "cpuusagescript=" + holder.File("cpu.sh") +
                     "\r\n" + "proclistscript=" + holder.File("pl.sh") + "\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  const struct {
    std::vector<std::string> request;
    std::string reply;
  } requests[] = {
      {{"TEST-Process", "", "x"}, "200\n7\n"},
      {{"TEST-CPU"}, "200\n12.5000\n"},
      {{"GetProcessesList"}, "200\na%0D%0Ab%0D%0A\n"},
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
        [&] { return lstat((shared + "/attacker-ready").c_str(), &st) == 0; }, 5000));
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
  struct stat st;
  ASSERT_EQ(lstat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(agent.Query({"ReloadApp"}).out, "200\nOk\n");
  ASSERT_TRUE(testutil::PortAnswers(agent.port(), 10000));
  const std::vector<std::string> script = {
      "TEST-ShellScript",
      "%script%",
      testutil::Encoded("#!/bin/sh\necho scriptres:$TMPDIR:$(env | grep -c ORV_PRIVATE_TMP)\n"),
      "",
      "5",
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
}

// A chain of depth folders "d" inside root with a 10-byte file "f" at the
// bottom. Made and removed relative to descriptors: its paths are far
// beyond PATH_MAX.
bool MakeChain(const std::string& root, int depth) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; fd >= 0 && i < depth; ++i) {
    mkdirat(fd, "d", 0755);
    int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  UniqueFd f(fd < 0 ? -1 : openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (fd >= 0) close(fd);
  return f.valid() && write(f.get(), "0123456789", 10) == 10;
}

void RemoveChain(const std::string& root) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), depth = 0;
  for (int next; fd >= 0 && (next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW)) >= 0;
       ++depth) {
    close(fd);
    fd = next;
  }
  for (unlinkat(fd, "f", 0); fd >= 0 && depth-- > 0;) {
    int up = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = up;
    unlinkat(fd, "d", AT_REMOVEDIR);
  }
  if (fd >= 0) close(fd);
}

// Whoever may write in a monitored folder decides how deep it goes: a walk
// answers with the true figures for a tree deeper than a recursing walk's
// stack allowed, and refuses cleanly one deeper than any path can name.
// Where a file's contents are read, a FIFO (which would hold the thread
// for ever) or a device (which may never end) is refused at once. A pid
// file name planted by someone who may write in its folder is neither
// followed nor waited on, and the agent serves on without it.
TEST(LocalAttackerTest, PlantedTreesFifosAndPidFilesAreRefused) {
  // On a memory file system when there is one: a chain of 100,000 folders
  // on a busy disk takes minutes to make and remove.
  testutil::TempDir tmp;
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
    ASSERT_TRUE(MakeChain(root, t.depth));
    EXPECT_EQ(agent.Query({"TEST-FolderSize", root, "1"}).out, t.size) << t.depth;
    EXPECT_EQ(agent.Query({"TEST-CountFiles", root, "*", "1", "0", "0"}).out, t.count) << t.depth;
    EXPECT_EQ(agent.Query({"GetFilesList", root, "*", "1", "1", "1", "1"}).out.substr(0, 4),
              "200\n")
        << t.depth;
    RemoveChain(root);
  }
  rmdir(root.c_str());
  const std::string fifo = agent.dir().File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& file : {fifo, std::string("/dev/zero")})
    EXPECT_EQ(agent.Query({"TEST-FileCRC", file}).out, "301\nCannot open file\n") << file;
  EXPECT_EQ(agent.Query({"GetInfo"}).out.substr(0, 4), "200\n") << agent.console();

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
    EXPECT_EQ(lstat(pid_path.c_str(), &st), 0);
    EXPECT_TRUE(link ? S_ISLNK(st.st_mode) : S_ISFIFO(st.st_mode));
  }
}

}  // namespace
