// TCP and UDP tests: the agent sends an optional block of data to a host and
// port, optionally waits for one answer, and reports the time it took and the
// bytes received.
//
// "TEST-TCP" lines: 1 host, 2 port, 3 time-out in ms (0 means 120000), 4 data
// (encoded multi-line text, may be empty: connect only), 5 receive capacity
// (cut to 8192; 0 or less: do not wait for an answer).
// "TEST-UDP" lines: 1 host, 2 port, 3 time-out in ms (used in whole seconds,
// at least 1), 4 number of attempts (above 0), 5 data (must not be empty),
// 6 receive capacity (as for TCP).
//
// Replies: "600" "test is not allowed" when "tcp" / "udp" is off; "501"
// "Wrong parameter" for a number that does not decode, a port outside
// 0..65535, or (UDP) an attempt count below 1 or empty data; "200", the
// elapsed milliseconds (int) and the received bytes (encoded string, empty
// when no answer was asked for); "301", the network error text (not encoded)
// and the network result code (0 time-out, -2 to -6).
//
// Thread safety: the handlers may run in many session threads at once.
#ifndef ORV_MONITORS_NET_TESTS_H_
#define ORV_MONITORS_NET_TESTS_H_

#include <sys/time.h>

#include "agent/handlers.h"

// Declared in agent/handlers.h:
//   void ProcessTest_TCP(const VQRequest&, ORVReply&);
//   void ProcessTest_UDP(const VQRequest&, ORVReply&);

// The receive buffer of both tests, and so the largest answer reported.
constexpr int kNetTestBufferSize = 8192;

// Milliseconds from start to end: whole seconds times 1000 plus the
// microsecond difference divided by 1000 (truncated toward zero).
int ElapsedMs(const struct timeval& start, const struct timeval& end);

// The receive capacity actually used: at most kNetTestBufferSize, 0 for
// "do not wait for an answer".
int NetTestCapacity(int requested);

#endif  // ORV_MONITORS_NET_TESTS_H_
