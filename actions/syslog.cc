#include "actions/syslog.h"

#include <cstdio>

#include "agent/handlers.h"
#include "base/net.h"
#include "protocol/value_codec.h"

const char kSyslogTag[] = "TZ ORV";

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

String CDateTime(const struct tm& t) {
  const char* month = (t.tm_mon >= 0 && t.tm_mon < 12) ? kMonths[t.tm_mon] : "???";
  char clock[64];
  snprintf(clock, sizeof clock, "%2.2d %2.2d:%2.2d:%2.2d", t.tm_mday, t.tm_hour, t.tm_min,
           t.tm_sec);
  // The receiving daemons expect the day in two columns, blank-padded.
  if (clock[0] == '0') clock[0] = ' ';
  return String(month) + " " + clock;
}

String CDateTime() {
  time_t now = time(nullptr);
  struct tm t = {};
  localtime_r(&now, &t);
  return CDateTime(t);
}

String BuildSyslogPacket(int facility, TSyslogSeverity severity, const String& stamp,
                         const String& myaddr, const char* tag, const String& message) {
  // Facility is taken as the server sent it; 64-bit arithmetic keeps a silly
  // value from overflowing.
  long long priority = static_cast<long long>(facility) * 8 + static_cast<int>(severity);
  char head[32];
  snprintf(head, sizeof head, "<%lld>", priority);
  String packet = head;
  packet += stamp;
  packet += ' ';
  packet += myaddr;
  packet += ' ';
  packet += tag ? tag : "";
  packet += ": ";
  packet += message;
  return packet;
}

int SendToSysLog(const String& host, int port, int facility, TSyslogSeverity severity,
                 const char* tag, const String& message, String& err) {
  err = "";
  String packet =
      BuildSyslogPacket(facility, severity, CDateTime(), IP2String(GetMyIP()), tag, message);
  String to = host;
  return SendReceiveUDPPacket(to.CStr(), port, 0, packet.Data(), nullptr, packet.Length(), 0, err);
}

void ProcessAct_Syslog(const VQRequest& request, ORVReply& reply) {
  String host = request.GetParam(1, 1);
  String message = orvDecodeStrings(request.GetParam(5, 0));
  int port = 0;
  int facility = 0;
  int severity = 0;
  if (host.IsEmpty() || !orvDecodePort(request.GetParam(2, 1), &port) ||
      !orvDecodeInt(request.GetParam(3, 1), &facility) ||
      !orvDecodeInt(request.GetParam(4, 1), &severity) || severity < slEmergency ||
      severity > slDebug) {
    reply.SetResult("501") += "Wrong parameter";
    return;
  }
  String err;
  int sent = SendToSysLog(host, port, facility, static_cast<TSyslogSeverity>(severity), kSyslogTag,
                          message, err);
  if (sent > 0)
    reply.SetResult("200") += String("Syslog: Data to ") + host + " has been sent";
  else
    reply.SetResult("301") += err;
}
