// The external command action: "ACT-ExternalCmd" has the agent run a command
// line (split into program and arguments, no shell) as an alert action and
// report its exit code.
//
// Request lines: 1 command line (required), 2 working directory (empty: the
// agent's own), 3 an integer that must decode and is otherwise unused,
// 4 time limit in milliseconds (0 waits without end; -1, i.e. 4294967295,
// starts the command without waiting for it).
//
// Thread safety: the handler may run in many session threads at once; it
// holds its own session until the command ends or its time limit passes.
#ifndef ORV_ACTIONS_EXTERNAL_CMD_H_
#define ORV_ACTIONS_EXTERNAL_CMD_H_

#include "agent/handlers.h"

// Declared in agent/handlers.h:
//   void ProcessAct_ExternalCmd(const VQRequest&, ORVReply&);

#endif  // ORV_ACTIONS_EXTERNAL_CMD_H_
