// The real agent against hostile files and values: what a local user can
// plant in a monitored folder or beside the agent's own files, and what a
// managing server can store in the settings. Each case must do no harm: the
// agent answers (or refuses cleanly), keeps serving and touches nothing it
// was not asked to.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::OrvqResult;
using testutil::ReadFile;
using testutil::WriteFile;

// How often a key is named in a settings file read as the agent reads it:
// in pieces of at most 1023 bytes, each ending after a line feed.
int KeyCount(const std::string& file, const std::string& key) {
  int n = 0;
  for (size_t at = 0; at < file.size();) {
    size_t lf = file.find('\n', at);
    size_t end = std::min(lf == std::string::npos ? file.size() : lf + 1, at + 1023);
    std::string piece = file.substr(at, end - at);
    at = end;
    if (piece.compare(0, key.size() + 1, key + "=") == 0) ++n;
  }
  return n;
}

// A chain of `depth` folders "d" below root with a 10-byte file "f" at the
// bottom. Built relative to descriptors: its paths are far beyond PATH_MAX.
bool MakeChain(const std::string& root, int depth) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; fd >= 0 && i < depth; ++i) {
    mkdirat(fd, "d", 0755);
    int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  if (fd < 0) return false;
  int f = openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  bool ok = f >= 0 && write(f, "0123456789", 10) == 10;
  if (f >= 0) close(f);
  close(fd);
  return ok;
}

// Removes such a chain from the bottom up, one level at a time.
void RemoveChain(const std::string& root) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int depth = 0;
  for (int next; fd >= 0 && (next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW |
                                                      O_CLOEXEC)) >= 0;
       ++depth) {
    close(fd);
    fd = next;
  }
  for (; fd >= 0; --depth) {
    unlinkat(fd, "f", 0);
    if (depth == 0) break;
    int up = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = up;
    if (fd >= 0) unlinkat(fd, "d", AT_REMOVEDIR);
  }
  if (fd >= 0) close(fd);
}

// A monitored folder on a memory file system when there is one: a chain of
// 100,000 folders on a busy disk takes minutes to make and remove.
class DeepTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp_.path();
    char name[256];
    snprintf(name, sizeof name, "%s/orv-deep-XXXXXX", base.c_str());
    ASSERT_NE(mkdtemp(name), nullptr);
    root_ = name;
  }
  void TearDown() override {
    RemoveChain(root_);
    unlink((root_ + "/loop").c_str());
    unlink((root_ + "/out").c_str());
    rmdir(root_.c_str());
  }
  testutil::TempDir tmp_;
  std::string root_;
};

// Whoever may write in a monitored folder decides how deep it goes. Every
// walk answers, with the true figures for a tree deeper than a recursing
// walk's stack allowed and with a clean refusal for one deeper than any
// path can name; links are never followed, and the agent keeps serving.
TEST_F(DeepTreeTest, WalksAnswerOrRefuseAndTheAgentKeepsServing) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  ASSERT_EQ(symlink(".", (root_ + "/loop").c_str()), 0);
  ASSERT_EQ(symlink("/", (root_ + "/out").c_str()), 0);
  struct Case {
    int depth;
    const char* size;   // "TEST-FolderSize" with subfolders
    const char* count;  // "TEST-CountFiles" of every file with subfolders
  } cases[] = {
      {1500, "200\n    10\n", "200\n1\n"},
      {100000, "301\nFolder/File doesn`t exist or access denied\n",
       "301\nFolder doesn`t exist or access denied\n"},
  };
  for (const Case& c : cases) {
    RemoveChain(root_);
    ASSERT_TRUE(MakeChain(root_, c.depth));
    EXPECT_EQ(agent.Query({"TEST-FolderSize", root_, "1"}).out, c.size) << c.depth;
    EXPECT_EQ(agent.Query({"TEST-CountFiles", root_, "*", "1", "0", "0"}).out, c.count) << c.depth;
    OrvqResult list = agent.Query({"GetFilesList", root_, "*", "1", "1", "1", "1"});
    EXPECT_EQ(list.out.substr(0, 4), "200\n") << c.depth;
    ASSERT_EQ(agent.Query({"GetInfo"}).out.substr(0, 4), "200\n") << agent.console();
  }
}

// Where a file's contents are expected, a FIFO (which would hold the reading
// thread for ever) or a device (which may never end) is refused at once.
TEST(HostileInputTest, FileReadsRefuseFifosAndDevices) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string fifo = agent.dir().File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::vector<std::string> request;
    const char* reply;
  } cases[] = {
      {{"TEST-FileCRC", fifo}, "301\nCannot open file\n"},
      {{"TEST-FileCRC", "/dev/zero"}, "301\nCannot open file\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(agent.Query(c.request).out, c.reply) << c.request[0] << " " << c.request[1];
  }
}

// A pid file name planted by someone who may write in its folder is neither
// followed nor waited on, and the agent serves on without it.
TEST(HostileInputTest, PlantedPidFileIsNotFollowed) {
  testutil::TempDir shared;
  const std::string victim = shared.File("victim");
  WriteFile(victim, "precious\n");
  const std::string pid_path = shared.File("orv.pid");
  for (int planted = 0; planted < 2; ++planted) {
    unlink(pid_path.c_str());
    ASSERT_EQ(planted == 0 ? symlink(victim.c_str(), pid_path.c_str())
                           : mkfifo(pid_path.c_str(), 0600),
              0);
    AgentProcess agent("pidfile=" + pid_path + "\r\n", {"-d"});
    agent.Start();  // returns once the forking parent has ended
    ASSERT_TRUE(testutil::PortAnswers(agent.port(), 10000)) << planted;
    EXPECT_EQ(agent.Query({"GetInfo"}).status, 0) << planted;
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_EQ(agent.Query({"QUIT"}).out, "200\nOk\n");
    EXPECT_NE(ReadFile(agent.dir().File("log2.txt")).find("Failed to create pid file " + pid_path),
              std::string::npos);
    struct stat st;
    EXPECT_EQ(lstat(pid_path.c_str(), &st), 0);
    EXPECT_EQ(planted == 0 ? S_ISLNK(st.st_mode) : S_ISFIFO(st.st_mode), true);
  }
}

// A value that ends just where the agent's reader starts a new piece, so that
// the rest would be read as a line of its own.
TEST(HostileInputTest, SetSettingsCannotSmuggleAFileOnlyKey) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string marker = agent.dir().File("ran");
  const std::string script = agent.dir().File("x.sh");
  WriteFile(script, "#!/bin/sh\ntouch " + marker + "\n");
  chmod(script.c_str(), 0755);
  const std::string smuggled = "cpuusagescript=" + script;
  // "comment=" and the value fill the first 1023 bytes exactly.
  for (const std::string& comment :
       {std::string(1015, 'A') + smuggled, std::string(1015, 'A') + "\n" + smuggled}) {
    OrvqResult r = agent.Query({"SetSettings", "Comment=" + comment});
    ASSERT_EQ(r.out, "200\n") << r.err;
    std::string cfg = ReadFile(agent.config_path());
    EXPECT_EQ(KeyCount(cfg, "cpuusagescript"), 1);
    EXPECT_EQ(KeyCount(cfg, "comment"), 1);
    ASSERT_EQ(agent.Query({"ReloadCfg"}).out, "200\nOk\n");
    agent.Query({"TEST-CPU"});
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the smuggled script ran";
  }
}

}  // namespace
