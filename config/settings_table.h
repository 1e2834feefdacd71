// Every setting that the configuration file or a server can change, one row
// each: its field, its file key, the value a load starts from, whether a save
// writes it, its name in "SetSettings" and "GetSettings", and where "GetInfo"
// offers it. Loading, saving and the three management commands all walk this
// one table, so a setting is described in one place.
//
// Thread safety: constant data.
#ifndef ORV_CONFIG_SETTINGS_TABLE_H_
#define ORV_CONFIG_SETTINGS_TABLE_H_

#include <iterator>

#include "config/settings.h"

enum TSettingKind {
  kText,        // text as it is
  kFilterList,  // items: blanks in the file, CR LF in memory, encoded on the wire
  kInt,         // a leading decimal number
  kPort,        // like kInt, but a load takes it only while Port is still 0
  kBool,        // 0 or 1; true when the value begins with "1"
};

// The lists of "GetInfo" in which a switch is offered.
enum TOfferList { kNotOffered, kTestOffer, kActionOffer };

struct TSettingDesc {
  String TORVSettings::*text = nullptr;  // the field of kText and kFilterList
  int TORVSettings::*number = nullptr;   // the field of kInt, kPort and kBool
  TSettingKind kind = kText;
  const char* key = nullptr;  // file key (lower case); null: never in the file
  bool reset = false;         // a load starts from the value below; else kept
  const char* reset_text = "";
  int reset_number = 0;
  bool saved = false;            // a save writes the key
  const char* remote = nullptr;  // name in "SetSettings"; null: not settable remotely
  int reported = 0;              // line of "GetSettings" after the status (1-based); 0: none
  TOfferList offer = kNotOffered;
  int offer_position = 0;          // position in its "GetInfo" list (1-based)
  const char* offer_label = nullptr;  // the name in that list

  constexpr TSettingDesc Remote(const char* name, int reported_line = 0) const {
    TSettingDesc d = *this;
    d.remote = name;
    d.reported = reported_line;
    return d;
  }
  // Offered in "GetInfo"; the label is the remote name unless one is given.
  constexpr TSettingDesc Offered(TOfferList list, int position,
                                 const char* label = nullptr) const {
    TSettingDesc d = *this;
    d.offer = list;
    d.offer_position = position;
    d.offer_label = label ? label : remote;
    return d;
  }
  // Only ever changed by editing the file.
  constexpr TSettingDesc FileOnly() const {
    TSettingDesc d = *this;
    d.saved = false;
    return d;
  }
};

// A value kept by a load when the file does not name it.
constexpr const char* kKeep = nullptr;

constexpr TSettingDesc TextSetting(String TORVSettings::*field, const char* key,
                                   const char* reset_to, TSettingKind kind = kText) {
  TSettingDesc d;
  d.text = field;
  d.kind = kind;
  d.key = key;
  d.reset = reset_to != kKeep;
  d.reset_text = reset_to ? reset_to : "";
  d.saved = key != nullptr;
  return d;
}

constexpr TSettingDesc NumberSetting(int TORVSettings::*field, const char* key, TSettingKind kind,
                                     bool reset, int reset_to) {
  TSettingDesc d;
  d.number = field;
  d.kind = kind;
  d.key = key;
  d.reset = reset;
  d.reset_number = reset_to;
  d.saved = key != nullptr;
  return d;
}

constexpr TSettingDesc BoolSetting(int TORVSettings::*field, const char* key, int reset_to) {
  return NumberSetting(field, key, kBool, true, reset_to);
}

using TS = TORVSettings;

