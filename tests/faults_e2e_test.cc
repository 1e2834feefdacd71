// The real agent meeting faults of its surroundings: a configuration it may
// not write, a temporary folder that is gone, too long or full, helper
// scripts that hang or print garbage, a port that is taken when the agent
// moves to it, and a server that vanishes in the middle of an upgrade. Each
// fault gets its own answer, and the agent serves on afterwards.
//
// Some cases need root's powers over the file system (mounting a tmpfs, a
// read-only bind mount, the immutable flag); where the sandbox refuses them
// the case is skipped with the reason.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/oserror.h"
#include "protocol/value_codec.h"
#include "tests/agent_harness.h"
#include "tests/agent_probe.h"

namespace {

using testutil::AgentProcess;
using testutil::Eventually;
using testutil::Exists;
using testutil::ProbeClock;
using testutil::RawConn;
using testutil::WriteScript;

// A request text: the command and each parameter on a line, then CR.
std::string Request(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text + "\r";
}

std::string Ask(const AgentProcess& agent, const std::vector<std::string>& lines,
                int timeout_ms = 10000) {
  return testutil::Ask(agent.port(), AgentProcess::kPassword, Request(lines), timeout_ms);
}

std::string Encode(const std::string& text) {
  return orvEncodeStrings(String(text.c_str())).ToStd();
}

// The agent is alive and answers "GetInfo" with no session but the asking one.
void ExpectServing(const AgentProcess& agent) {
  std::string info;
  EXPECT_TRUE(
      testutil::WaitQuiet(agent.port(), AgentProcess::kPassword, agent.pid(), -1, -1, 5000, &info))
      << info << "\n"
      << agent.console();
  EXPECT_EQ(info.compare(0, 24, "200\nAgentName=TZ Orvane\n"), 0) << info;
}

// Sets or clears the immutable flag of path; the reason on failure.
std::string SetImmutable(const std::string& path, bool on) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return GetErrorStr(errno).ToStd();
  int flags = 0;
  if (ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return GetErrorStr(errno).ToStd();
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  if (ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) != 0) return GetErrorStr(errno).ToStd();
  return "";
}

// The immutable flag on path for the life of the guard.
class ImmutableGuard {
 public:
  explicit ImmutableGuard(const std::string& path) : path_(path) {
    why_not_ = SetImmutable(path_, true);
  }
  ~ImmutableGuard() {
    if (why_not_.empty()) SetImmutable(path_, false);
  }
  const std::string& why_not() const { return why_not_; }

 private:
  std::string path_;
  std::string why_not_;
};

// A mount made by the test, detached again when the guard goes.
class MountGuard {
 public:
  // A tmpfs of size bytes on dir.
  static MountGuard Tmpfs(const std::string& dir, long size) {
    MountGuard g(dir);
    std::string opts = "size=" + std::to_string(size) + ",mode=0755";
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0) {
      g.why_not_ = "mount -t tmpfs: " + GetErrorStr(errno).ToStd();
    }
    return g;
  }
  // dir mounted on itself, read-only.
  static MountGuard ReadOnlyBind(const std::string& dir) {
    MountGuard g(dir);
    if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      g.why_not_ = "mount --bind: " + GetErrorStr(errno).ToStd();
      return g;
    }
    if (mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      g.why_not_ = "mount -o remount,ro,bind: " + GetErrorStr(errno).ToStd();
      umount2(dir.c_str(), MNT_DETACH);
    }
    return g;
  }
  MountGuard(MountGuard&& other) noexcept : dir_(other.dir_), why_not_(other.why_not_) {
    other.why_not_ = "moved";
  }
  MountGuard& operator=(MountGuard&&) = delete;
  ~MountGuard() {
    if (why_not_.empty()) umount2(dir_.c_str(), MNT_DETACH);
  }
  const std::string& why_not() const { return why_not_; }

 private:
  explicit MountGuard(const std::string& dir) : dir_(dir) {}
  std::string dir_;
  std::string why_not_;
};

// --- An unwritable configuration ---

// "SetSettings" on an agent whose configuration cannot be rewritten: the
// save's text, the new value in force all the same, the file untouched.
void ExpectFailedSave(AgentProcess& agent, const std::string& reply, const std::string& before) {
  EXPECT_EQ(Ask(agent, {"SetSettings", "Comment=unsaved"}), reply);
  EXPECT_NE(Ask(agent, {"GetSettings"}).find("\nComment=unsaved\n"), std::string::npos);
  EXPECT_EQ(testutil::ReadFile(agent.config_path()), before);
  ExpectServing(agent);
}

