// The real agent meeting faults of its surroundings: a configuration it may
// not write or is killed while writing, a temporary folder that is gone or
// full, helper scripts that hang or misbehave, a port it cannot move to,
// and a server that vanishes in the middle of an upgrade. Each fault gets
// its own answer, nothing is lost, and the agent serves on.
//
// Some cases need root's powers over the file system (a tmpfs, a read-only
// bind mount, the immutable flag); where the sandbox refuses them the case
// is skipped with the reason.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/oserror.h"
#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::Eventually;
using testutil::ProbeClock;
using testutil::RawConn;
using testutil::ReadFile;
using testutil::WriteScript;

// The agent is alive and answers "GetInfo" with no session but the asking one.
void ExpectServing(const AgentProcess& agent) {
  std::string info;
  EXPECT_TRUE(
      testutil::WaitQuiet(agent.port(), AgentProcess::kPassword, agent.pid(), -1, -1, 5000, &info))
      << info << "\n"
      << agent.console();
  EXPECT_EQ(info.compare(0, 24, "200\nAgentName=TZ Orvane\n"), 0) << info;
}

std::string Ask(AgentProcess& agent, const std::vector<std::string>& request) {
  return agent.Query(request).out;
}

// The names in dir.
std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  UniqueDir d(opendir(dir.c_str()));
  while (struct dirent* e = d ? readdir(d.get()) : nullptr)
    if (e->d_name[0] != '.') names.insert(e->d_name);
  return names;
}

// File-system changes a test made, undone in reverse order when this goes.
// Each maker returns "" or why the change could not be made.
class Undo {
 public:
  ~Undo() {
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) (*it)();
  }
  std::string Immutable(const std::string& path) {
    std::string why = SetImmutable(path, true);
    if (why.empty()) undo_.push_back([path] { SetImmutable(path, false); });
    return why;
  }
  std::string Mount(const char* source, const std::string& dir, const char* type,
                    unsigned long flags, const char* opts) {
    if (mount(source, dir.c_str(), type, flags, opts) != 0)
      return std::string("mount ") + (type ? type : "--bind") + ": " + GetErrorStr(errno).ToStd();
    if (!(flags & MS_REMOUNT)) undo_.push_back([dir] { umount2(dir.c_str(), MNT_DETACH); });
    return "";
  }
  std::string ReadOnly(const std::string& dir) {
    std::string why = Mount(dir.c_str(), dir, nullptr, MS_BIND, nullptr);
    return why.empty() ? Mount(nullptr, dir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr)
                       : why;
  }

 private:
  static std::string SetImmutable(const std::string& path, bool on) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    int flags = 0;
    if (!fd.valid() || ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0)
      return GetErrorStr(errno).ToStd();
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    return ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0 ? "" : GetErrorStr(errno).ToStd();
  }
  std::vector<std::function<void()>> undo_;
};

// --- The configuration file ---

