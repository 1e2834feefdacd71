#include "agent/agent_info.h"

#include <sys/utsname.h>

#include "config/settings.h"
#include "protocol/value_codec.h"

TAgentStatus AgentStatus = {
    "TzVqOvStRec",
    "TZ Orvane",
    "Linux (Red Hat, Mandrake, SuSE)",
    "1.29",
    "orv project (https://orv.invalid)",
    0,
    0,
    {0},
    {0},
    {0},
};

namespace {

struct TOffer {
  const char* name;
  int TORVSettings::*field;
};

// What the agent offers, in the order a server expects the switch texts.
const TOffer kTests[] = {
    {"TCP", &TORVSettings::TestTCP},
    {"UDP", &TORVSettings::TestUDP},
    {"UNC", &TORVSettings::TestUNC},
    {"Folder Size", &TORVSettings::TestFolderSize},
    {"Count Files", &TORVSettings::TestCountFiles},
    {"File Availability", &TORVSettings::TestFileExists},
    {"File Integrity", &TORVSettings::TestFileCRC},
    {"File Compare", &TORVSettings::TestCompareFiles},
    {"Text Log", &TORVSettings::TestTextLog},
    {"Process", &TORVSettings::TestProcess},
    {"CPU Usage", &TORVSettings::TestCPUUsage},
    {"External", &TORVSettings::TestExternal},
    {"Shell Script", &TORVSettings::TestShellScript},
};

const TOffer kActions[] = {
    {"Execute external command", &TORVSettings::ActExecute},
    {"TCP/UDP send", &TORVSettings::ActTcpUdp},
    {"Syslog", &TORVSettings::ActSyslog},
};

template <size_t N>
void AddOffers(ORVReply& reply, const TORVSettings& s, const TOffer (&offers)[N],
               const char* available, const char* enabled) {
  String names = String(available) + "=";
  String switches;
  for (const TOffer& o : offers) {
    names += o.name;
    names += "\r\n";
    switches += static_cast<char>('0' + (s.*o.field ? 1 : 0));
  }
  reply.AddStringParam(names, 1);
  reply.AddVarParams("%s=%s", enabled, switches.CStr());
}

void AddStatusLines(ORVReply& reply, TORVSettings s) {
  reply.SetResult("200");
  reply.AddVarParams("%s=%s", "AgentName", AgentStatus.AgentName);
  reply.AddVarParams("%s=%s", "AgentPlatform", AgentStatus.AgentPlatform);
  reply.AddVarParams("%s=%s", "AgentVersion", AgentStatus.AgentVersion);
  reply.AddVarParams("%s=%s", "AgentDeveloper", AgentStatus.AgentDeveloper);
  reply.AddVarParams("Service=%s", BoolConst[AgentStatus.Service ? 1 : 0]);
  reply.AddVarParams("Active=%s", BoolConst[AgentStatus.Active ? 1 : 0]);
  reply.AddVarParams("ActiveConnections=%d", AgentStatus.ActiveConnections.load());
  reply.AddVarParams("OpenedConnections=%d", AgentStatus.OpenedConnections.load());
  reply.AddVarParams("FailedConnections=%d", AgentStatus.FailedConnections.load());
  AddOffers(reply, s, kTests, "Available tests", "Enabled tests");
  reply.AddVarParams("%s=%d", "Port", s.Port);
  reply.AddVarParams("%s=%d", "Timeout", s.Timeout);
  reply.AddVarParams("%s=%s", "Comment", s.Comment.CStr());
  AddOffers(reply, s, kActions, "Available actions", "Enabled actions");
  struct utsname u;
  if (uname(&u) == 0) {
    reply.AddVarParams("%s=%s", "HostName", u.nodename);
    reply.AddVarParams("%s=%s %s %s", "RunningOS", u.sysname, u.release, u.version);
    reply.AddVarParams("%s=%s", "OSUpdates", "not implemented");
  }
}

// Every remote name, the field it sets and how its value is decoded.
enum TDecoding { kText, kInt, kBool, kMultiLine };

struct TRemoteSetting {
  const char* name;
  TDecoding decoding;
  String TORVSettings::*text;
  int TORVSettings::*number;
};

#define ORV_TEXT(name, field) {name, kText, &TORVSettings::field, nullptr}
#define ORV_LINES(name, field) {name, kMultiLine, &TORVSettings::field, nullptr}
#define ORV_INT(name, field) {name, kInt, nullptr, &TORVSettings::field}
#define ORV_BOOL(name, field) {name, kBool, nullptr, &TORVSettings::field}

const TRemoteSetting kRemoteSettings[] = {
    ORV_TEXT("Comment", Comment),
    ORV_INT("Port", Port),
    ORV_INT("Timeout", Timeout),
    ORV_TEXT("Password", Password),
    ORV_BOOL("LogOkConn", LogSuccess),
    ORV_BOOL("LogBadConn", LogFails),
    ORV_TEXT("OkLogFile", OkLogFile),
    ORV_TEXT("BadLogFile", BadLogFile),
    ORV_BOOL("Ping", TestPing),
    ORV_BOOL("TCP", TestTCP),
    ORV_BOOL("UDP", TestUDP),
    ORV_BOOL("UNC", TestUNC),
    ORV_BOOL("Drive Space", TestFreeSpace),
    ORV_BOOL("Folder Size", TestFolderSize),
    ORV_BOOL("Count Files", TestCountFiles),
    ORV_BOOL("File Availability", TestFileExists),
    ORV_BOOL("File Compare", TestCompareFiles),
    ORV_BOOL("Text Log", TestTextLog),
    ORV_BOOL("File Integrity", TestFileCRC),
    ORV_BOOL("Process", TestProcess),
    ORV_BOOL("Service", TestService),
    ORV_BOOL("NT Event Log", TestNTEventLog),
    ORV_BOOL("CPU Usage", TestCPUUsage),
    ORV_BOOL("Perf Counter", TestPerfCounter),
    ORV_BOOL("Script", TestScript),
    ORV_BOOL("External", TestExternal),
    ORV_BOOL("SNMP", TestSNMP),
    ORV_BOOL("Execute external command", ActExecute),
    ORV_BOOL("TCP/UDP send", ActTcpUdp),
    ORV_BOOL("Syslog", ActSyslog),
    ORV_BOOL("IPFiltering", FilterActive),
    ORV_LINES("IPFilterAddr", FilterList),
    ORV_TEXT("IPFilterMarks", FilterMarks),
    ORV_BOOL("AllowUpdates", AllowUpdates),
    ORV_BOOL("AllowRManage", AllowManage),
    ORV_TEXT("UpdateAddr", UpdateAddr),
    ORV_TEXT("ManageAddr", ManageAddr),
};

#undef ORV_TEXT
#undef ORV_LINES
#undef ORV_INT
#undef ORV_BOOL

void ApplyRemoteSetting(TORVSettings& s, const String& name, const String& value) {
  for (const TRemoteSetting& r : kRemoteSettings) {
    if (name != r.name) continue;
    switch (r.decoding) {
      case kText: s.*r.text = value; break;
      case kMultiLine: s.*r.text = orvDecodeStrings(value); break;
      case kInt: s.*r.number = orvDecodeInt(value); break;
      case kBool: s.*r.number = orvDecodeBool(value); break;
    }
  }
}

}  // namespace

