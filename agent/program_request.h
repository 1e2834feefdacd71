// The part shared by the requests that run a program the server names (the
// external program test and the external command action): line 1 is the
// command line, line 4 the time limit in milliseconds.
//
// Thread safety: runs on session threads, any number at once.
#ifndef ORV_AGENT_PROGRAM_REQUEST_H_
#define ORV_AGENT_PROGRAM_REQUEST_H_

#include "protocol/reply.h"
#include "protocol/request.h"

// Runs the command line of the request in workdir (null: the agent's own
// folder) within its time limit (-1 travels as the no-wait value) and
// answers "200" and the exit code, or "301" and why it could not run; a time
// limit that is not a number or an empty command line is answered "501".
void RunRequestedProgram(const VQRequest& request, const char* workdir, ORVReply& reply);

#endif  // ORV_AGENT_PROGRAM_REQUEST_H_
