#include "monitors/net_tests.h"

#include "base/net.h"
#include "protocol/value_codec.h"

namespace {

constexpr int kDefaultTcpTimeoutMs = 120000;

void ReplyWrongParameter(ORVReply& reply) {
  reply.SetResult("501") += "Wrong parameter";
}

void ReplyOutcome(ORVReply& reply, int result, int elapsed, const char* buf, int capacity,
                  const String& err) {
  if (result < 1) {
    reply.SetResult("301");
    reply.AddStringParam(err, 0);
    reply.AddIntParam(result);
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(elapsed);
  String answer;
  if (capacity > 0) answer.CopyData(buf, result);
  reply.AddStringParam(answer, 1);
}

}  // namespace

int ElapsedMs(const struct timeval& start, const struct timeval& end) {
  long long ms = static_cast<long long>(end.tv_sec - start.tv_sec) * 1000 +
                 static_cast<long long>(end.tv_usec - start.tv_usec) / 1000;
  return static_cast<int>(ms);
}

int NetTestCapacity(int requested) {
  if (requested <= 0) return 0;
  return requested > kNetTestBufferSize ? kNetTestBufferSize : requested;
}

void ProcessTest_TCP(const VQRequest& request, ORVReply& reply) {
  String host = request.GetParam(1, 1);
  String data = orvDecodeStrings(request.GetParam(4, 0));
  int port = 0;
  int timeout = 0;
  int capacity = 0;
  if (!orvDecodePort(request.GetParam(2, 1), &port) ||
      !orvDecodeInt(request.GetParam(3, 1), &timeout) ||
      !orvDecodeInt(request.GetParam(5, 1), &capacity)) {
    ReplyWrongParameter(reply);
    return;
  }
  if (timeout == 0) timeout = kDefaultTcpTimeoutMs;
  capacity = NetTestCapacity(capacity);

  char buf[kNetTestBufferSize];
  String err;
  struct timeval start, end;
  gettimeofday(&start, nullptr);
  int result = SendReceiveTCPPacket(host.CStr(), port, timeout, data.Data(), buf, data.Length(),
                                    capacity, err);
  gettimeofday(&end, nullptr);
  ReplyOutcome(reply, result, ElapsedMs(start, end), buf, capacity, err);
}

void ProcessTest_UDP(const VQRequest& request, ORVReply& reply) {
  String host = request.GetParam(1, 1);
  String data = orvDecodeStrings(request.GetParam(5, 0));
  int port = 0;
  int timeout = 0;
  int attempts = 0;
  int capacity = 0;
  if (!orvDecodePort(request.GetParam(2, 1), &port) ||
      !orvDecodeInt(request.GetParam(3, 1), &timeout) ||
      !orvDecodeInt(request.GetParam(4, 1), &attempts) ||
      !orvDecodeInt(request.GetParam(6, 1), &capacity)) {
    ReplyWrongParameter(reply);
    return;
  }
  // A count below 1 cannot mean anything: no attempt would be made.
  if (attempts < 1 || data.IsEmpty()) {
    ReplyWrongParameter(reply);
    return;
  }
  int seconds = timeout / 1000;
  if (seconds < 1) seconds = 1;
  capacity = NetTestCapacity(capacity);

  char buf[kNetTestBufferSize];
  String err;
  int result = 0;
  struct timeval start, end;
  for (int i = 0; i < attempts; ++i) {
    gettimeofday(&start, nullptr);
    result = SendReceiveUDPPacket(host.CStr(), port, seconds, data.Data(), buf, data.Length(),
                                  capacity, err);
    gettimeofday(&end, nullptr);
    if (result > 0) break;
  }
  ReplyOutcome(reply, result, ElapsedMs(start, end), buf, capacity, err);
}
