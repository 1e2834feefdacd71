#include "agent/dispatch.h"

#include "agent/addrlist.h"
#include "agent/handlers.h"
#include "agent/logging.h"
#include "agent/agent_info.h"
#include "config/settings.h"
#include "protocol/value_codec.h"

namespace {

// Who may run a command.
enum TGroup {
  kOpen,    // every authenticated server; the handler checks its own switch
  kManage,  // "allowmanage" and the "manageaddr" list
  kUpdate,  // "allowupdates" and the "updateaddr" list
};

struct TDispatchContext {
  const VQRequest& params;  // the parameter lines only
  ORVReply& reply;
  TORVFlags& flags;
  ThreadParams peer;
  UpgradeRec& upgrade;
};

using TContextHandler = void (*)(TDispatchContext&);

void ReloadCfg(TDispatchContext& c) {
  String err;
  if (ORVSettings.LoadOptions(err))
    c.reply.SetResult("200") += "Ok";
  else
    c.reply.SetResult("300") += err;
}

void Quit(TDispatchContext& c) {
  c.reply.SetResult("200") += "Ok";
  c.flags.Terminate = 1;
}

void ReloadApp(TDispatchContext& c) {
  c.reply.SetResult("200") += "Ok";
  c.flags.Reload = 1;
}

void GetSettings(TDispatchContext& c) { GetAgentSettings(c.params, c.reply); }
void SetSettings(TDispatchContext& c) { SetAgentSettings(c.params, c.reply); }

// Module lengths accepted by "UpgradeCode": above 100 bytes, below 10 MiB.
constexpr long long kMinModule = 100;
constexpr long long kMaxModule = 10485760;

void UpgradeCode(TDispatchContext& c) {
  if (!c.upgrade.RequestUpgrade(c.params.GetSessionKey())) {
    c.reply.SetResult("302");
    return;
  }
  long long length = orvDecodeInt64(c.params.GetParam(1, 1));
  if (length <= kMinModule || length >= kMaxModule) {
    c.upgrade.ClearanceUpgrade();
    c.reply.SetResult("501") += "Wrong file parameter(s)";
    return;
  }
  c.upgrade.FileSize = length;
  String err;
  if (DoUpgrading(c.upgrade, nullptr, 0, err))
    c.reply.SetResult("200");
  else
    c.reply.SetResult("300") += err;
}

struct TCommand {
  const char* name;
  TGroup group;
  THandler handler;         // set for plain handlers
  TContextHandler special;  // set for commands that need the session's context
};

// The whole protocol at a glance. Names are compared exactly, in this order.
const TCommand kCommands[] = {
    // Tests: each handler answers "600" itself when its switch is off.
    {"TEST-UNC", kOpen, ProcessTest_UNC, nullptr},                // "unc"
    {"TEST-DiskSpace", kOpen, ProcessTest_DiskSpace, nullptr},    // not on this platform
    {"TEST-FolderSize", kOpen, ProcessTest_FolderSize, nullptr},  // "foldersize"
    {"TEST-FileExists", kOpen, ProcessTest_FileExists, nullptr},  // "fileexists"
    {"TEST-FileCompare", kOpen, ProcessTest_FileCompare, nullptr},  // "comparefiles"
    {"TEST-FileCRC", kOpen, ProcessTest_FileCRC, nullptr},        // "filecrc"
    {"TEST-CountFiles", kOpen, ProcessTest_CountFiles, nullptr},  // "countfiles"
    {"TEST-Process", kOpen, ProcessTest_Process, nullptr},        // "process"
    {"TEST-Service", kOpen, ProcessTest_Service, nullptr},        // not on this platform
    {"TEST-NTLog", kOpen, ProcessTest_NTLog, nullptr},            // not on this platform
    {"TEST-CPU", kOpen, ProcessTest_CPU, nullptr},                // "cpuusage"
    {"TEST-PerfCounter", kOpen, ProcessTest_Perf, nullptr},       // not on this platform
    {"TEST-Script", kOpen, ProcessTest_Script, nullptr},          // not implemented
    {"TEST-SNMP", kOpen, ProcessTest_SNMP, nullptr},              // not implemented
    {"TEST-ExternalPrg", kOpen, ProcessTest_External, nullptr},   // "external"
    {"TEST-Ping", kOpen, ProcessTest_Ping, nullptr},              // not implemented
    {"TEST-TCP", kOpen, ProcessTest_TCP, nullptr},                // "tcp"
    {"TEST-UDP", kOpen, ProcessTest_UDP, nullptr},                // "udp"
    {"TEST-TextLog", kOpen, ProcessTest_TextLog, nullptr},        // "textlog"
    {"TEST-TextLog2", kOpen, ProcessTest_TextLog2, nullptr},      // "textlog"
    {"TEST-ShellScript", kOpen, ProcessTest_ShellScript, nullptr},  // "shellscript"
    // Actions: each answers "600" itself when its switch is off.
    {"ACT-ExternalCmd", kOpen, ProcessAct_ExternalCmd, nullptr},  // "executeaction"
    {"ACT-TCPUDPsend", kOpen, ProcessAct_TCPSend, nullptr},       // "tcpudpaction"
    {"ACT-Syslog", kOpen, ProcessAct_Syslog, nullptr},            // "syslogaction"
    // Information queries.
    {"GetProcessesList", kOpen, ProcessInfo_ProcessesList, nullptr},      // "process"
    {"GetServicesList", kOpen, ProcessInfo_ServicesList, nullptr},        // not on this platform
    {"GetEventLogFiles", kOpen, ProcessInfo_EventLogFiles, nullptr},      // not on this platform
    {"GetEventLogSources", kOpen, ProcessInfo_EventLogSources, nullptr},  // not on this platform
    {"GetDriveList", kOpen, ProcessInfo_GetDriveList, nullptr},           // not implemented
    {"GetFilesList", kOpen, ProcessInfo_GetFileList, nullptr},  // any of the file switches
    {"GetInfo", kOpen, GetAgentStatus, nullptr},                // always answered
    // Remote management.
    {"ReloadCfg", kManage, nullptr, ReloadCfg},
    {"ReloadApp", kManage, nullptr, ReloadApp},
    {"QUIT", kManage, nullptr, Quit},
    {"GetSettings", kManage, nullptr, GetSettings},
    {"SetSettings", kManage, nullptr, SetSettings},
    // Remote upgrade: the module follows on the same connection.
    {"UpgradeCode", kUpdate, nullptr, UpgradeCode},
};

bool Allowed(TGroup group, in_addr peer) {
  if (group == kOpen) return true;
  std::shared_ptr<const TORVSettings> s = ORVSettings.Get();
  String unused;
  if (group == kManage) return s->AllowManage && IPAllowed(peer.s_addr, s->ManageAddr, unused);
  return s->AllowUpdates && IPAllowed(peer.s_addr, s->UpdateAddr, unused);
}

}  // namespace

