// What the agent tells a server about itself, and the remote settings
// commands: "GetInfo" (GetAgentStatus), "GetSettings" (GetAgentSettings) and
// "SetSettings" (SetAgentSettings).
//
// Thread safety: the handlers run on session threads. The counters are
// atomics, changed by every writer (the accept loop, session start and end)
// with atomic increments and decrements and never under a lock; a reply may
// show counts a moment old. SetAgentSettings changes the
// settings through ORVSettings.ChangeAndSave, so readers never see a record
// half-changed.
#ifndef ORV_AGENT_AGENT_INFO_H_
#define ORV_AGENT_AGENT_INFO_H_

#include <atomic>

#include "protocol/reply.h"
#include "protocol/request.h"

struct TAgentStatus {
  const char* Tag;
  const char* AgentName;
  const char* AgentPlatform;
  const char* AgentVersion;
  const char* AgentDeveloper;
  int Service;
  int Active;
  std::atomic<int> ActiveConnections;
  std::atomic<int> OpenedConnections;
  std::atomic<int> FailedConnections;
};

extern TAgentStatus AgentStatus;

void GetAgentStatus(const VQRequest& request, ORVReply& reply);
void GetAgentSettings(const VQRequest& request, ORVReply& reply);
void SetAgentSettings(const VQRequest& request, ORVReply& reply);

#endif  // ORV_AGENT_AGENT_INFO_H_