void GetAgentStatus(const VQRequest&, ORVReply& reply) { AddStatusLines(reply, *ORVSettings.Get()); }

void GetAgentSettings(const VQRequest&, ORVReply& reply) {
  TORVSettings s = *ORVSettings.Get();  // one snapshot for both parts of the reply
  AddStatusLines(reply, s);
  reply.AddVarParams("%s=%s", "LogOkConn", BoolConst[s.LogSuccess ? 1 : 0]);
  reply.AddVarParams("%s=%s", "LogBadConn", BoolConst[s.LogFails ? 1 : 0]);
  reply.AddVarParams("%s=%s", "OkLogFile", s.OkLogFile.CStr());
  reply.AddVarParams("%s=%s", "BadLogFile", s.BadLogFile.CStr());
  reply.AddVarParams("%s=%s", "Password", s.Password.CStr());
  reply.AddVarParams("%s=%s", "IPFiltering", BoolConst[s.FilterActive ? 1 : 0]);
  reply.AddStringParam(String("IPFilterAddr=") + s.FilterList, 1);
  reply.AddVarParams("%s=%s", "IPFilterMarks", s.FilterMarks.CStr());
  reply.AddVarParams("%s=%s", "AllowUpdates", BoolConst[s.AllowUpdates ? 1 : 0]);
  reply.AddVarParams("%s=%s", "AllowRManage", BoolConst[s.AllowManage ? 1 : 0]);
  reply.AddVarParams("%s=%s", "UpdateAddr", s.UpdateAddr.CStr());
  reply.AddVarParams("%s=%s", "ManageAddr", s.ManageAddr.CStr());
}

void SetAgentSettings(const VQRequest& request, ORVReply& reply) {
  auto apply = [&request](TORVSettings& s) {
    const TStrList params = request.GetParams(1);
    for (int i = 0; i < params.Count(); ++i) {
      String param = params[i];
      int eq = param.Pos('=');
      if (eq == 0) continue;
      String name = param.Copy(1, eq - 1);
      String value = param.Copy(eq + 1, param.Length() - eq);
      ApplyRemoteSetting(s, name.Trim(), value.Trim());
    }
  };
  String err;
  if (ORVSettings.ChangeAndSave(apply, err)) {
    reply.SetResult("200");
  } else {
    reply.SetResult("300") += err;
  }
}
