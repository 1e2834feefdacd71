// The TCP/UDP send action: "ACT-TCPUDPsend" has the agent send one block of
// data, and optionally a second one after a delay, to a TCP or UDP service
// (to trigger a device or another program). Nothing is read back.
//
// Request lines: 1 host, 2 port, 3 protocol ("0" TCP, anything else UDP),
// 4 first block (escaped multi-line text, required), 5 delay in seconds
// before the second block, 6 second block (may be empty).
//
// Thread safety: the handler may run in many session threads at once; the
// delay holds only the calling session.
#ifndef ORV_ACTIONS_TCP_SEND_H_
#define ORV_ACTIONS_TCP_SEND_H_

#include "agent/handlers.h"

// Declared in agent/handlers.h:
//   void ProcessAct_TCPSend(const VQRequest&, ORVReply&);

#endif  // ORV_ACTIONS_TCP_SEND_H_
