// The agent process: banner, command line, settings, self-checks, daemon
// mode, signals, the listening socket, the pid file and the main loop, which
// looks at ORVFlags at least once a second to stop, re-execute the agent, run
// the upgrade script or move to another port, while the session threads
// accept and serve the connections.
//
// Thread safety: everything here runs on the main thread, except the signal
// handlers, which only set flags (and, for a late segmentation fault,
// re-execute the agent).
#ifndef ORV_AGENT_DAEMON_H_
#define ORV_AGENT_DAEMON_H_

#include <sys/socket.h>

#include <cstdio>

#include "base/bytestring.h"

// The command line: "[-d|-i] [-v|-vd] [-p <port>] <cfg_file>".
struct TAgentOptions {
  int Interactive = 0;
  int Verbose = 0;
  int Debug = 0;
  int Port = 0;  // 0 when -p was not given
  String ConfigFile;
};

// Parses argv strictly in the documented order. False with the message that
// showhelp prints in err when the command line is wrong.
bool ParseCommandLine(int argc, char** argv, TAgentOptions& out, String& err);

// Prints message, an empty line and the usage text, then exits with code 1.
[[noreturn]] void showhelp(const char* message);

// 0 in the detached child, -1 when the process cannot fork. The parent
// waits until the child calls daemon_ready, prints "Daemon started" and
// exits 0; when the child ends first, the parent exits with its status.
int daemon_init();
// In the child of daemon_init: the standard output and error go to the null
// device and the waiting parent is released. Does nothing otherwise.
void daemon_ready();
// The open, locked pid file, or null.
FILE* createpidfile();
void closepidfile(FILE* stream);

// Opens the listening socket for the current settings' Host and Port, up to
// 3 attempts 1 second apart. True with the handle in fd, or false (fd -1)
// with the reason in err; a Port outside 1..65535 fails at once.
bool Listen(int& fd, socklen_t& addrlen, String& err);

// The whole agent; main() only calls this.
int AgentMain(int argc, char** argv, char** envp);

#endif  // ORV_AGENT_DAEMON_H_
