// Client sessions: one accepted connection served on the calling thread
// (a session thread of the accept path). A session reads until one whole
// request packet has arrived, checks and decrypts it, has the dispatcher run
// it, sends the one encrypted reply and closes the connection. After an
// accepted "UpgradeCode" the same connection carries the new module before a
// second reply.
//
// Thread safety: any number of sessions run at once; they share the settings
// snapshot store, the counters of AgentStatus, ORVFlags and the message output.
#ifndef ORV_AGENT_SESSION_H_
#define ORV_AGENT_SESSION_H_

#include "agent/flags.h"

// Serves the connection (taking ownership of its socket and of the slot of
// SessionAdmission() it holds, given back at the end) and keeps the
// connection counters of AgentStatus; when the session ends with an upgrade
// handed over, raises Upgrade for the main loop.
void ServeConnection(const ThreadParams& params);

#endif  // ORV_AGENT_SESSION_H_
