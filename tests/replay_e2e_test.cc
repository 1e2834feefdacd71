// The real agent against a stranger who captured requests on the wire and
// plays them back: with "replaywindow" on, a request is answered once and
// its copies are refused without a reply, also after the agent has
// re-executed itself; with the window off (the default) every copy is
// answered, as servers that reuse session keys expect.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/agent_harness.h"
#include "tests/agent_probe.h"

namespace {

using testutil::AgentProcess;
using testutil::RawConn;

// A request as a server sends it; every server request has its own key.
struct TCaptured {
  std::string key;
  std::string bytes;
};

TCaptured Packet(const std::string& text, const std::string& key) {
  return {key, testutil::RequestPacket(AgentProcess::kPassword, key, text)};
}

// Sends the bytes on a new connection; the reply text, "" for none.
std::string Play(const AgentProcess& agent, const TCaptured& packet) {
  RawConn c(agent.port());
  std::string got;
  if (!c.ok() || !c.Send(packet.bytes) || !c.WaitClosed(5000, &got)) return "no close";
  return testutil::ReplyText(got, packet.key);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool Eventually(const std::function<bool()>& done, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return true;
}

TEST(ReplayE2E, ACapturedRequestIsRefusedOnlyWithTheWindowOn) {
  struct Case {
    const char* name;
    const char* config;
    bool copies_answered;
  } cases[] = {
      {"window off (built-in default)", "", true},
      {"window of 60 s", "replaywindow=60\r\n", false},
  };
  for (const Case& c : cases) {
    AgentProcess agent(c.config);
    ASSERT_TRUE(agent.Start()) << c.name;
    const TCaptured captured = Packet("GetInfo\n\r", "captured-key");
    EXPECT_EQ(Play(agent, captured).compare(0, 4, "200\n"), 0) << c.name;
    for (int copy = 0; copy < 2; ++copy) {
      std::string reply = Play(agent, captured);
      EXPECT_EQ(reply.compare(0, 4, "200\n") == 0, c.copies_answered) << c.name << ": " << reply;
      if (!c.copies_answered) {
        EXPECT_EQ(reply, "") << c.name;
      }
    }
    if (!c.copies_answered) {
      EXPECT_TRUE(Eventually(
          [&] { return Count(agent.console(), "<-- Replayed VQ request refused\n") == 2; }, 3000))
          << agent.console();
    }
    // A request under a fresh session key is answered either way.
    EXPECT_EQ(testutil::Ask(agent.port(), AgentProcess::kPassword, "GetInfo\n\r").compare(0, 4, "200\n"), 0)
        << c.name;
  }
}

TEST(ReplayE2E, TheWindowSurvivesTheAgentsReexecution) {
  AgentProcess agent("replaywindow=60\r\n");
  ASSERT_TRUE(agent.Start());
  const TCaptured info = Packet("GetInfo\n\r", "key-1");
  const TCaptured reload = Packet("ReloadApp\n\r", "key-2");
  ASSERT_EQ(Play(agent, info).compare(0, 4, "200\n"), 0);
  ASSERT_EQ(Play(agent, reload).compare(0, 4, "200\n"), 0);
  // The same process image is replaced: it says "Listening..." a second time.
  ASSERT_TRUE(Eventually([&] { return Count(agent.console(), "Listening...") == 2; }, 10000))
      << agent.console();
  ASSERT_TRUE(testutil::PortAnswers(agent.port(), 5000));
  EXPECT_EQ(Play(agent, info), "");
  EXPECT_EQ(Play(agent, reload), "");  // no reload loop from a captured "ReloadApp"
  EXPECT_TRUE(Eventually(
      [&] { return Count(agent.console(), "<-- Replayed VQ request refused\n") == 2; }, 3000))
      << agent.console();
  EXPECT_EQ(Count(agent.console(), "Reload request received"), 1u) << agent.console();
}

}  // namespace
