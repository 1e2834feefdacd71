// The accept path. Every session thread that is not serving a connection
// blocks in accept on the listening socket itself, so the kernel hands a new
// connection straight to the thread that serves it: no hand-over between
// threads. Up to a core count (twice the processors, at least four) a thread
// that takes a connection when no other is left waiting starts one more
// before it serves. Beyond that count, while connections keep being taken a
// finished session finds the next one queued instead of a sleeping thread
// being woken for it; when the main thread, looking every few milliseconds
// while the agent is busy, sees connections queued and none taken since its
// last look, every thread is held by long work (a long test, an upgrade
// transfer, a silent stranger) and it starts more at once. So no request
// waits behind long work for more than a look.
// A thread that waits kAcceptLingerSeconds without a connection ends, and
// while connections keep coming, threads beyond one that all waited during a
// whole second end after their next session. Once none waits and the agent
// is quiet, the main thread watches the listening socket in its
// once-a-second wait and starts a thread when a connection arrives, so an
// idle agent holds the main thread alone and wakes once a second.
//
// Every accepted connection then goes through the same steps as ever: the
// connection-level filter, the "TCP connection accepted" line, the counters
// of AgentStatus, one session.
//
// Thread safety: AcceptOn, StopAccepting, WaitAndWatch and AcceptFailed are
// called by the main thread only; WakeMainThread by any thread or signal
// handler; the session threads share the rest through atomics.
#ifndef ORV_AGENT_ACCEPTOR_H_
#define ORV_AGENT_ACCEPTOR_H_

#include <netinet/in.h>

#include "config/settings.h"

// How long a session thread waits in accept before it ends.
constexpr int kAcceptLingerSeconds = 2;

// Session threads accept on fd from now on (a freshly opened listener).
void AcceptOn(int fd);

// Before fd is closed: no thread accepts on it any more when this returns.
// Threads blocked in accept on it are woken; later ones wait for AcceptOn.
void StopAccepting(int fd);

// The main thread's wait of at most timeout_ms; returns early when woken
// (WakeMainThread, or the last waiting thread while the agent was quiet).
// Meanwhile it starts session threads when a connection waits that no
// thread will take: at once when quiet, after a look without progress when
// busy.
void WaitAndWatch(int timeout_ms);

// Ends the main thread's current wait at once. Async-signal-safe (one write
// to an event counter), so a signal handler may call it once AcceptOn has run.
void WakeMainThread();

// True once a session thread met an accept failure that ends the agent (it
// has reported it).
bool AcceptFailed();

// True when the peer is one of the enabled filter items. Whole items are
// matched, so 127.0.0.1 does not pass a filter that lists only 127.0.0.10.
bool PassesFilter(const TORVSettings& s, in_addr peer);

#endif  // ORV_AGENT_ACCEPTOR_H_
