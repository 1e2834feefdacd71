// Commands that this agent answers without doing anything: those that have
// no meaning on this platform, and those that the agent has never offered
// (servers read "not implemented yet" as "this agent has no such test").
#include "agent/handlers.h"

namespace {

void NotApplicable(ORVReply& reply) { reply.SetResult("500") += "Not applicable for UNIX/Linux"; }
void NotImplemented(ORVReply& reply) { reply.SetResult("500") += "not implemented yet"; }

}  // namespace

void ProcessTest_DiskSpace(const VQRequest&, ORVReply& reply) { NotApplicable(reply); }
void ProcessTest_Service(const VQRequest&, ORVReply& reply) { NotApplicable(reply); }
void ProcessTest_NTLog(const VQRequest&, ORVReply& reply) { NotApplicable(reply); }
void ProcessTest_Perf(const VQRequest&, ORVReply& reply) { NotApplicable(reply); }
void ProcessInfo_ServicesList(const VQRequest&, ORVReply& reply) { NotApplicable(reply); }
void ProcessInfo_EventLogFiles(const VQRequest&, ORVReply& reply) { NotApplicable(reply); }
void ProcessInfo_EventLogSources(const VQRequest&, ORVReply& reply) { NotApplicable(reply); }

void ProcessTest_Script(const VQRequest&, ORVReply& reply) { NotImplemented(reply); }
void ProcessTest_SNMP(const VQRequest&, ORVReply& reply) { NotImplemented(reply); }
void ProcessTest_Ping(const VQRequest&, ORVReply& reply) { NotImplemented(reply); }
void ProcessInfo_GetDriveList(const VQRequest&, ORVReply& reply) { NotImplemented(reply); }