// A save that cannot be written keeps the file as it was and the new value
// in force; a save that goes through leaves the file with its permissions,
// its ".Old" copy and nothing else, also when six clients save at once.
TEST(FaultsTest, SavesKeepTheFileWholeAndTheNewValues) {
  AgentProcess agent("; kept as it is\r\n");
  const std::string cfg = agent.config_path(), dir = agent.dir().path();
  ASSERT_EQ(chmod(cfg.c_str(), 0640), 0);
  ASSERT_TRUE(agent.Start()) << agent.console();
  // A value that fills the reader's first piece of 1023 bytes, so that the
  // rest would be read as a line of its own, adds no key, whether its line
  // is appended (the first save) or rewritten: the script it names does not
  // run after a reload.
  const std::string marker = agent.dir().File("ran"), script = agent.dir().File("x.sh");
  WriteScript(script, "touch " + marker + "\n");
  for (const char* sep : {"", "\n"}) {
    EXPECT_EQ(Ask(agent, {"SetSettings",
                          "Comment=" + std::string(1015, 'A') + sep + "cpuusagescript=" + script}),
              "200\n");
    EXPECT_EQ(Ask(agent, {"ReloadCfg"}), "200\nOk\n");
    Ask(agent, {"TEST-CPU"});
    EXPECT_FALSE(testutil::Exists(marker)) << "the smuggled script ran";
  }
  const std::string before = ReadFile(cfg);
  const std::string cannot_create = "300\nCannot create new configuration file '" + cfg + ".New'\n";
  const struct {
    const char* name;
    std::function<std::string(Undo&)> fault;
    std::string reply;
  } cases[] = {
      {"read-only folder", [&](Undo& u) { return u.ReadOnly(dir); }, cannot_create},
      {"immutable folder", [&](Undo& u) { return u.Immutable(dir); }, cannot_create},
      // The new file is written, but it cannot take the old one's place.
      {"immutable file", [&](Undo& u) { return u.Immutable(cfg); },
       "300\nCannot overwrite configuration file '" + cfg + "'\n"},
  };
  std::string skipped;
  for (const auto& c : cases) {
    Undo undo;
    const std::string why_not = c.fault(undo);
    if (!why_not.empty()) {
      skipped += std::string(" ") + c.name + ": " + why_not;
      continue;
    }
    EXPECT_EQ(Ask(agent, {"SetSettings", "Comment=unsaved"}), c.reply) << c.name;
    EXPECT_NE(Ask(agent, {"GetSettings"}).find("\nComment=unsaved\n"), std::string::npos);
    EXPECT_EQ(ReadFile(cfg), before) << c.name;
  }

  // Writable again, saves go through, one after another and all at once.
  std::set<std::string> want = Entries(dir);
  want.erase("orv.cfg.New");
  want.insert("orv.cfg.Old");
  std::atomic<int> ok{0};
  std::vector<std::thread> savers;
  for (int t = 0; t < 6; ++t) {
    savers.emplace_back([&, t] {
      for (int i = 0; i < 3; ++i)
        ok += Ask(agent, {"SetSettings", "Comment=saver" + std::to_string(t * 10 + i)}) == "200\n";
    });
    if (t == 0) savers[0].join();  // the first alone
  }
  for (size_t t = 1; t < savers.size(); ++t) savers[t].join();
  EXPECT_EQ(ok.load(), 18);
  std::string info = Ask(agent, {"GetInfo"});
  const size_t at = info.find("\nComment=") + 9;
  const std::string comment = info.substr(at, info.find('\n', at) - at);
  // The file holds the last value saved, on one line, and loads again.
  const std::string saved = ReadFile(cfg);
  const size_t line = saved.find("\r\ncomment=" + comment + "\r\n");
  EXPECT_NE(line, std::string::npos) << comment << "\n" << saved;
  EXPECT_EQ(saved.find("comment=", line + 3), std::string::npos) << saved;
  EXPECT_NE(saved.find("; kept as it is\r\n"), std::string::npos) << saved;
  EXPECT_EQ(Ask(agent, {"ReloadCfg"}), "200\nOk\n");
  EXPECT_NE(Ask(agent, {"GetInfo"}).find("\nComment=" + comment + "\n"), std::string::npos);
  EXPECT_EQ(Entries(dir), want);
  for (const std::string& f : {cfg, cfg + ".Old"}) {
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << f << " lost its permissions";
  }
  ExpectServing(agent);
  if (!skipped.empty()) GTEST_SKIP() << "partly skipped:" << skipped;
}

