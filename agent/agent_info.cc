#include "agent/agent_info.h"

#include <sys/utsname.h>

#include "config/settings.h"
#include "config/settings_table.h"
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

// One "GetInfo" list: the names, each followed by CR LF, encoded as one
// line; then one "0"/"1" per name, in the same order.
void AddOffers(ORVReply& reply, const TORVSettings& s, TOfferList list, const char* available,
               const char* enabled) {
  const TSettingDesc* by_position[kSettingCount + 1] = {};
  int count = 0;
  for (const TSettingDesc& d : kSettings) {
    if (d.offer != list) continue;
    by_position[d.offer_position] = &d;
    ++count;
  }
  String names = String(available) + "=";
  String switches;
  for (int position = 1; position <= count; ++position) {
    const TSettingDesc& d = *by_position[position];
    names += d.offer_label;
    names += "\r\n";
    switches += static_cast<char>('0' + (s.*d.number ? 1 : 0));
  }
  reply.AddStringParam(names, 1);
  reply.AddVarParams("%s=%s", enabled, switches.CStr());
}

// Texts of the record go out with their length ("%.*s"): the record is
// shared and read-only, and printing stops at a zero byte either way.
void AddStatusLines(ORVReply& reply, const TORVSettings& s) {
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
  AddOffers(reply, s, kTestOffer, "Available tests", "Enabled tests");
  reply.AddVarParams("%s=%d", "Port", s.Port);
  reply.AddVarParams("%s=%d", "Timeout", s.Timeout);
  reply.AddVarParams("%s=%.*s", "Comment", s.Comment.Length(), s.Comment.Data());
  AddOffers(reply, s, kActionOffer, "Available actions", "Enabled actions");
  struct utsname u;
  if (uname(&u) == 0) {
    reply.AddVarParams("%s=%s", "HostName", u.nodename);
    reply.AddVarParams("%s=%s %s %s", "RunningOS", u.sysname, u.release, u.version);
    reply.AddVarParams("%s=%s", "OSUpdates", "not implemented");
  }
}

// Stores the value of one "SetSettings" parameter; unknown names are ignored.
void ApplyRemoteSetting(TORVSettings& s, const String& name, const String& value) {
  const TSettingDesc* d = FindSettingByRemote(name);
  if (d == nullptr) return;
  switch (d->kind) {
    case kText: s.*d->text = value; break;
    case kFilterList: s.*d->text = orvDecodeStrings(value); break;
    case kInt:
    case kPort: s.*d->number = orvDecodeInt(value); break;
    case kBool: s.*d->number = orvDecodeBool(value); break;
  }
}

// The lines "GetSettings" adds after the status, in their fixed order.
void AddSettingsLines(ORVReply& reply, const TORVSettings& s) {
  for (int line = 1;; ++line) {
    const TSettingDesc* row = nullptr;
    for (const TSettingDesc& d : kSettings)
      if (d.reported == line) row = &d;
    if (row == nullptr) return;
    switch (row->kind) {
      case kBool:
        reply.AddVarParams("%s=%s", row->remote, BoolConst[s.*row->number ? 1 : 0]);
        break;
      case kFilterList:
        reply.AddStringParam(String(row->remote) + "=" + s.*row->text, 1);
        break;
      case kText: {
        const String& text = s.*row->text;
        reply.AddVarParams("%s=%.*s", row->remote, text.Length(), text.Data());
        break;
      }
      case kInt:
      case kPort:
        reply.AddVarParams("%s=%d", row->remote, s.*row->number);
        break;
    }
  }
}

}  // namespace

void GetAgentStatus(const VQRequest&, ORVReply& reply) {
  // The snapshot itself, not a copy: a copy of the record is some thirty
  // strings allocated, the password among them, for every "GetInfo".
  AddStatusLines(reply, *ORVSettings.Get());
}

void GetAgentSettings(const VQRequest&, ORVReply& reply) {
  reply.MarkSecret();  // it carries the password: wiped when freed
  std::shared_ptr<const TORVSettings> s = ORVSettings.Get();  // one snapshot for both parts
  AddStatusLines(reply, *s);
  AddSettingsLines(reply, *s);
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
