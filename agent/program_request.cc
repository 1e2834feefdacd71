#include "agent/program_request.h"

#include <cstdint>

#include "base/childproc.h"
#include "protocol/value_codec.h"

void RunRequestedProgram(const VQRequest& request, const char* workdir, ORVReply& reply) {
  String cmdline = request.GetParam(1, 1);
  int timelimit = 0;
  if (!orvDecodeInt(request.GetParam(4, 1), &timelimit)) {
    reply.SetResult("501") += "Wrong parameter";
    return;
  }
  if (cmdline.IsEmpty()) {
    reply.SetResult("501") += "Command line to execute is not specified";
    return;
  }
  int exitcode = 0;
  String err;
  if (!SystemEx(cmdline.CStr(), workdir, static_cast<uint32_t>(timelimit), exitcode, err)) {
    reply.SetResult("301") += err;
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(exitcode);
}
