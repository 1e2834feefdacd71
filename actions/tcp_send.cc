#include "actions/tcp_send.h"

#include <cerrno>
#include <ctime>

#include "base/net.h"
#include "protocol/value_codec.h"

namespace {

// Sleeps whole seconds, resuming after signals until the time has passed.
void SleepSeconds(int seconds) {
  struct timespec left = {seconds, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

void ProcessAct_TCPSend(const VQRequest& request, ORVReply& reply) {
  String host = request.GetParam(1, 1);
  String first = orvDecodeStrings(request.GetParam(4, 0));
  String second = orvDecodeStrings(request.GetParam(6, 0));
  String protocol = request.GetParam(3, 1);
  int port = 0;
  int delay = 0;
  if (host.IsEmpty() || first.IsEmpty() || !orvDecodePort(request.GetParam(2, 1), &port) ||
      !orvDecodeInt(request.GetParam(5, 1), &delay)) {
    reply.SetResult("501") += "Wrong parameter";
    return;
  }

  TSyncSocket sock(protocol == "0" ? 1 : 2);
  // Time-out 0: a blocking connect for TCP; for UDP it only fixes the peer.
  if (sock.Connect(host.CStr(), port, 0) != 1) {
    reply.SetResult("301") += sock.LastError;
    return;
  }
  if (sock.SendString(first, 0) <= 0) {
    reply.SetResult("301") += sock.LastError;
    return;
  }
  if (!second.IsEmpty()) {
    if (delay > 0) SleepSeconds(delay);
    // The first block is what the server asked to be delivered; a failure of
    // the follow-up does not change the outcome.
    sock.SendString(second, 0);
  }
  reply.SetResult("200") += "Data has been sent";
}
