#include "actions/external_cmd.h"

#include "agent/program_request.h"
#include "protocol/value_codec.h"

void ProcessAct_ExternalCmd(const VQRequest& request, ORVReply& reply) {
  // Line 3 means nothing here, but a server must still send a number in it.
  int unused = 0;
  if (!orvDecodeInt(request.GetParam(3, 1), &unused)) {
    reply.SetResult("501") += "Wrong parameter";
    return;
  }
  String workdir = request.GetParam(2, 1);
  RunRequestedProgram(request, workdir.IsEmpty() ? nullptr : workdir.CStr(), reply);
}
