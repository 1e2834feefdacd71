// The agent's configuration: the settings record TORVSettings, its file
// format (lines of name "=" value) and the process-wide store ORVSettings
// that hands out immutable snapshots of it.
//
// TORVSettings is a plain value. LoadOptions_ fills it from ConfigFile,
// SaveOptions_ writes it back into that file line by line (comments, unknown
// lines and line order survive; the previous file is kept as ".Old").
//
// Thread safety: a TORVSettings value belongs to one thread. ORVSettings is
// safe from any thread except signal handlers: readers take a snapshot with
// Get() and keep using it for the rest of their request, while reloads and
// remote changes build a new record and publish it in one step. Loads and
// saves are serialised by optmutex.
#ifndef ORV_CONFIG_SETTINGS_H_
#define ORV_CONFIG_SETTINGS_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "base/bytestring.h"

// Defaults of the limits on strangers, also taken for values below 1.
constexpr int kDefaultMaxSessions = 256;
constexpr int kDefaultMaxSessionsPerAddr = 64;
constexpr int kDefaultRequestTimeout = 30000;  // ms

class TORVSettings {
 public:
  // The password is wiped from every copy of the record when it is released.
  TORVSettings() { Password.MarkSecret(); }

  // Command-line switches.
  int Interactive = 0;
  int Verbose = 0;
  int Debug = 0;
  char ConfigFile[512] = {};

  String TmpDir;          // "tmpdir"
  String AgentPath;       // "orvpath"
  String PidFile;         // "pidfile"
  String Host;            // "host"
  int Port = 0;           // "port"
  int Timeout = 0;        // "timeout", ms
  int DelayForScripts = 0;  // "delayforscripts", microseconds
  String Password;        // "password"
  String Comment;         // "comment"
  String VerboseLogFile;  // "verboselogfile"
  int LogSuccess = 0;     // "logsuccess"
  String OkLogFile;       // "oklogfile"
  int FilterActive = 0;   // "filteractive"
  int LogFails = 0;       // "logfails"
  String BadLogFile;      // "badlogfile"
  String FilterList;      // "filterlist", items separated by CR LF
  int AllowUpdates = 0;   // "allowupdates"
  String UpdateAddr;      // "updateaddr"
  String FilterMarks;     // "filtermarks"
  int AllowManage = 0;    // "allowmanage"
  String ManageAddr;      // "manageaddr"
  String ActiveFilter;    // derived: CR LF, then each enabled item + CR LF

  int TestUNC = 0;           // "unc"
  int TestFreeSpace = 0;     // "freespace"
  int TestFolderSize = 0;    // "foldersize"
  int TestCountFiles = 0;    // "countfiles"
  int TestFileExists = 0;    // "fileexists"
  int TestFileCRC = 0;       // "filecrc"
  int TestCompareFiles = 0;  // "comparefiles"
  int TestProcess = 0;       // "process"
  int TestService = 0;       // remote only
  int TestNTEventLog = 0;    // remote only
  int TestCPUUsage = 0;      // "cpuusage"
  int TestPerfCounter = 0;   // remote only
  int TestSNMP = 0;          // remote only
  int TestScript = 0;        // "script"
  int TestExternal = 0;      // "external"
  int TestPing = 0;          // "ping"
  int TestTCP = 0;           // "tcp"
  int TestUDP = 0;           // "udp"
  int TestTextLog = 0;       // "textlog"
  int TestShellScript = 0;   // "shellscript"
  int ActExecute = 0;        // "executeaction"
  int ActTcpUdp = 0;         // "tcpudpaction"
  int ActSyslog = 0;         // "syslogaction"
  String CpuUsageScript;     // "cpuusagescript"
  String ProcListScript;     // "proclistscript"
  String ProcCntScript;      // "proccntscript"

  // Limits on strangers; file keys only (no remote name).
  int MaxSessions = kDefaultMaxSessions;                // "maxsessions": sessions at once in all
  int MaxSessionsPerAddr = kDefaultMaxSessionsPerAddr;  // "maxsessionsperaddr": from one address
  int RequestTimeout = kDefaultRequestTimeout;  // "requesttimeout", ms: a whole request, from accept
  int ReplayWindow = 0;        // "replaywindow", seconds a request is remembered; 0 = off

  void SetConfigFile(const char* path);

  // Recomputes ActiveFilter, the helper-script paths and TmpDir. Never fails;
  // may leave the filter warning in err. Does not touch the environment: the
  // store exports TmpDir as "TMPDIR" when it publishes the record.
  void PutRight(String& err);
  // Load and save without locking; 1 on success, 0 on failure, err cleared
  // first and holding the reason or a warning.
  int LoadOptions_(String& err);
  int SaveOptions_(String& err);
};

// The store behind the global ORVSettings.
class TSettingsStore {
 public:
  TSettingsStore();

  // The current settings; never null. Cheap: one reference-count increment.
  std::shared_ptr<const TORVSettings> Get() const;
  // Changes whenever Get() starts giving another record, so that a reader
  // may keep what it derived from the record until then without a lock.
  uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }

  // Replaces the current settings (start-up, after the command line and the
  // first load) and exports TmpDir as "TMPDIR".
  void Publish(const TORVSettings& settings);

  // Reloads ConfigFile into a copy of the current settings and publishes the
  // copy only when the load succeeds: a failed reload leaves the agent on its
  // previous, working settings. Returns the load's result and text.
  int LoadOptions(String& err);

  // Applies change to a copy of the current settings, publishes the copy and
  // saves it into ConfigFile. The new values stay in force even when the save
  // fails. Returns the save's result and text.
  int ChangeAndSave(const std::function<void(TORVSettings&)>& change, String& err);

  // Sets Port on a copy and publishes it (the listener falling back to its
  // previous port after a failed switch).
  void SetPort(int port);

 private:
  void PublishLocked(std::shared_ptr<const TORVSettings> next);

  mutable std::mutex snapshot_mutex_;  // guards current_ only, held briefly
  std::shared_ptr<const TORVSettings> current_;
  std::atomic<uint64_t> generation_{0};  // raised after every change of current_
};

extern TSettingsStore ORVSettings;
// Serialises every load and save of the configuration file.
extern std::mutex optmutex;

#endif  // ORV_CONFIG_SETTINGS_H_
