// Every request handler the dispatcher can call. A handler reads its
// positional parameters from the request (line 1 is the first parameter) and
// reports its outcome only through the reply. It runs only when its switch in
// the settings is on: the dispatcher refuses the command otherwise.
//
// Thread safety: handlers run on session threads, any number at once.
#ifndef ORV_AGENT_HANDLERS_H_
#define ORV_AGENT_HANDLERS_H_

#include "protocol/reply.h"
#include "protocol/request.h"

using THandler = void (*)(const VQRequest&, ORVReply&);

// Tests
void ProcessTest_UNC(const VQRequest&, ORVReply&);
void ProcessTest_DiskSpace(const VQRequest&, ORVReply&);
void ProcessTest_FolderSize(const VQRequest&, ORVReply&);
void ProcessTest_FileExists(const VQRequest&, ORVReply&);
void ProcessTest_FileCompare(const VQRequest&, ORVReply&);
void ProcessTest_FileCRC(const VQRequest&, ORVReply&);
void ProcessTest_CountFiles(const VQRequest&, ORVReply&);
void ProcessTest_Process(const VQRequest&, ORVReply&);
void ProcessTest_Service(const VQRequest&, ORVReply&);
void ProcessTest_NTLog(const VQRequest&, ORVReply&);
void ProcessTest_CPU(const VQRequest&, ORVReply&);
void ProcessTest_Perf(const VQRequest&, ORVReply&);
void ProcessTest_Script(const VQRequest&, ORVReply&);
void ProcessTest_SNMP(const VQRequest&, ORVReply&);
void ProcessTest_External(const VQRequest&, ORVReply&);
void ProcessTest_Ping(const VQRequest&, ORVReply&);
void ProcessTest_TCP(const VQRequest&, ORVReply&);
void ProcessTest_UDP(const VQRequest&, ORVReply&);
void ProcessTest_TextLog(const VQRequest&, ORVReply&);
void ProcessTest_TextLog2(const VQRequest&, ORVReply&);
void ProcessTest_ShellScript(const VQRequest&, ORVReply&);

// Actions
void ProcessAct_ExternalCmd(const VQRequest&, ORVReply&);
void ProcessAct_TCPSend(const VQRequest&, ORVReply&);
void ProcessAct_Syslog(const VQRequest&, ORVReply&);

// Information queries
void ProcessInfo_ProcessesList(const VQRequest&, ORVReply&);
void ProcessInfo_ServicesList(const VQRequest&, ORVReply&);
void ProcessInfo_EventLogFiles(const VQRequest&, ORVReply&);
void ProcessInfo_EventLogSources(const VQRequest&, ORVReply&);
void ProcessInfo_GetDriveList(const VQRequest&, ORVReply&);
void ProcessInfo_GetFileList(const VQRequest&, ORVReply&);

#endif  // ORV_AGENT_HANDLERS_H_