// The saved keys come first, in the order in which a save appends those the
// file lacks; then the keys only an edit of the file changes; then the
// switches only a server sets (reset by every load, never in the file).
inline constexpr TSettingDesc kSettings[] = {
    TextSetting(&TS::Host, "host", kKeep),
    NumberSetting(&TS::Port, "port", kPort, false, 0).Remote("Port"),
    NumberSetting(&TS::Timeout, "timeout", kInt, false, 0).Remote("Timeout"),
    TextSetting(&TS::Comment, "comment", "").Remote("Comment"),
    TextSetting(&TS::Password, "password", "").Remote("Password", 5),
    BoolSetting(&TS::FilterActive, "filteractive", 0).Remote("IPFiltering", 6),
    TextSetting(&TS::FilterMarks, "filtermarks", "1").Remote("IPFilterMarks", 8),
    TextSetting(&TS::FilterList, "filterlist", "127.0.0.1", kFilterList)
        .Remote("IPFilterAddr", 7),
    TextSetting(&TS::VerboseLogFile, "verboselogfile", kKeep),
    BoolSetting(&TS::LogSuccess, "logsuccess", 0).Remote("LogOkConn", 1),
    BoolSetting(&TS::LogFails, "logfails", 1).Remote("LogBadConn", 2),
    TextSetting(&TS::OkLogFile, "oklogfile", "log1.txt").Remote("OkLogFile", 3),
    TextSetting(&TS::BadLogFile, "badlogfile", "log2.txt").Remote("BadLogFile", 4),
    BoolSetting(&TS::AllowUpdates, "allowupdates", 1).Remote("AllowUpdates", 9),
    BoolSetting(&TS::AllowManage, "allowmanage", 1).Remote("AllowRManage", 10),
    TextSetting(&TS::UpdateAddr, "updateaddr", "127.0.0.1").Remote("UpdateAddr", 11),
    TextSetting(&TS::ManageAddr, "manageaddr", "127.0.0.1").Remote("ManageAddr", 12),
    BoolSetting(&TS::TestUNC, "unc", 1).Remote("UNC").Offered(kTestOffer, 3),
    BoolSetting(&TS::TestFreeSpace, "freespace", 1).Remote("Drive Space"),
    BoolSetting(&TS::TestFolderSize, "foldersize", 1).Remote("Folder Size").Offered(kTestOffer, 4),
    BoolSetting(&TS::TestCountFiles, "countfiles", 1).Remote("Count Files").Offered(kTestOffer, 5),
    BoolSetting(&TS::TestFileExists, "fileexists", 1)
        .Remote("File Availability")
        .Offered(kTestOffer, 6),
    BoolSetting(&TS::TestFileCRC, "filecrc", 1).Remote("File Integrity").Offered(kTestOffer, 7),
    BoolSetting(&TS::TestCompareFiles, "comparefiles", 1)
        .Remote("File Compare")
        .Offered(kTestOffer, 8),
    BoolSetting(&TS::TestProcess, "process", 1).Remote("Process").Offered(kTestOffer, 10),
    BoolSetting(&TS::TestCPUUsage, "cpuusage", 1).Remote("CPU Usage").Offered(kTestOffer, 11),
    BoolSetting(&TS::TestScript, "script", 1).Remote("Script"),
    BoolSetting(&TS::TestExternal, "external", 1).Remote("External").Offered(kTestOffer, 12),
    BoolSetting(&TS::TestPing, "ping", 1).Remote("Ping"),
    BoolSetting(&TS::TestTCP, "tcp", 1).Remote("TCP").Offered(kTestOffer, 1),
    BoolSetting(&TS::TestUDP, "udp", 1).Remote("UDP").Offered(kTestOffer, 2),
    BoolSetting(&TS::TestTextLog, "textlog", 1).Remote("Text Log").Offered(kTestOffer, 9),
    // Offered, but a server cannot switch it: only the file can.
    BoolSetting(&TS::TestShellScript, "shellscript", 1).Offered(kTestOffer, 13, "Shell Script"),
    BoolSetting(&TS::ActExecute, "executeaction", 0)
        .Remote("Execute external command")
        .Offered(kActionOffer, 1),
    BoolSetting(&TS::ActTcpUdp, "tcpudpaction", 0).Remote("TCP/UDP send").Offered(kActionOffer, 2),
    BoolSetting(&TS::ActSyslog, "syslogaction", 0).Remote("Syslog").Offered(kActionOffer, 3),

    TextSetting(&TS::AgentPath, "orvpath", "").FileOnly(),
    TextSetting(&TS::TmpDir, "tmpdir", kKeep).FileOnly(),
    TextSetting(&TS::PidFile, "pidfile", "").FileOnly(),
    TextSetting(&TS::CpuUsageScript, "cpuusagescript", kKeep).FileOnly(),
    TextSetting(&TS::ProcListScript, "proclistscript", kKeep).FileOnly(),
    TextSetting(&TS::ProcCntScript, "proccntscript", kKeep).FileOnly(),
    NumberSetting(&TS::DelayForScripts, "delayforscripts", kInt, true, 90000).FileOnly(),
    NumberSetting(&TS::MaxSessions, "maxsessions", kInt, true, kDefaultMaxSessions).FileOnly(),
    NumberSetting(&TS::MaxSessionsPerAddr, "maxsessionsperaddr", kInt, true,
                  kDefaultMaxSessionsPerAddr)
        .FileOnly(),
    NumberSetting(&TS::RequestTimeout, "requesttimeout", kInt, true, kDefaultRequestTimeout)
        .FileOnly(),
    NumberSetting(&TS::ReplayWindow, "replaywindow", kInt, true, 0).FileOnly(),

    BoolSetting(&TS::TestService, nullptr, 0).Remote("Service"),
    BoolSetting(&TS::TestNTEventLog, nullptr, 0).Remote("NT Event Log"),
    BoolSetting(&TS::TestPerfCounter, nullptr, 0).Remote("Perf Counter"),
    BoolSetting(&TS::TestSNMP, nullptr, 1).Remote("SNMP"),
};

inline constexpr int kSettingCount = static_cast<int>(std::size(kSettings));

// The row of a file key (lower case) or of a remote name; null when none.
const TSettingDesc* FindSettingByKey(const String& key);
const TSettingDesc* FindSettingByRemote(const String& name);

#endif  // ORV_CONFIG_SETTINGS_TABLE_H_