TEST(FaultsTest, UnwritableConfigurationKeepsTheFileAndTheNewValues) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string before = testutil::ReadFile(agent.config_path());
  const std::string cannot_create =
      "300\nCannot create new configuration file '" + agent.config_path() + ".New'\n\r";
  std::string skipped;
  {
    MountGuard ro = MountGuard::ReadOnlyBind(agent.dir().path());
    if (ro.why_not().empty()) {
      ExpectFailedSave(agent, cannot_create, before);
    } else {
      skipped += " no read-only mount: " + ro.why_not();
    }
  }
  {
    ImmutableGuard frozen(agent.dir().path());
    if (frozen.why_not().empty()) {
      ExpectFailedSave(agent, cannot_create, before);
    } else {
      skipped += " no immutable folder: " + frozen.why_not();
    }
  }
  {
    // The new file is written, but it cannot take the old one's place.
    ImmutableGuard frozen(agent.config_path());
    if (frozen.why_not().empty()) {
      ExpectFailedSave(
          agent, "300\nCannot overwrite configuration file '" + agent.config_path() + "'\n\r",
          before);
    } else {
      skipped += " no immutable file: " + frozen.why_not();
    }
  }
  // Writable again, the next save goes through.
  EXPECT_EQ(Ask(agent, {"SetSettings", "Comment=saved"}), "200\n\r");
  EXPECT_NE(testutil::ReadFile(agent.config_path()).find("comment=saved\r\n"), std::string::npos);
  if (!skipped.empty()) GTEST_SKIP() << "partly skipped:" << skipped;
}

// --- The temporary folder ---

// The requests that need temporary files, with what each answers.
struct TempCase {
  std::vector<std::string> request;
  std::string reply;
};

std::vector<std::string> ShellScriptRequest() {
  return {"TEST-ShellScript", "%script%", Encode("#!/bin/sh\necho scriptres:ok\n"), "", "5", "1"};
}

