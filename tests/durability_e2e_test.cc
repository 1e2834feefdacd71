// The configuration file survives the agent being killed in the middle of a
// "SetSettings" save: it is always either the previous or the new file,
// whole, and the agent starts from it again. A save that completes leaves
// the file and its ".Old" copy and nothing else.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/agent_harness.h"
#include "tests/agent_probe.h"

namespace {

using testutil::AgentProcess;
using testutil::ProbeClock;
using testutil::RawConn;

const std::string kKey = "durability-key";

std::string SetComment(const std::string& value) {
  return testutil::RequestPacket(AgentProcess::kPassword, kKey,
                                 "SetSettings\nComment=" + value + "\n\r");
}

// The names in dir that begin with prefix.
std::set<std::string> Entries(const std::string& dir, const std::string& prefix) {
  std::set<std::string> names;
  UniqueDir d(opendir(dir.c_str()));
  if (!d) return names;
  while (struct dirent* e = readdir(d.get())) {
    std::string n = e->d_name;
    if (n.compare(0, prefix.size(), prefix) == 0) names.insert(n);
  }
  return names;
}

std::string Ask(const AgentProcess& agent, const std::string& text) {
  return testutil::Ask(agent.port(), AgentProcess::kPassword, text);
}

TEST(ConfigDurabilityTest, KilledMidSaveLeavesTheOldOrTheNewFileWhole) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Start()) << agent.console();
  const std::string cfg = agent.config_path();
  // The two complete files the flips alternate between.
  ASSERT_EQ(Ask(agent, "SetSettings\nComment=left\n\r"), "200\n\r");
  const std::string left = testutil::ReadFile(cfg);
  ASSERT_EQ(Ask(agent, "SetSettings\nComment=right\n\r"), "200\n\r");
  const std::string right = testutil::ReadFile(cfg);
  ASSERT_NE(left, right);

  // Kills are spread over the time a whole save takes here (its fsyncs
  // dominate), so that some land before, some inside and some after it.
  std::vector<long> took;
  for (int i = 0; i < 5; ++i) {
    auto start = ProbeClock::now();
    ASSERT_EQ(Ask(agent, "SetSettings\nComment=right\n\r"), "200\n\r");
    took.push_back(static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(ProbeClock::now() - start).count()));
  }
  std::sort(took.begin(), took.end());
  const long spread_us = std::min(50000L, std::max(3000L, took[2] * 3 / 2));

  std::mt19937 rng(6122026u);
  int kept_old = 0, got_new = 0, inside = 0;
  const auto deadline = ProbeClock::now() + std::chrono::seconds(30);
  for (int i = 0; i < 40 && ProbeClock::now() < deadline; ++i) {
    if (agent.pid() <= 0) {
      ASSERT_TRUE(agent.Start()) << "iteration " << i << "\n" << agent.console();
    }
    unlink((cfg + ".New").c_str());  // so that one found below is this kill's
    const std::string before = testutil::ReadFile(cfg);
    const bool to_left = before == right;
    const std::string& after_save = to_left ? left : right;
    {
      RawConn c(agent.port());
      ASSERT_TRUE(c.ok());
      ASSERT_TRUE(c.Send(SetComment(to_left ? "left" : "right")));
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % (spread_us + 1)));
      kill(agent.pid(), SIGKILL);
      ASSERT_NE(agent.WaitExit(5000), -1);
    }
    const std::string now = testutil::ReadFile(cfg);
    ASSERT_TRUE(now == before || now == after_save)
        << "iteration " << i << ": the configuration is neither the old nor the new file:\n"
        << now;
    (now == before ? kept_old : got_new)++;
    if (testutil::Exists(cfg + ".New")) inside++;  // killed between writing and renaming
    // The kept copy, when there is one, is a whole file too.
    if (testutil::Exists(cfg + ".Old")) {
      const std::string old = testutil::ReadFile(cfg + ".Old");
      EXPECT_TRUE(old == left || old == right) << "iteration " << i << ":\n" << old;
    }
  }
  std::cout << "[ info     ] kills spread over " << spread_us << " us: " << kept_old
            << " kept the old file, " << got_new << " found the new one, " << inside
            << " left a half-done new file\n";

  // The agent starts from whatever the kills left and reports its comment.
  if (agent.pid() <= 0) {
    ASSERT_TRUE(agent.Start()) << agent.console();
  }
  const std::string last = testutil::ReadFile(cfg);
  std::string info = Ask(agent, "GetInfo\n\r");
  EXPECT_NE(info.find(last == left ? "\nComment=left\n" : "\nComment=right\n"), std::string::npos)
      << info;
  // A save that completes clears away a half-written new file of a killed one.
  ASSERT_EQ(Ask(agent, "SetSettings\nComment=final\n\r"), "200\n\r");
  EXPECT_EQ(Entries(agent.dir().path(), "orv.cfg"),
            (std::set<std::string>{"orv.cfg", "orv.cfg.Old"}));
  EXPECT_EQ(testutil::ReadFile(cfg + ".Old"), last);
}