int ProcessVQRequest(VQRequest& request, ORVReply& reply, TORVFlags& flags, ThreadParams params,
                     UpgradeRec& upgrade) {
  const in_addr peer = params.ClientAddr;
  if (request.Pos('\r') == 0) {
    showmessage("EndOfTransmission signal missed\n", peer, msgBad);
    reply.SetResult("502") += "EndOfTransmission signal missed";
    return 0;
  }

  int lf = request.Pos('\n');
  String command = lf ? request.Copy(1, lf - 1) : String(request);
  command.Trim();
  VQRequest parameters;
  if (lf) parameters = request.Copy(lf + 1, request.Length() - lf);
  parameters.InheritSession(request);

  if (command.Length() == 0) {
    showmessage("Void request received\n", peer, msgBad);
    reply.SetResult("500") += "Void request received";
    return 0;
  }

  for (const TCommand& c : kCommands) {
    if (command != c.name) continue;
    if (!Allowed(c.group, peer)) {
      reply.SetResult("600") += "Operation is not allowed";
      return 1;
    }
    if (c.handler) {
      c.handler(parameters, reply);
    } else {
      TDispatchContext context{parameters, reply, flags, params, upgrade};
      c.special(context);
    }
    return 1;
  }

  command.SetZero();
  showmessage("Unknown command \"%s\"\n", peer, msgBad, 1, command.Data());
  reply.SetResult("500") += String("Unknown command \"") + command + "\"";
  return 0;
}
