// Starts the real agent on a free port with a generated configuration and
// talks to it, for the end-to-end tests. Every agent started here is stopped
// by its pid when the harness goes away.
#ifndef ORV_TESTS_AGENT_HARNESS_H_
#define ORV_TESTS_AGENT_HARNESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/testutil.h"

namespace testutil {

struct OrvqResult {
  int status = -1;  // exit status of orvq
  std::string out;  // its standard output
  std::string err;  // its standard error
};

// Runs build/orvq with the arguments; bounded by timeout_ms.
OrvqResult RunOrvq(const std::vector<std::string>& args, int timeout_ms = 20000);

// A free TCP port on 127.0.0.1 (free when asked; the caller binds it soon).
int FreePort();

class AgentProcess {
 public:
  static constexpr const char* kPassword = "e2e-secret";

  // config_extra: more lines for the configuration file (they come after the
  // generated ones, so they win for repeated keys).
  explicit AgentProcess(const std::string& config_extra = "",
                        const std::vector<std::string>& flags = {"-i", "-v"});
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // Starts the agent and waits until it accepts connections. False when it
  // exits or does not listen within the time limit.
  bool Start(int timeout_ms = 15000);
  // Waits for the agent to exit; its exit status, or -1 on time-out.
  int WaitExit(int timeout_ms);
  // Stops the agent (SIGTERM, then SIGKILL) and reaps it.
  void Stop();

  // One request through orvq with this agent's port and password.
  OrvqResult Query(const std::vector<std::string>& command_and_params,
                   const std::string& password = kPassword);

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const TempDir& dir() const { return dir_; }
  std::string config_path() const { return dir_.File("orv.cfg"); }
  std::string console() const;  // what the agent printed so far

 private:
  TempDir dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::vector<std::string> flags_;
};

// The agent's private folder ("orv-" and six characters) inside the
// temporary folder folder; empty when there is none.
std::string PrivateTmpIn(const std::string& folder);

// Connects to 127.0.0.1:port; true when something accepts within timeout_ms.
bool PortAnswers(int port, int timeout_ms);
// True when process pid holds a socket listening on TCP port: an agent that
// lost its port must not be taken for whoever has it.
bool ListensOn(pid_t pid, int port);
// The process holding the socket listening on TCP port, or 0.
pid_t PidListeningOn(int port);

}  // namespace testutil

#endif  // ORV_TESTS_AGENT_HARNESS_H_