// Killed at random moments of a "SetSettings" save, the agent leaves the
// previous or the new file, whole, and starts from it again; the next save
// that completes clears away a half-written new file.
TEST(FaultsTest, KilledMidSaveLeavesTheOldOrTheNewFileWhole) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string cfg = agent.config_path();
  std::string files[2];  // the two whole files the saves alternate between
  std::vector<long> took;
  for (int i = 0; i < 6; ++i) {
    auto start = ProbeClock::now();
    ASSERT_EQ(testutil::Ask(agent.port(), AgentProcess::kPassword,
                            std::string("SetSettings\nComment=") + "lr"[i % 2] + "\n\r"),
              "200\n\r");
    took.push_back(static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(ProbeClock::now() - start).count()));
    files[i % 2] = ReadFile(cfg);
  }
  // Kills spread over the time a save takes here (its fsyncs dominate), so
  // that some land before, some inside and some after it.
  std::sort(took.begin(), took.end());
  const long spread_us = std::min(50000L, std::max(3000L, took[3] * 3 / 2));
  std::mt19937 rng(6122026u);
  const auto deadline = ProbeClock::now() + std::chrono::seconds(30);
  for (int i = 0; i < 40 && ProbeClock::now() < deadline; ++i) {
    if (agent.pid() <= 0) {
      ASSERT_TRUE(agent.Start()) << i << "\n" << agent.console();
    }
    const std::string before = ReadFile(cfg);
    const int next = before == files[0] ? 1 : 0;
    {
      RawConn c(agent.port());
      ASSERT_TRUE(c.ok() && c.Send(testutil::RequestPacket(
                                AgentProcess::kPassword, "k",
                                std::string("SetSettings\nComment=") + "lr"[next] + "\n\r")));
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % (spread_us + 1)));
      kill(agent.pid(), SIGKILL);
      ASSERT_NE(agent.WaitExit(5000), -1);
    }
    const std::string now = ReadFile(cfg);
    ASSERT_TRUE(now == before || now == files[next]) << i << ": neither old nor new:\n" << now;
    if (testutil::Exists(cfg + ".Old")) {
      const std::string old = ReadFile(cfg + ".Old");
      EXPECT_TRUE(old == files[0] || old == files[1]) << i << ":\n" << old;
    }
  }
  if (agent.pid() <= 0) {
    ASSERT_TRUE(agent.Start()) << agent.console();
  }
  const std::string last = ReadFile(cfg);
  EXPECT_NE(Ask(agent, {"GetInfo"}).find(last == files[0] ? "\nComment=l\n" : "\nComment=r\n"),
            std::string::npos);
  ASSERT_EQ(Ask(agent, {"SetSettings", "Comment=final"}), "200\n");
  EXPECT_FALSE(testutil::Exists(cfg + ".New"));
  EXPECT_EQ(ReadFile(cfg + ".Old"), last);
}

// --- The temporary folder ---

std::vector<std::string> ShellScript() {
  return {"TEST-ShellScript",
          "%script%",
          testutil::Encoded("#!/bin/sh\necho scriptres:ok\n"),
          "",
          "5",
          "1"};
}

// Sends "UpgradeCode" and a module of size bytes; the agent's last reply.
std::string Upgrade(int port, size_t size) {
  std::string first;
  auto c =
      testutil::BeginUpgrade(port, AgentProcess::kPassword, "up-key", std::to_string(size), &first);
  if (first != "200\n\r") return first;
  c->Send(std::string(size, 'm'));
  return testutil::ReadReplyText(*c, "up-key");
}