// Saves one after another, then from six clients at once: each leaves the
// file (with its permissions), its ".Old" copy and nothing else.
TEST(ConfigDurabilityTest, CompletedSavesLeaveOnlyTheFileAndItsOldCopy) {
  AgentProcess agent("; kept as it is\r\n");
  const std::string cfg = agent.config_path();
  ASSERT_EQ(chmod(cfg.c_str(), 0640), 0);
  ASSERT_TRUE(agent.Start()) << agent.console();
  // The first request creates the agent's log files; list the folder after it.
  ASSERT_EQ(Ask(agent, "GetInfo\n\r").compare(0, 4, "200\n"), 0);
  std::set<std::string> want = Entries(agent.dir().path(), "");
  want.insert("orv.cfg.Old");
  for (const char* value : {"one", "two"}) {
    const std::string before = testutil::ReadFile(cfg);
    ASSERT_EQ(Ask(agent, std::string("SetSettings\nComment=") + value + "\n\r"), "200\n\r");
    EXPECT_EQ(Entries(agent.dir().path(), ""), want);
    EXPECT_EQ(testutil::ReadFile(cfg + ".Old"), before);
  }

  std::atomic<int> ok{0};
  std::vector<std::thread> savers;
  for (int t = 0; t < 6; ++t) {
    savers.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        std::string value = "saver" + std::to_string(t) + "-" + std::to_string(i);
        if (Ask(agent, "SetSettings\nComment=" + value + "\n\r") == "200\n\r") ok++;
      }
    });
  }
  for (auto& s : savers) s.join();
  EXPECT_EQ(ok.load(), 30);
  const std::string saved = testutil::ReadFile(cfg);
  std::string info = Ask(agent, "GetInfo\n\r");
  size_t at = info.find("\nComment=");
  ASSERT_NE(at, std::string::npos) << info;
  const std::string comment = info.substr(at + 9, info.find('\n', at + 9) - at - 9);
  // The file holds the last value saved, on one line, and loads again.
  size_t line = saved.find("\r\ncomment=" + comment + "\r\n");
  EXPECT_NE(line, std::string::npos) << comment << "\n" << saved;
  EXPECT_EQ(saved.find("comment=", line + 3), std::string::npos) << saved;
  EXPECT_EQ(Ask(agent, "ReloadCfg\n\r"), "200\nOk\n\r");
  EXPECT_NE(Ask(agent, "GetInfo\n\r").find("\nComment=" + comment + "\n"), std::string::npos);
  EXPECT_EQ(Entries(agent.dir().path(), ""), want);
  struct stat st;
  ASSERT_EQ(stat(cfg.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u) << "the saved file lost its permissions";
  ASSERT_EQ(stat((cfg + ".Old").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u) << "the kept copy lost its permissions";
}

}  // namespace
