// The dispatcher: turns one decrypted, authenticated request into one reply.
// It splits the command name from the parameter lines, finds the handler by
// exact name in one flat command table, refuses a command whose switch in the
// settings is off ("600" with the command's refusal text, so no handler checks
// its own switch), guards the management and upgrade groups with their
// switches and address lists, runs the management commands itself and
// answers malformed or unknown requests.
//
// Thread safety: runs on session threads, any number at once.
#ifndef ORV_AGENT_DISPATCH_H_
#define ORV_AGENT_DISPATCH_H_

#include "agent/flags.h"
#include "agent/upgrade.h"
#include "protocol/reply.h"
#include "protocol/request.h"

// 1 when the command name was recognised (whatever its outcome), 0 for a
// request without end mark, an empty command or an unknown command.
int ProcessVQRequest(VQRequest& request, ORVReply& reply, TORVFlags& flags, ThreadParams params,
                     UpgradeRec& upgrade);

#endif  // ORV_AGENT_DISPATCH_H_