// A server that vanishes in the middle of an upgrade leaves no module file
// and no claim behind. A temporary folder on a small tmpfs: filled up, each
// request that needs a file there fails with its own text and leaves
// nothing behind; removed, each fails again; back, the agent uses it again.
TEST(FaultsTest, VanishedUpgradesAndFullOrMissingTemporaryFolder) {
  testutil::TempDir holder;
  Undo undo;
  const std::string why_not =
      undo.Mount("tmpfs", holder.path(), "tmpfs", 0, "size=65536,mode=0755");
  const std::string tmp = holder.File("tmp");
  ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
  AgentProcess agent("tmpdir=" + tmp + "\r\nallowupdates=1\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string module = testutil::PrivateTmpIn(tmp) + "/orv__.upd";
  const struct {
    const char* name;
    size_t sent;  // module bytes sent of 5000
    bool reset;   // leave with a reset instead of a close
  } vanish[] = {
      {"closes after part of the module", 2000, false},
      {"resets after part of the module", 2000, true},
      {"closes after the whole module, before the digest", 5000, false},
      {"resets before any module byte", 0, true},
  };
  for (const auto& c : vanish) {
    std::string first;  // "200" is also the proof that the last case let the claim go
    auto conn =
        testutil::BeginUpgrade(agent.port(), AgentProcess::kPassword, "up-key", "5000", &first);
    ASSERT_EQ(first, "200\n\r") << c.name;
    if (c.sent > 0) {
      ASSERT_TRUE(conn->Send(std::string(c.sent, 'm')));
      ASSERT_TRUE(Eventually([&] { return testutil::Exists(module); }, 2000)) << c.name;
    }
    c.reset ? conn->Reset() : conn->Close();
    EXPECT_TRUE(Eventually([&] { return !testutil::Exists(module); }, 3000)) << c.name;
  }
  const std::string ok = "200\nscriptres:ok\nscriptres:ok%0D%0A\n";
  if (why_not.empty()) {
    const std::string filler = holder.File("filler");
    {
      UniqueFd fd(open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
      const std::string block(4096, 'f');
      while (write(fd.get(), block.data(), block.size()) > 0 || write(fd.get(), "f", 1) > 0) {
      }
    }
    EXPECT_EQ(Ask(agent, ShellScript()), "301\ncannot create temp file\n");
    // The script runs, but its answer cannot be written down.
    EXPECT_EQ(Ask(agent, {"TEST-Process", "", "init"}), "301\nScript error\n");
    EXPECT_EQ(Upgrade(agent.port(), 20000), "300\nWrite error\n\r");
    EXPECT_EQ(Entries(testutil::PrivateTmpIn(tmp)), std::set<std::string>());
    ASSERT_EQ(unlink(filler.c_str()), 0);
    EXPECT_EQ(Ask(agent, ShellScript()), ok);
  }
  std::error_code ec;
  ASSERT_GT(std::filesystem::remove_all(tmp, ec), 0u) << ec.message();
  const struct {
    std::vector<std::string> request;
    std::string reply;
  } missing[] = {
      {{"TEST-Process", "", "init"}, "301\ncannot get temp file\n"},
      {{"TEST-CPU"}, "301\ncannot get temp file\n"},
      {{"GetProcessesList"}, "301\ncannot get temp file\n"},
      {ShellScript(), "301\nCannot get temp file\n"},
      {{"UpgradeCode", "5000"}, "300\nCannot create temp file\n"},
  };
  for (const auto& c : missing) EXPECT_EQ(Ask(agent, c.request), c.reply) << c.request[0];
  ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
  EXPECT_EQ(Ask(agent, ShellScript()), ok);
  EXPECT_EQ(Ask(agent, {"TEST-Process", "", "no-such-process-name"}), "200\n0\n");
  ExpectServing(agent);
  if (!why_not.empty()) GTEST_SKIP() << "no full folder: " << why_not;
}

// --- Helper scripts ---

// Scripts the handler tests cannot show: killed, not executable, printing
// bytes beyond text, flooding their output. A hanging one (helper scripts
// have no time limit) holds only its own request: others are answered
// meanwhile, and once it is killed its request gets "Script error".
TEST(FaultsTest, HelperScriptsThatMisbehaveOrHang) {
  testutil::TempDir scripts;
  const std::string count = scripts.File("count.sh"), list = scripts.File("list.sh");
  AgentProcess agent("proccntscript=" + count + "\r\nproclistscript=" + list + "\r\n");
  ASSERT_TRUE(agent.Start()) << agent.console();
  const struct {
    const char* name;
    std::string body;  // the same body for both scripts
    mode_t mode;
    std::string process;  // TEST-Process reply
    std::string list;     // GetProcessesList reply; "" when only its code is sure
  } cases[] = {
      // The shell's own report of the kill may or may not land in the output.
      {"killed by a signal", "kill -9 $$\n", 0755, "301\nScript error\n", ""},
      {"not executable", "echo 3\n", 0644, "301\nScript error\n", ""},
      {"binary bytes", "printf '\\001\\377\\000\\n'\n", 0755, "301\nScript error\n",
       "200\n\001\377%0D%0A\n"},
      {"a flood", "i=0\nwhile [ $i -lt 20000 ]; do echo \"$i of junk\"; i=$((i+1)); done\n", 0755,
       "200\n0\n", ""},
  };
  std::string listed;
  for (const auto& c : cases) {
    for (const std::string& path : {count, list}) WriteScript(path, c.body, c.mode);
    EXPECT_EQ(Ask(agent, {"TEST-Process", "", "init"}), c.process) << c.name;
    listed = Ask(agent, {"GetProcessesList"});
    EXPECT_EQ(c.list.empty() ? listed.substr(0, 4) : listed, c.list.empty() ? "200\n" : c.list)
        << c.name;
  }
  EXPECT_EQ(listed.substr(listed.size() - 20), "19999 of junk%0D%0A\n");

  const std::string pidfile = scripts.File("hang.pid");
  WriteScript(count, "echo $$ > " + pidfile + "\nexec sleep 30\n");
  std::string hung_reply;
  std::thread hung([&] { hung_reply = Ask(agent, {"TEST-Process", "", "init"}); });
  const bool started = Eventually([&] { return !ReadFile(pidfile).empty(); }, 5000);
  const pid_t script = static_cast<pid_t>(std::atoi(ReadFile(pidfile).c_str()));
  auto asked = ProbeClock::now();
  EXPECT_EQ(testutil::ReplyNumber(Ask(agent, {"GetInfo"}), "ActiveConnections"), 2);
  EXPECT_EQ(Ask(agent, {"TEST-ExternalPrg", "/bin/true", "", "0", "1000"}), "200\n0\n");
  EXPECT_LT(ProbeClock::now() - asked, std::chrono::milliseconds(4000));
  auto killed = ProbeClock::now();
  EXPECT_TRUE(started && script > 1 && kill(script, SIGKILL) == 0);
  hung.join();
  EXPECT_LT(ProbeClock::now() - killed, std::chrono::milliseconds(3000));
  EXPECT_EQ(hung_reply, "301\nScript error\n");
  ExpectServing(agent);
}

// --- A port that cannot be taken at switch time ---

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// A port held by the test, and numbers that are no port to listen on
// ("SetSettings" stores any number; 0 would be any free port, 65536 and -5
// would wrap to 0 and 65531): the agent goes back to its old port.
TEST(FaultsTest, PortThatCannotBeTakenKeepsTheOldOne) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  int taken = 0;
  UniqueFd held = testutil::BoundLoopback(SOCK_STREAM, &taken);
  ASSERT_EQ(listen(held.get(), 4), 0);
  size_t returns = 0;
  for (const std::string& p :
       {std::to_string(taken), std::string("0"), std::string("65536"), std::string("-5")}) {
    EXPECT_EQ(Ask(agent, {"SetSettings", "Port=" + p}), "200\n") << p;
    ++returns;
    ASSERT_TRUE(Eventually(
        [&] { return Count(agent.console(), "Return to original port") == returns; }, 10000))
        << p << "\n"
        << agent.console();
    EXPECT_EQ(testutil::ReplyNumber(Ask(agent, {"GetInfo"}), "Port"), agent.port()) << p;
  }
  EXPECT_EQ(Count(agent.console(), "Error: cannot open new port for listening"), returns);
  EXPECT_EQ(Count(agent.console(), "Server port switching .. Ok"), 0u) << agent.console();
  ExpectServing(agent);
}

}  // namespace
