#include "actions/external_cmd.h"

#include <cstdint>

#include "base/childproc.h"
#include "protocol/value_codec.h"

void ProcessAct_ExternalCmd(const VQRequest& request, ORVReply& reply) {
  String cmdline = request.GetParam(1, 1);
  String workdir = request.GetParam(2, 1);
  int unused = 0;
  int timeout = 0;
  if (!orvDecodeInt(request.GetParam(3, 1), &unused) ||
      !orvDecodeInt(request.GetParam(4, 1), &timeout)) {
    reply.SetResult("501") += "Wrong parameter";
    return;
  }
  if (cmdline.IsEmpty()) {
    reply.SetResult("501") += "Command line to execute is not specified";
    return;
  }
  int exitcode = 0;
  String err;
  // The limit travels as the server wrote it: -1 becomes the no-wait value.
  bool ran = SystemEx(cmdline.CStr(), workdir.IsEmpty() ? nullptr : workdir.CStr(),
                      static_cast<uint32_t>(timeout), exitcode, err);
  if (ran) {
    reply.SetResult("200");
    reply.AddIntParam(exitcode);
  } else {
    reply.SetResult("301") += err;
  }
}
