// Client sessions: each accepted connection is served by a detached session
// thread, a new one or one that finished its previous connection within the
// last seconds and waits for the next; a connection never waits for another
// to end. A session
// reads until one whole request packet has arrived, checks and decrypts it,
// has the dispatcher run it, sends the one encrypted reply and closes the
// connection. After an accepted "UpgradeCode" the same connection carries
// the new module before a second reply.
//
// Thread safety: any number of sessions run at once; they share the settings
// snapshot store, the counters of AgentStatus, ORVFlags and the message output.
#ifndef ORV_AGENT_SESSION_H_
#define ORV_AGENT_SESSION_H_

#include "agent/flags.h"

// The thread body: takes ownership of the heap ThreadParams and its socket,
// serves that connection, then the ones handed to it while it waits.
void* ClientExecute(void* params);

// Hands the connection to a waiting session thread or starts a new one. The
// connection holds a slot of SessionAdmission(), given back when its session
// ends. On failure the connection is closed, the slot given back and false
// returned; the agent keeps serving.
bool StartSession(const ThreadParams& params);

#endif  // ORV_AGENT_SESSION_H_
