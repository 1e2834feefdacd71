// The syslog action: "ACT-Syslog" has the agent send one message to a syslog
// daemon as a single UDP datagram in the BSD syslog format
//   <PRI>Mmm dd hh:mm:ss HOST TAG: MESSAGE
// where PRI is facility * 8 + severity, the time stamp is local time with the
// day of month padded by a blank, and HOST is this host's own IPv4 address.
// Nothing is awaited from the daemon.
//
// Thread safety: every function may run in many session threads at once.
#ifndef ORV_ACTIONS_SYSLOG_H_
#define ORV_ACTIONS_SYSLOG_H_

#include <ctime>

#include "base/bytestring.h"

// The syslog severities, from the most to the least urgent.
enum TSyslogSeverity {
  slEmergency = 0,
  slAlert = 1,
  slCritical = 2,
  slError = 3,
  slWarning = 4,
  slNotice = 5,
  slInformational = 6,
  slDebug = 7,
};

// The tag every message of this agent carries.
extern const char kSyslogTag[];

// The time stamp of a syslog message for the present moment, local time:
// "Mmm dd hh:mm:ss" with a leading zero of the day replaced by a blank.
String CDateTime();
// The same for a given broken-down time (month 0-11 as in struct tm; a month
// outside that range gives "???").
String CDateTime(const struct tm& t);

// The whole datagram: "<PRI>", stamp, blank, host address, blank, tag, ": ",
// message. PRI is computed without overflow for any facility.
String BuildSyslogPacket(int facility, TSyslogSeverity severity, const String& stamp,
                         const String& myaddr, const char* tag, const String& message);

// Sends one syslog datagram to host:port, stamped now and naming this host by
// its own address (0.0.0.0 when the host's name does not resolve). Returns
// the bytes sent when above 0, else 0 or a negative network code with err set
// (the codes and texts of base/net.h).
int SendToSysLog(const String& host, int port, int facility, TSyslogSeverity severity,
                 const char* tag, const String& message, String& err);

#endif  // ORV_ACTIONS_SYSLOG_H_
