// The real agent against a stranger who captured requests on the wire and
// plays them back: with "replaywindow" on, a request is answered once and
// its copies are refused without a reply, also after the agent has
// re-executed itself; with the window off (the default) every copy is
// answered, as servers that reuse session keys expect.
#include <gtest/gtest.h>

#include <string>

#include "tests/agent_harness.h"

namespace {

using testutil::AgentProcess;
using testutil::Occurrences;

// Plays a request with its own session key to the agent, each time on a new
// connection; the reply text, "" for none.
std::string Play(const AgentProcess& agent, const std::string& text, const std::string& key) {
  testutil::RawConn c(agent.port());
  std::string got;
  if (!c.ok() || !c.Send(testutil::RequestPacket(AgentProcess::kPassword, key, text)) ||
      !c.WaitClosed(10000, &got))
    return "no close";
  return testutil::ReplyText(got, key);
}

TEST(ReplayE2E, CopiesAreRefusedOnlyWithTheWindowOnAlsoAfterReexecution) {
  AgentProcess off, on("replaywindow=60\r\n");
  ASSERT_TRUE(off.Start());
  ASSERT_TRUE(on.Start());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Play(off, "GetInfo\n\r", "captured").compare(0, 4, "200\n"), 0) << i;
    EXPECT_EQ(Play(on, "GetInfo\n\r", "captured").compare(0, 4, "200\n") == 0, i == 0) << i;
  }
  EXPECT_EQ(Play(on, "GetInfo\n\r", "fresh").compare(0, 4, "200\n"), 0);
  // Switched on by a reload, the window holds from the next request.
  testutil::WriteFile(off.config_path(),
                      testutil::ReadFile(off.config_path()) + "replaywindow=60\r\n");
  ASSERT_EQ(off.Query({"ReloadCfg"}).out, "200\nOk\n");
  EXPECT_EQ(Play(off, "GetInfo\n\r", "after reload").compare(0, 4, "200\n"), 0);
  EXPECT_EQ(Play(off, "GetInfo\n\r", "after reload"), "");
  ASSERT_EQ(Play(on, "ReloadApp\n\r", "reload"), "200\nOk\n\r");
  // The same process image is replaced: it says "Listening..." a second time.
  ASSERT_TRUE(
      testutil::Eventually([&] { return Occurrences(on.console(), "Listening...") == 2; }, 10000))
      << on.console();
  ASSERT_TRUE(testutil::PortAnswers(on.port(), 10000));
  EXPECT_EQ(Play(on, "GetInfo\n\r", "captured"), "");
  EXPECT_EQ(Play(on, "ReloadApp\n\r", "reload"), "");  // no reload loop from a captured "ReloadApp"
  EXPECT_TRUE(testutil::Eventually(
      [&] { return Occurrences(on.console(), "<-- Replayed VQ request refused\n") == 4; }, 10000))
      << on.console();
  EXPECT_EQ(Occurrences(on.console(), "Reload request received"), 1u) << on.console();
}

}  // namespace
