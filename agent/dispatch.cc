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
  kOpen,    // every authenticated server, unless the command's own switch is off
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

// A command's own switch in the settings; null for commands always answered.
using TEnabled = bool (*)(const TORVSettings&);

template <int TORVSettings::*Switch>
bool On(const TORVSettings& s) {
  return s.*Switch != 0;
}

// The file list serves every file test and the text log tests.
bool AnyFileTest(const TORVSettings& s) {
  return s.TestFolderSize || s.TestCountFiles || s.TestFileExists || s.TestFileCRC ||
         s.TestCompareFiles || s.TestTextLog;
}

// What a server gets when a command's switch is off ("600" and this text).
constexpr const char* kTestRefused = "test is not allowed";
constexpr const char* kActionRefused = "operation is not allowed";

struct TCommand {
  const char* name;
  TGroup group;
  THandler handler;         // set for plain handlers
  TContextHandler special;  // set for commands that need the session's context
  TEnabled enabled;         // the command's switch; null: no switch
  const char* refusal;      // the text after "600" when the switch is off
};

using S = TORVSettings;

// The whole protocol at a glance. Names are compared exactly, in this order.
// A command whose switch is off is refused here, before its handler runs.
const TCommand kCommands[] = {
    // Tests.
    {"TEST-UNC", kOpen, ProcessTest_UNC, nullptr, On<&S::TestUNC>, kTestRefused},
    {"TEST-DiskSpace", kOpen, ProcessTest_DiskSpace, nullptr, nullptr, nullptr},
    {"TEST-FolderSize", kOpen, ProcessTest_FolderSize, nullptr, On<&S::TestFolderSize>,
     kTestRefused},
    {"TEST-FileExists", kOpen, ProcessTest_FileExists, nullptr, On<&S::TestFileExists>,
     kTestRefused},
    {"TEST-FileCompare", kOpen, ProcessTest_FileCompare, nullptr, On<&S::TestCompareFiles>,
     kTestRefused},
    {"TEST-FileCRC", kOpen, ProcessTest_FileCRC, nullptr, On<&S::TestFileCRC>, kTestRefused},
    {"TEST-CountFiles", kOpen, ProcessTest_CountFiles, nullptr, On<&S::TestCountFiles>,
     kTestRefused},
    {"TEST-Process", kOpen, ProcessTest_Process, nullptr, On<&S::TestProcess>, kTestRefused},
    {"TEST-Service", kOpen, ProcessTest_Service, nullptr, nullptr, nullptr},
    {"TEST-NTLog", kOpen, ProcessTest_NTLog, nullptr, nullptr, nullptr},
    {"TEST-CPU", kOpen, ProcessTest_CPU, nullptr, On<&S::TestCPUUsage>, kTestRefused},
    {"TEST-PerfCounter", kOpen, ProcessTest_Perf, nullptr, nullptr, nullptr},
    {"TEST-Script", kOpen, ProcessTest_Script, nullptr, nullptr, nullptr},
    {"TEST-SNMP", kOpen, ProcessTest_SNMP, nullptr, nullptr, nullptr},
    {"TEST-ExternalPrg", kOpen, ProcessTest_External, nullptr, On<&S::TestExternal>,
     kTestRefused},
    {"TEST-Ping", kOpen, ProcessTest_Ping, nullptr, nullptr, nullptr},
    {"TEST-TCP", kOpen, ProcessTest_TCP, nullptr, On<&S::TestTCP>, kTestRefused},
    {"TEST-UDP", kOpen, ProcessTest_UDP, nullptr, On<&S::TestUDP>, kTestRefused},
    {"TEST-TextLog", kOpen, ProcessTest_TextLog, nullptr, On<&S::TestTextLog>, kTestRefused},
    {"TEST-TextLog2", kOpen, ProcessTest_TextLog2, nullptr, On<&S::TestTextLog>, kTestRefused},
    {"TEST-ShellScript", kOpen, ProcessTest_ShellScript, nullptr, On<&S::TestShellScript>,
     kTestRefused},
    // Actions.
    {"ACT-ExternalCmd", kOpen, ProcessAct_ExternalCmd, nullptr, On<&S::ActExecute>,
     kActionRefused},
    {"ACT-TCPUDPsend", kOpen, ProcessAct_TCPSend, nullptr, On<&S::ActTcpUdp>, kActionRefused},
    {"ACT-Syslog", kOpen, ProcessAct_Syslog, nullptr, On<&S::ActSyslog>, kActionRefused},
    // Information queries.
    {"GetProcessesList", kOpen, ProcessInfo_ProcessesList, nullptr, On<&S::TestProcess>,
     kTestRefused},
    {"GetServicesList", kOpen, ProcessInfo_ServicesList, nullptr, nullptr, nullptr},
    {"GetEventLogFiles", kOpen, ProcessInfo_EventLogFiles, nullptr, nullptr, nullptr},
    {"GetEventLogSources", kOpen, ProcessInfo_EventLogSources, nullptr, nullptr, nullptr},
    {"GetDriveList", kOpen, ProcessInfo_GetDriveList, nullptr, nullptr, nullptr},
    {"GetFilesList", kOpen, ProcessInfo_GetFileList, nullptr, AnyFileTest, kTestRefused},
    {"GetInfo", kOpen, GetAgentStatus, nullptr, nullptr, nullptr},
    // Remote management.
    {"ReloadCfg", kManage, nullptr, ReloadCfg, nullptr, nullptr},
    {"ReloadApp", kManage, nullptr, ReloadApp, nullptr, nullptr},
    {"QUIT", kManage, nullptr, Quit, nullptr, nullptr},
    {"GetSettings", kManage, nullptr, GetSettings, nullptr, nullptr},
    {"SetSettings", kManage, nullptr, SetSettings, nullptr, nullptr},
    // Remote upgrade: the module follows on the same connection.
    {"UpgradeCode", kUpdate, nullptr, UpgradeCode, nullptr, nullptr},
};

bool Allowed(TGroup group, const TORVSettings& s, in_addr peer) {
  if (group == kOpen) return true;
  String unused;
  if (group == kManage) return s.AllowManage && IPAllowed(peer.s_addr, s.ManageAddr, unused);
  return s.AllowUpdates && IPAllowed(peer.s_addr, s.UpdateAddr, unused);
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
    std::shared_ptr<const TORVSettings> settings = ORVSettings.Get();
    if (!Allowed(c.group, *settings, peer)) {
      reply.SetResult("600") += "Operation is not allowed";
      return 1;
    }
    if (c.enabled && !c.enabled(*settings)) {
      reply.SetResult("600") += c.refusal;
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
