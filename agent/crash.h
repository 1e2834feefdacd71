// The restart after a late segmentation fault. The handler runs in a signal
// context, possibly on a thread whose heap or locks are in any state, so it
// only uses what the main thread prepared for it beforehand: the log lines'
// destinations, the local time offset, the agent's path, its argument and
// environment vectors and the pid file's path. It writes its two lines with
// write(2), removes the pid file and re-executes the agent with execve.
//
// Thread safety: CrashPathPrepare, CrashPathRefresh and CrashPathSetPidFile
// run on the main thread only; the handler reads a record the main thread
// no longer writes (two records, switched by one atomic index).
#ifndef ORV_AGENT_CRASH_H_
#define ORV_AGENT_CRASH_H_

// Keeps the vectors a restart passes to the new instance.
void CrashPathPrepare(char** argv, char** envp);
// Rebuilds the handler's record when the settings changed since the last
// call or the local time offset may have (a minute passed). Cheap otherwise.
void CrashPathRefresh();
// The pid file a restart removes; null or empty when there is none.
void CrashPathSetPidFile(const char* path);
// Installs the handler for SIGSEGV.
void InstallCrashHandler();

#endif  // ORV_AGENT_CRASH_H_