TEST(FaultsTest, MissingTemporaryFolder) {
  testutil::TempDir holder;
  const std::string tmp = holder.File("tmp");
  ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
  AgentProcess agent("tmpdir=" + tmp + "\r\nallowupdates=1\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  std::error_code ec;
  ASSERT_GT(std::filesystem::remove_all(tmp, ec), 0u) << ec.message();
  const TempCase cases[] = {
      {{"TEST-Process", "", "init"}, "301\ncannot get temp file\n"},
      {{"TEST-CPU"}, "301\ncannot get temp file\n"},
      {{"GetProcessesList"}, "301\ncannot get temp file\n"},
      {ShellScriptRequest(), "301\nCannot get temp file\n"},
      {{"UpgradeCode", "5000"}, "300\nCannot create temp file\n"},
  };
  for (const TempCase& c : cases) EXPECT_EQ(Ask(agent, c.request), c.reply + "\r") << c.request[0];
  // Back again, the folder is used again.
  ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
  EXPECT_EQ(Ask(agent, ShellScriptRequest()), "200\nscriptres:ok\nscriptres:ok%0D%0A\n\r");
  EXPECT_EQ(Ask(agent, {"TEST-Process", "", "no-such-process-name"}), "200\n0\n\r");
  ExpectServing(agent);
}

// Fills the file system of dir until it refuses more; the filler's path.
std::string FillUp(const std::string& dir) {
  std::string filler = dir + "/filler";
  UniqueFd fd(open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return filler;
  std::string block(4096, 'f');
  for (int i = 0; i < 4096; ++i) {  // 16 MiB at most
    if (write(fd.get(), block.data(), block.size()) <= 0) break;
  }
  for (int i = 0; i < 4096; ++i) {  // then byte by byte into the last block
    if (write(fd.get(), "f", 1) <= 0) break;
  }
  return filler;
}

const char kUpgradeKey[] = "upgrade-fault-key";

// A connection whose "UpgradeCode" for length bytes was answered "200", or
// null with the reply in *last.
std::unique_ptr<RawConn> BeginUpgrade(int port, size_t length, std::string* last) {
  auto conn = testutil::BeginUpgrade(port, AgentProcess::kPassword, kUpgradeKey,
                                     std::to_string(length), last);
  return *last == "200\n\r" ? std::move(conn) : nullptr;
}

// Sends a whole module after "UpgradeCode"; the agent's reply to it.
std::string UpgradeTransfer(int port, const std::string& module) {
  std::string first;
  std::unique_ptr<RawConn> c = BeginUpgrade(port, module.size(), &first);
  if (!c) return "first reply: " + first;
  c->Send(module);
  return testutil::ReadReplyText(*c, kUpgradeKey);
}

TEST(FaultsTest, FullTemporaryFolder) {
  testutil::TempDir holder;
  const std::string tmp = holder.File("small");
  ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
  MountGuard small = MountGuard::Tmpfs(tmp, 64 * 1024);
  if (!small.why_not().empty()) GTEST_SKIP() << "no tmpfs mount here: " << small.why_not();
  AgentProcess agent("tmpdir=" + tmp + "\r\nallowupdates=1\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string filler = FillUp(tmp);

  EXPECT_EQ(Ask(agent, ShellScriptRequest()), "301\ncannot create temp file\n\r");
  // The script runs, but its answer cannot be written down.
  EXPECT_EQ(Ask(agent, {"TEST-Process", "", "init"}), "301\nScript error\n\r");
  EXPECT_EQ(UpgradeTransfer(agent.port(), std::string(20000, 'm')), "300\nWrite error\n\r");
  // Nothing of the agent's is left in the full folder.
  UniqueDir d(opendir(testutil::PrivateTmpIn(tmp).c_str()));
  ASSERT_TRUE(d);
  std::vector<std::string> left;
  while (struct dirent* e = readdir(d.get())) {
    std::string n = e->d_name;
    if (n != "." && n != "..") left.push_back(n);
  }
  EXPECT_TRUE(left.empty()) << left.size() << " left, first " << left[0];

  ASSERT_EQ(unlink(filler.c_str()), 0);
  EXPECT_EQ(Ask(agent, ShellScriptRequest()), "200\nscriptres:ok\nscriptres:ok%0D%0A\n\r");
  ExpectServing(agent);
}

// --- Helper scripts ---

// Kills, at the end of the scope, the process whose pid a script wrote.
class PidFileKiller {
 public:
  explicit PidFileKiller(const std::string& pidfile) : pidfile_(pidfile) {}
  ~PidFileKiller() { Kill(); }
  bool Kill() {
    pid_t pid = static_cast<pid_t>(std::atoi(testutil::ReadFile(pidfile_).c_str()));
    return pid > 1 && kill(pid, SIGKILL) == 0;
  }

 private:
  std::string pidfile_;
};

TEST(FaultsTest, HangingHelperScriptHoldsOnlyItsOwnSession) {
  testutil::TempDir scripts;
  const std::string pidfile = scripts.File("hang.pid");
  WriteScript(scripts.File("count.sh"), "echo $$ > " + pidfile + "\nexec sleep 30\n");
  AgentProcess agent("proccntscript=" + scripts.File("count.sh") + "\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  PidFileKiller killer(pidfile);

  std::string hung_reply;
  std::thread hung([&] { hung_reply = Ask(agent, {"TEST-Process", "", "init"}, 40000); });
  ASSERT_TRUE(Eventually([&] { return !testutil::ReadFile(pidfile).empty(); }, 5000));
  // Helper scripts have no time limit: the request waits, others do not.
  auto asked = ProbeClock::now();
  std::string info = Ask(agent, {"GetInfo"});
  EXPECT_LT(ProbeClock::now() - asked, std::chrono::milliseconds(2000));
  EXPECT_EQ(testutil::ReplyNumber(info, "ActiveConnections"), 2) << info;
  EXPECT_EQ(Ask(agent, {"TEST-ExternalPrg", "/bin/true", "", "0", "1000"}), "200\n0\n\r");

  // Once the script is gone, its request is answered from what it printed.
  auto killed = ProbeClock::now();
  ASSERT_TRUE(killer.Kill());
  hung.join();
  EXPECT_LT(ProbeClock::now() - killed, std::chrono::milliseconds(3000));
  EXPECT_EQ(hung_reply, "301\nScript error\n\r");
  ExpectServing(agent);
}

TEST(FaultsTest, HelperScriptsPrintingGarbage) {
  testutil::TempDir scripts;
  const std::string count = scripts.File("count.sh");
  const std::string cpu = scripts.File("cpu.sh");
  const std::string list = scripts.File("list.sh");
  AgentProcess agent("proccntscript=" + count + "\r\ncpuusagescript=" + cpu +
                     "\r\nproclistscript=" + list + "\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  struct Case {
    const char* name;
    std::string body;  // the same body for all three scripts
    mode_t mode;
    std::string process;  // TEST-Process reply
    std::string cpu;      // TEST-CPU reply
    std::string list;     // GetProcessesList reply; "" when only its code is sure
  } cases[] = {
      {"words", "echo garbage 12\n", 0755, "301\nScript error\n", "301\nScript error\n",
       "200\ngarbage 12%0D%0A\n"},
      {"nothing", "exit 0\n", 0755, "301\nScript error\n", "301\nScript error\n", "200\n\n"},
      {"binary bytes", "printf '\\001\\377\\000\\n'\n", 0755, "301\nScript error\n",
       "301\nScript error\n", "200\n\001\377%0D%0A\n"},
      {"a number beyond 32 bits", "echo 99999999999999\n", 0755, "200\n2147483647\n",
       "200\n100000000376832.0000\n", "200\n99999999999999%0D%0A\n"},
      // The shell's own report of the kill may or may not land in the output.
      {"killed by a signal before printing", "kill -9 $$\n", 0755, "301\nScript error\n",
       "301\nScript error\n", ""},
      {"not executable", "echo 3\n", 0644, "301\nScript error\n", "301\nScript error\n", ""},
  };
  for (const Case& c : cases) {
    for (const std::string& path : {count, cpu, list}) WriteScript(path, c.body, c.mode);
    EXPECT_EQ(Ask(agent, {"TEST-Process", "", "init"}), c.process + "\r") << c.name;
    EXPECT_EQ(Ask(agent, {"TEST-CPU"}), c.cpu + "\r") << c.name;
    std::string listed = Ask(agent, {"GetProcessesList"});
    if (!c.list.empty()) {
      EXPECT_EQ(listed, c.list + "\r") << c.name;
    } else {
      EXPECT_EQ(listed.compare(0, 4, "200\n"), 0) << c.name << ": " << listed;
    }
  }
  // A script that floods its output: the list is long, the agent unharmed.
  WriteScript(list, "i=0\nwhile [ $i -lt 20000 ]; do echo \"line $i of junk\"; i=$((i+1)); done\n");
  std::string flood = Ask(agent, {"GetProcessesList"}, 30000);
  EXPECT_EQ(flood.compare(0, 4, "200\n"), 0);
  EXPECT_NE(flood.find("line 19999 of junk%0D%0A\n"), std::string::npos);
  ExpectServing(agent);
}

// --- A port taken at switch time ---

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// A port held by the test, and numbers that are no port to listen on
// ("SetSettings" stores any number; 0 would be any free port, 65536 and
// 70000 would wrap to 0 and 4464): three tries a second apart, then back to
// the old port.
TEST(FaultsTest, PortThatCannotBeTakenKeepsTheOldOne) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  int taken = 0;
  UniqueFd held = testutil::BoundLoopback(SOCK_STREAM, &taken);
  ASSERT_EQ(listen(held.get(), 4), 0);
  const std::string ports[] = {std::to_string(taken), "0", "65536", "70000", "-5"};
  size_t returns = 0;
  for (const std::string& p : ports) {
    EXPECT_EQ(Ask(agent, {"SetSettings", "Port=" + p}), "200\n\r") << p;
    ++returns;
    ASSERT_TRUE(Eventually(
        [&] { return Count(agent.console(), "Return to original port") == returns; }, 10000))
        << p << "\n"
        << agent.console();
    ASSERT_TRUE(testutil::PortAnswers(agent.port(), 5000)) << p;
    std::string info = Ask(agent, {"GetInfo"});
    EXPECT_EQ(testutil::ReplyNumber(info, "Port"), agent.port()) << p << ": " << info;
  }
  EXPECT_NE(agent.console().find("Error: cannot open new port for listening"), std::string::npos);
  EXPECT_EQ(Count(agent.console(), "Server port switching .. Ok"), 0u) << agent.console();
  ExpectServing(agent);
}

// --- A server that vanishes during an upgrade ---

TEST(FaultsTest, PeerVanishingMidUpgradeReleasesTheClaim) {
  AgentProcess agent("allowupdates=1\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string module_path = testutil::PrivateTmpIn(agent.dir().path()) + "/orv__.upd";
  struct Case {
    const char* name;
    size_t sent;  // module bytes sent of 5000
    bool reset;   // leave with a reset instead of a close
  } cases[] = {
      {"closes after part of the module", 2000, false},
      {"resets after part of the module", 2000, true},
      {"closes after the whole module, before the digest", 5000, false},
      {"resets before any module byte", 0, true},
  };
  for (const Case& c : cases) {
    std::string first;
    // Also the proof that the previous case let the claim go.
    std::unique_ptr<RawConn> conn = BeginUpgrade(agent.port(), 5000, &first);
    ASSERT_TRUE(conn) << c.name << ": " << first;
    if (c.sent > 0) {
      ASSERT_TRUE(conn->Send(std::string(c.sent, 'm')));
      ASSERT_TRUE(Eventually([&] { return Exists(module_path); }, 2000)) << c.name;
    }
    if (c.reset) {
      conn->Reset();
    } else {
      conn->Close();
    }
    EXPECT_TRUE(Eventually([&] { return !Exists(module_path); }, 3000)) << c.name;
  }
  std::string last;
  EXPECT_TRUE(BeginUpgrade(agent.port(), 5000, &last)) << last;
  ExpectServing(agent);
}

}  // namespace
