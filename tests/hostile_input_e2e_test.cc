// The real agent against hostile files and values: what a local user can
// plant in a monitored folder or beside the agent's own files, and what a
// managing server can store in the settings. Each case must do no harm: the
// agent answers (or refuses cleanly), keeps serving and touches nothing it
// was not asked to.
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
