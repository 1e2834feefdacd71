// Run-time messages: one function, showmessage, formats an event once, prints
// it on the console in interactive mode and appends it to up to three log
// files chosen by the event's class and the settings.
//
// Console line: "[orv][hh:mm:ss]\t <address>\t <message>"; file line:
// "[mm/dd/yyyy hh:mm:ss]\t <address>\t <message>". The address column is the
// peer's dotted address, or "orv\t" for LOCAL. Messages carry their own line
// ends; texts are cut at 511 bytes. Identical messages repeated in a burst
// are written a few times and then summarised (see ReportSuppressedMessages).
//
// Thread safety: showmessage may be called from any thread; showmutex
// serialises whole calls so that lines never interleave.
#ifndef ORV_AGENT_LOGGING_H_
#define ORV_AGENT_LOGGING_H_

#include <netinet/in.h>

#include <mutex>

#include "base/bytestring.h"

enum MsgType : int {
  msgOk = 0,     // a success: ok log when "logsuccess" is on
  msgBad = 1,    // a failure or refusal: bad log when "logfails" is on
  msgDebug = 2,  // a trace, dropped unless started with -vd
  msgInfo = 3,   // an informational event: neither the ok nor the bad log
};

// The address of messages that concern no client (0.0.0.0).
extern const in_addr LOCAL;
extern std::mutex showmutex;

// With args non-zero, format is a printf format expanded with the further
// arguments; with args zero it is taken literally.
void showmessage(const char* format, in_addr peer, MsgType type, int args = 0, ...);

// Repeated identical messages (same class, address and text) are written at
// most TRepeatLimiter::kBurst times per TRepeatLimiter::kWindowSeconds; the
// copies left out are reported afterwards as one line "N similar messages
// suppressed" with the same class and address. Called by the main loop (one
// thread only) on every pass, this writes, at most once a second, the
// reports of windows that have ended.
void ReportSuppressedMessages();

// Appends one line to one log file. A name without a directory is taken
// relative to the configuration file's directory. Unopenable files are
// skipped. Takes no lock: callers hold showmutex.
void writelog(String filename, const char* line, const char* configfile);

#endif  // ORV_AGENT_LOGGING_H_
