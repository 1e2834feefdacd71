#include "config/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/settings_table.h"
#include "tests/testutil.h"

namespace {

using testutil::ReadFile;
using testutil::WriteFile;

std::string S(const String& s) { return s.ToStd(); }

// Puts an environment variable back as it was when the test began.
class EnvRestore {
 public:
  explicit EnvRestore(const char* name) : name_(name) {
    const char* v = getenv(name);
    was_set_ = v != nullptr;
    if (v) value_ = v;
  }
  ~EnvRestore() {
    if (was_set_) {
      setenv(name_, value_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool was_set_ = false;
  std::string value_;
};

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(agent_, "#!/bin/sh\n"); }

  // The lines every valid file needs, without "port".
  std::string Required() const {
    return "orvpath=" + agent_ + "\npassword=pw\ntmpdir=" + dir_.path() + "\n";
  }

  int Load(TORVSettings& s, const std::string& contents, std::string* err = nullptr) {
    WriteFile(cfg_, contents);
    s.SetConfigFile(cfg_.c_str());
    String e;
    int r = s.LoadOptions_(e);
    if (err) *err = S(e);
    return r;
  }

  int Save(TORVSettings& s, const std::string& contents, std::string* err = nullptr) {
    WriteFile(cfg_, contents);
    s.SetConfigFile(cfg_.c_str());
    String e;
    int r = s.SaveOptions_(e);
    if (err) *err = S(e);
    return r;
  }

  EnvRestore tmpdir_env_{"TMPDIR"};
  EnvRestore tmp_env_{"TMP"};
  testutil::TempDir dir_;
  std::string agent_ = dir_.File("orv");
  std::string cfg_ = dir_.File("orv.cfg");
};

// ---- Loading ----

TEST_F(SettingsTest, NameAndValueTrimmedNameCaseBlind) {
  TORVSettings s;
  ASSERT_EQ(Load(s, Required() + "  Port = 1055 \r\n"), 1);
  EXPECT_EQ(s.Port, 1055);
}

TEST_F(SettingsTest, CommentOnlyAtFirstCharacter) {
  TORVSettings s;
  // ' #port=2' is an unknown name; were it taken as "port" it would win.
  ASSERT_EQ(Load(s, Required() + "#port=1\n;port=4\n #port=2\nport=3\n"), 1);
  EXPECT_EQ(s.Port, 3);
}

TEST_F(SettingsTest, SecondEqualsBelongsToValue) {
  TORVSettings s;
  ASSERT_EQ(Load(s, Required() + "port=1\ncomment==x \t\r\n"), 1);
  EXPECT_EQ(S(s.Comment), "=x");
}

TEST_F(SettingsTest, BooleanAndIntegerValues) {
  struct Case {
    const char* line;
    int TORVSettings::*field;
    int expected;
  } cases[] = {
      {"filteractive=yes", &TORVSettings::FilterActive, 0},
      {"filteractive=1abc", &TORVSettings::FilterActive, 1},
      {"filteractive= \t1", &TORVSettings::FilterActive, 1},
      {"filteractive=", &TORVSettings::FilterActive, 0},
      {"logfails=0", &TORVSettings::LogFails, 0},
      {"timeout=12abc", &TORVSettings::Timeout, 12},
      {"timeout=-7", &TORVSettings::Timeout, -7},
      {"timeout=abc", &TORVSettings::Timeout, 4000},
      {"timeout=0", &TORVSettings::Timeout, 4000},
      {"timeout=99999999999", &TORVSettings::Timeout, 2147483647},
      {"delayforscripts=5", &TORVSettings::DelayForScripts, 5},
  };
  for (const Case& c : cases) {
    TORVSettings s;
    ASSERT_EQ(Load(s, Required() + "port=1\n" + c.line + "\n"), 1) << c.line;
    EXPECT_EQ(s.*c.field, c.expected) << c.line;
  }
}

TEST_F(SettingsTest, LastLineWinsExceptPort) {
  TORVSettings s;
  ASSERT_EQ(Load(s, Required() + "port=1\ncomment=a\nport=2\ncomment=b\n"), 1);
  EXPECT_EQ(s.Port, 1);
  EXPECT_EQ(S(s.Comment), "b");
}

TEST_F(SettingsTest, CommandLinePortAndEarlierLoadWin) {
  TORVSettings s;
  s.Port = 2000;  // as set by "-p"
  ASSERT_EQ(Load(s, Required() + "port=1\n"), 1);
  EXPECT_EQ(s.Port, 2000);
  TORVSettings t;
  ASSERT_EQ(Load(t, Required() + "port=1\n"), 1);
  ASSERT_EQ(Load(t, Required() + "port=9\n"), 1);
  EXPECT_EQ(t.Port, 1);
}

TEST_F(SettingsTest, LongLineIsReadInPiecesOf1023Bytes) {
  TORVSettings s;
  std::string xs(1015, 'x');  // "comment=" and these fill exactly one piece
  ASSERT_EQ(Load(s, Required() + "comment=" + xs + "port=5\n"), 1);
  EXPECT_EQ(S(s.Comment), xs);
  EXPECT_EQ(s.Port, 5);
}

TEST_F(SettingsTest, FilterListFromBlanksOrEscapes) {
  TORVSettings s;
  ASSERT_EQ(Load(s, Required() + "port=1\nfilterlist=  10.0.0.1   10.0.0.2 \nfiltermarks=01\n"), 1);
  EXPECT_EQ(S(s.FilterList), "10.0.0.1\r\n10.0.0.2");
  EXPECT_EQ(S(s.ActiveFilter), "\r\n10.0.0.2\r\n");
  ASSERT_EQ(Load(s, Required() + "filterlist=a%0D%0Ab\nfiltermarks=11\n"), 1);
  EXPECT_EQ(S(s.FilterList), "a\r\nb");
  EXPECT_EQ(S(s.ActiveFilter), "\r\na\r\nb\r\n");
}

TEST_F(SettingsTest, DefaultFilterAllowsLoopback) {
  TORVSettings s;
  ASSERT_EQ(Load(s, Required() + "port=1\n"), 1);
  EXPECT_EQ(S(s.ActiveFilter), "\r\n127.0.0.1\r\n");
}

TEST_F(SettingsTest, MarksBeyondListWarnButSucceed) {
  TORVSettings s;
  std::string err;
  ASSERT_EQ(Load(s, Required() + "port=1\nfilterlist=a b\nfiltermarks=111\n", &err), 1);
  EXPECT_EQ(err, "FilterMarks has less items than FilterList");
  EXPECT_EQ(S(s.ActiveFilter), "\r\na\r\nb\r\n");
}

TEST_F(SettingsTest, FatalChecksAppendInOrder) {
  struct Case {
    std::string contents;
    std::string err;
  } cases[] = {
      {"password=pw\nport=1\norvpath=orv\n", "  Full path to the agent is not specified!\n"},
      {"password=pw\nport=1\n", "  Full path to the agent is not specified!\n"},
      {"password=pw\nport=1\norvpath=" + dir_.File("none") + "\n",
       "  Invalid path to the agent!\n"},
      {"password=pw\nport=1\norvpath=" + dir_.path() + "\n", "  Invalid path to the agent!\n"},
      {"orvpath=" + agent_ + "\n", "  TCP post is not specified!\n  Password is not specified!\n"},
      {"port=0\nfilterlist=a\nfiltermarks=11\n",
       "FilterMarks has less items than FilterList  TCP post is not specified!\n"
       "  Password is not specified!\n  Full path to the agent is not specified!\n"},
  };
  for (const Case& c : cases) {
    TORVSettings s;
    std::string err;
    EXPECT_EQ(Load(s, c.contents, &err), 0) << c.contents;
    EXPECT_EQ(err, c.err) << c.contents;
  }
}

TEST_F(SettingsTest, MissingFileErrors) {
  TORVSettings s;
  String err;
  EXPECT_EQ(s.LoadOptions_(err), 0);
  EXPECT_EQ(S(err), "Configuration file is not specified");
  s.SetConfigFile(dir_.File("missing").c_str());
  EXPECT_EQ(s.LoadOptions_(err), 0);
  EXPECT_EQ(S(err), "Cannot open configuration file '" + dir_.File("missing") + "'");
}

TEST_F(SettingsTest, ReloadResetsSomeFieldsAndKeepsOthers) {
  TORVSettings s;
  std::string all = Required() +
                    "port=1\nhost=h\ntimeout=50\nverboselogfile=v\ncomment=c\nfilteractive=1\n"
                    "filtermarks=0\nfilterlist=x\nlogsuccess=1\nlogfails=0\noklogfile=o\n"
                    "badlogfile=b\nallowupdates=0\nallowmanage=0\nupdateaddr=u\nmanageaddr=m\n"
                    "tcp=0\nshellscript=0\nexecuteaction=1\nsyslogaction=1\npidfile=p\n"
                    "delayforscripts=1\ncpuusagescript=/c.sh\n";
  ASSERT_EQ(Load(s, all), 1);
  s.TestService = s.TestNTEventLog = s.TestPerfCounter = 1;
  s.TestSNMP = 0;
  ASSERT_EQ(Load(s, "orvpath=" + agent_ + "\npassword=pw\n"), 1);
  // Kept when the file no longer names them.
  EXPECT_EQ(S(s.Host), "h");
  EXPECT_EQ(s.Port, 1);
  EXPECT_EQ(s.Timeout, 50);
  EXPECT_EQ(S(s.VerboseLogFile), "v");
  EXPECT_EQ(S(s.TmpDir), dir_.path());
  EXPECT_EQ(S(s.CpuUsageScript), "/c.sh");
  // Back to their defaults.
  EXPECT_EQ(S(s.Comment), "");
  EXPECT_EQ(s.FilterActive, 0);
  EXPECT_EQ(S(s.FilterMarks), "1");
  EXPECT_EQ(S(s.FilterList), "127.0.0.1");
  EXPECT_EQ(s.LogSuccess, 0);
  EXPECT_EQ(s.LogFails, 1);
  EXPECT_EQ(S(s.OkLogFile), "log1.txt");
  EXPECT_EQ(S(s.BadLogFile), "log2.txt");
  EXPECT_EQ(s.AllowUpdates + s.AllowManage + s.TestTCP + s.TestShellScript, 4);
  EXPECT_EQ(S(s.UpdateAddr) + S(s.ManageAddr), "127.0.0.1127.0.0.1");
  EXPECT_EQ(s.ActExecute + s.ActSyslog, 0);
  EXPECT_EQ(S(s.PidFile), "");
  EXPECT_EQ(s.DelayForScripts, 90000);
  EXPECT_EQ(s.TestService + s.TestNTEventLog + s.TestPerfCounter, 0);
  EXPECT_EQ(s.TestSNMP, 1);
}

// ---- Derived fields ----

TEST(SettingsPutRightTest, ActiveFilterFromListAndMarks) {
  struct Case {
    const char* list;
    const char* marks;
    const char* active;
    bool warns;
  } cases[] = {
      {"10.0.0.1\r\n10.0.0.2", "01", "\r\n10.0.0.2\r\n", false},
      {"a\r\nb", "111", "\r\na\r\nb\r\n", true},
      {"a\r\n\r\nb", "11", "\r\na\r\n", true},
      {"a\r\nb\r\nc", "1", "\r\na\r\n", false},
      {"a\r\nb", "x1", "\r\nb\r\n", false},
      {"a", "", "\r\n", false},
  };
  for (const Case& c : cases) {
    TORVSettings s;
    s.TmpDir = ".";
    s.FilterList = c.list;
    s.FilterMarks = c.marks;
    String err = "old";
    s.PutRight(err);
    EXPECT_EQ(S(s.ActiveFilter), c.active) << c.list << "|" << c.marks;
    EXPECT_EQ(S(err), c.warns ? "FilterMarks has less items than FilterList" : "old") << c.list;
  }
}

TEST(SettingsPutRightTest, BareScriptNamesLiveBesideTheAgent) {
  struct Case {
    const char* agent;
    const char* script;
    const char* expected;
  } cases[] = {
      {"/opt/agent/orv", "cpu.sh", "/opt/agent/cpu.sh"},
      {"/opt/agent/orv", "/usr/bin/cpu.sh", "/usr/bin/cpu.sh"},
      {"/opt/agent/orv", "sub/cpu.sh", "sub/cpu.sh"},
      {"/opt/agent/orv", "", "/opt/agent/"},
      {"orv", "cpu.sh", "cpu.sh"},
  };
  for (const Case& c : cases) {
    TORVSettings s;
    s.TmpDir = ".";
    s.AgentPath = c.agent;
    s.CpuUsageScript = s.ProcListScript = s.ProcCntScript = c.script;
    String err;
    s.PutRight(err);
    EXPECT_EQ(S(s.CpuUsageScript), c.expected) << c.agent << " " << c.script;
    EXPECT_EQ(S(s.ProcListScript), c.expected);
    EXPECT_EQ(S(s.ProcCntScript), c.expected);
  }
}

TEST_F(SettingsTest, TmpDirFallsBackToEnvironmentThenDot) {
  const std::string d = dir_.path();
  const std::string missing = dir_.File("missing");
  const std::string unset = "<unset>";
  struct Case {
    std::string tmpdir;
    std::string env_tmpdir;
    std::string env_tmp;
    std::string expected;
  } cases[] = {
      {d + "/", unset, unset, d},
      {missing, unset, unset, "."},
      {"", unset, d, d},
      {missing, missing, d, "."},  // TMP is not consulted while TMPDIR is set
      {missing, d + "/", unset, d},
  };
  for (const Case& c : cases) {
    if (c.env_tmpdir == unset) unsetenv("TMPDIR"); else setenv("TMPDIR", c.env_tmpdir.c_str(), 1);
    if (c.env_tmp == unset) unsetenv("TMP"); else setenv("TMP", c.env_tmp.c_str(), 1);
    TORVSettings s;
    s.TmpDir = c.tmpdir.c_str();
    String err;
    s.PutRight(err);
    EXPECT_EQ(S(s.TmpDir), c.expected) << c.tmpdir << " " << c.env_tmpdir << " " << c.env_tmp;
  }
}

// ---- Saving ----

TEST_F(SettingsTest, SaveRewritesValuesInPlace) {
  TORVSettings s;
  s.Comment = "new";
  s.LogFails = 0;
  s.TestTCP = 0;
  s.TestUDP = 1;
  s.TestPing = 1;
  s.Host = "b";
  s.FilterList = "a\r\nb";
  const std::string kept =
      "# comment = x\r\n; other\nunknown = 5\r\norvpath = /x/orv \npidfile=/run/orv.pid\r\n"
      "delayforscripts = 5\nno equals here\n";
  std::string old = kept +
                    "Comment = old\r\nlogfails=1\r\ntcp=1abc\nudp=\r\nping =  \nhost = a\n"
                    "FilterList=x\r\ncomment=again\r\nlast=line";
  ASSERT_EQ(Save(s, old), 1);
  std::string expected = kept +
                         "Comment = new\r\nlogfails=0\r\ntcp=0abc\nudp=1\r\nping =  1\n"
                         "host = b\r\nFilterList=a b\r\ncomment=new\r\nlast=line\r\n";
  std::string out = ReadFile(cfg_);
  ASSERT_EQ(out.substr(0, expected.size()), expected);
  // Keys found in the file are not appended again.
  std::string tail = out.substr(expected.size());
  EXPECT_EQ(tail.find("comment="), std::string::npos);
  EXPECT_EQ(tail.find("logfails="), std::string::npos);
  EXPECT_NE(tail.find("port=0\r\n"), std::string::npos);
  EXPECT_EQ(ReadFile(cfg_ + ".Old"), old);
  EXPECT_NE(access((cfg_ + ".New").c_str(), F_OK), 0);
}

// A file that names no key gets every saved one appended, one "key=value"
// line each, and loading it back gives every value as it was.
TEST_F(SettingsTest, SaveAppendsEveryMissingKeyAndLoadsBack) {
  TORVSettings s;
  int row = 0;
  for (const TSettingDesc& d : kSettings) {
    if (!d.saved) continue;
    ++row;
    if (d.text) {
      s.*d.text = d.kind == kFilterList ? "a\r\nb" : ("v" + std::to_string(row)).c_str();
    } else {
      s.*d.number = d.kind == kBool ? !d.reset_number : 1000 + row;  // never what a load starts from
    }
  }
  ASSERT_EQ(Save(s, "# only\r\n; comments"), 1);
  const std::string out = ReadFile(cfg_);
  EXPECT_EQ(out.compare(0, 20, "# only\r\n; comments\r\n"), 0) << out;
  EXPECT_NE(out.find("\r\nfilterlist=a b\r\n"), std::string::npos) << out;
  TORVSettings back;
  Load(back, out);
  for (const TSettingDesc& d : kSettings) {
    if (!d.saved) continue;
    if (d.text) {
      EXPECT_EQ(S(back.*d.text), S(s.*d.text)) << d.key;
    } else {
      EXPECT_EQ(back.*d.number, s.*d.number) << d.key;
    }
  }
}

TEST_F(SettingsTest, SaveRespectsRoomOnLongLines) {
  TORVSettings s;
  s.Comment = std::string(40, 'n').c_str();
  struct Case {
    int blanks;  // value position is 8 + blanks
    std::string expected_value;
  } cases[] = {
      {992, std::string(20, 'n') + "\r\n"},  // room 21: 20 characters
      {1012, "\r\n"},                        // room 1: nothing fits
      {1013, "o\n"},                         // room 0: old value stays
  };
  for (const Case& c : cases) {
    std::string head = "comment=" + std::string(c.blanks, ' ');
    ASSERT_EQ(Save(s, head + "o\n"), 1);
    std::string out = ReadFile(cfg_);
    EXPECT_EQ(out.substr(0, head.size() + c.expected_value.size()), head + c.expected_value)
        << c.blanks;
  }
}

// The names of the keyed lines of a file as the loader meets them: pieces of
// at most 1023 bytes, each ending after a line feed.
std::vector<std::string> KeyNames(const std::string& file) {
  std::vector<std::string> names;
  for (size_t at = 0; at < file.size();) {
    size_t end = std::min(file.find('\n', at) == std::string::npos ? file.size()
                                                                    : file.find('\n', at) + 1,
                          at + 1023);
    std::string piece = file.substr(at, end - at);
    at = end;
    size_t eq = piece.find('=');
    if (piece[0] == '#' || piece[0] == ';' || eq == std::string::npos) continue;
    std::string name = piece.substr(0, eq);
    name.erase(0, name.find_first_not_of(" \t"));
    name.erase(name.find_last_not_of(" \t") + 1);
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Whatever text a remote server stores, the saved file keeps exactly its
// keys, one per line, whether the key's line is rewritten or appended: no
// value may add a key (a helper script run as root), drop or split one.
TEST_F(SettingsTest, NoValueAddsRemovesOrSplitsAKey) {
  const std::string smuggled = "cpuusagescript=/tmp/x.sh";
  struct Field {
    String TORVSettings::*field;
    const char* key;
  };
  const Field fields[] = {{&TORVSettings::Comment, "comment"},
                          {&TORVSettings::Password, "password"},
                          {&TORVSettings::OkLogFile, "oklogfile"},
                          {&TORVSettings::FilterList, "filterlist"},
                          {&TORVSettings::FilterMarks, "filtermarks"},
                          {&TORVSettings::VerboseLogFile, "verboselogfile"}};
  struct Case {
    const Field& field;
    std::string value;
  };
  std::vector<Case> cases;
  for (const std::string& v :
       {std::string(3000, 'B') + "\n" + smuggled, "a\n" + smuggled, "a\r" + smuggled,
        "a\r\n" + smuggled + "\r\n", std::string("a\0\n", 3) + smuggled, "=" + smuggled,
        "\n#" + smuggled, std::string(2000, '\n'), std::string(1030, '=')}) {
    cases.push_back({fields[0], v});
  }
  // Around the length at which the rest of the value would begin a piece of
  // its own when the key's line is appended ("key=" and the value filling
  // the first 1023 bytes).
  for (const Field& f : fields) {
    const int fill = 1023 - static_cast<int>(std::strlen(f.key)) - 1;
    for (int len : {fill - 1, fill, fill + 1}) cases.push_back({f, std::string(len, 'x') + smuggled});
  }

  const std::string base = "orvpath=" + agent_ + "\ntmpdir=" + dir_.path() +
                           "\ncpuusagescript=/safe.sh\n";
  TORVSettings reference;
  ASSERT_EQ(Save(reference, base), 1);
  const std::string full = ReadFile(cfg_);  // names every key
  const std::vector<std::string> expected = KeyNames(full);
  ASSERT_EQ(expected.size(), 39u);

  for (const Case& c : cases) {
    for (bool in_place : {false, true}) {
      TORVSettings s;
      (s.*c.field.field).CopyData(c.value.data(), static_cast<int>(c.value.size()));
      ASSERT_EQ(Save(s, in_place ? full : base), 1);
      const std::string out = ReadFile(cfg_);
      ASSERT_EQ(KeyNames(out), expected)
          << c.field.key << " " << c.value.size() << (in_place ? " in place" : " appended");
      TORVSettings back;
      back.Port = 1;
      Load(back, out);
      ASSERT_EQ(S(back.CpuUsageScript), "/safe.sh");
    }
  }
}

TEST_F(SettingsTest, SaveErrors) {
  TORVSettings s;
  String err;
  EXPECT_EQ(s.SaveOptions_(err), 0);
  EXPECT_EQ(S(err), "Configuration file is not specified");
  s.SetConfigFile(dir_.File("missing").c_str());
  EXPECT_EQ(s.SaveOptions_(err), 0);
  EXPECT_EQ(S(err), "Cannot open configuration file '" + dir_.File("missing") + "'");
  ASSERT_EQ(mkdir((cfg_ + ".New").c_str(), 0700), 0);
  std::string e;
  EXPECT_EQ(Save(s, "comment=x\n", &e), 0);
  EXPECT_EQ(e, "Cannot create new configuration file '" + cfg_ + ".New'");
  EXPECT_EQ(ReadFile(cfg_), "comment=x\n");
}

TEST_F(SettingsTest, SaveKeepsPreviousAndPermissions) {
  TORVSettings s;
  s.FilterMarks = "11";
  s.FilterList = "a";
  std::string err;
  ASSERT_EQ(Save(s, "comment=1\n", &err), 1);
  EXPECT_EQ(err, "FilterMarks has less items than FilterList");
  std::string first = ReadFile(cfg_);
  ASSERT_EQ(chmod(cfg_.c_str(), 0600), 0);
  s.Comment = "2";
  String e;
  ASSERT_EQ(s.SaveOptions_(e), 1);
  EXPECT_EQ(ReadFile(cfg_ + ".Old"), first);
  EXPECT_EQ(ReadFile(cfg_).substr(0, 11), "comment=2\r\n");
  struct stat st;
  ASSERT_EQ(stat(cfg_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// ---- The store ----

class SettingsStoreTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    ASSERT_EQ(Load(good_, Required() + "port=1055\ncomment=c0\npassword=p0\n"), 1);
    store_.Publish(good_);
  }
  TORVSettings good_;
  TSettingsStore store_;
};

TEST_F(SettingsStoreTest, FailedReloadKeepsPreviousSnapshot) {
  auto before = store_.Get();
  WriteFile(cfg_, "orvpath=" + agent_ + "\n");
  String err;
  EXPECT_EQ(store_.LoadOptions(err), 0);
  EXPECT_EQ(S(err), "  Password is not specified!\n");
  EXPECT_EQ(store_.Get(), before);
  EXPECT_EQ(S(store_.Get()->Password), "p0");
}

TEST_F(SettingsStoreTest, ReloadPublishesAndExportsTmpDir) {
  setenv("TMPDIR", "/", 1);
  WriteFile(cfg_, Required() + "comment=c1\n");
  String err;
  ASSERT_EQ(store_.LoadOptions(err), 1);
  EXPECT_EQ(S(store_.Get()->Comment), "c1");
  EXPECT_EQ(store_.Get()->Port, 1055);
  EXPECT_EQ(std::string(getenv("TMPDIR")), dir_.path());
}

TEST_F(SettingsStoreTest, ChangeAndSavePublishesDerivedFieldsAndFile) {
  auto held = store_.Get();
  String err;
  ASSERT_EQ(store_.ChangeAndSave(
                [](TORVSettings& s) {
                  s.FilterList = "a\r\nb";
                  s.FilterMarks = "01";
                  s.Comment = "new";
                },
                err),
            1);
  EXPECT_EQ(S(store_.Get()->ActiveFilter), "\r\nb\r\n");
  EXPECT_EQ(S(held->Comment), "c0");  // a snapshot never changes under its reader
  std::string file = ReadFile(cfg_);
  EXPECT_NE(file.find("filterlist=a b\r\n"), std::string::npos);
  EXPECT_NE(file.find("comment=new\r\n"), std::string::npos);
}

TEST_F(SettingsStoreTest, FailedSaveKeepsNewValuesInForce) {
  String err;
  EXPECT_EQ(store_.ChangeAndSave(
                [this](TORVSettings& s) {
                  s.Comment = "new";
                  s.SetConfigFile(dir_.File("gone").c_str());
                },
                err),
            0);
  EXPECT_EQ(S(err), "Cannot open configuration file '" + dir_.File("gone") + "'");
  EXPECT_EQ(S(store_.Get()->Comment), "new");
}

TEST_F(SettingsStoreTest, SetPortPublishes) {
  store_.SetPort(2222);
  EXPECT_EQ(store_.Get()->Port, 2222);
  EXPECT_EQ(S(store_.Get()->Password), "p0");
}

// Readers must never see a torn record while reloads and saves replace it:
// writers always change Comment and Password together.
TEST_F(SettingsStoreTest, ReadersSeeWholeRecordsUnderConcurrentReloadAndSave) {
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      for (int i = 0; i < 200000 && !done.load(); ++i) {
        auto snap = store_.Get();
        std::string c = S(snap->Comment);
        std::string p = S(snap->Password);
        if (c.substr(1) != p.substr(1) || snap->Port != 1055) torn.fetch_add(1);
      }
    });
  }
  std::thread loader([&] {
    for (int i = 0; i < 40; ++i) {
      String err;
      store_.LoadOptions(err);
    }
  });
  std::thread saver([&] {
    for (int i = 1; i <= 40; ++i) {
      String err;
      std::string k = std::to_string(i);
      store_.ChangeAndSave(
          [&](TORVSettings& s) {
            s.Comment = ("c" + k).c_str();
            s.Password = ("p" + k).c_str();
          },
          err);
    }
  });
  loader.join();
  saver.join();
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(S(store_.Get()->Comment), "c40");
}

// The manual page of the configuration file names every key a load reads.
TEST(SettingsTable, ManualPageListsEveryKey) {
  const std::string page = testutil::ReadFile(std::string(ORV_SOURCE_DIR) + "/docs/man/orv.cfg.5");
  std::set<std::string> documented;
  size_t at = 0;
  while (at < page.size()) {
    size_t end = page.find('\n', at);
    if (end == std::string::npos) end = page.size();
    const std::string line = page.substr(at, end - at);
    at = end + 1;
    // ".B key", ".BI key= value" and ".BR key1 ", " key2".
    if (line.rfind(".B", 0) != 0) continue;
    std::string word;
    for (char c : line.substr(line.find(' ') == std::string::npos ? line.size() : line.find(' '))) {
      if (c >= 'a' && c <= 'z') {
        word += c;
        continue;
      }
      if (!word.empty()) documented.insert(word);
      word.clear();
    }
    if (!word.empty()) documented.insert(word);
  }
  for (const TSettingDesc& d : kSettings) {
    if (d.key) {
      EXPECT_EQ(documented.count(d.key), 1u) << d.key;
    }
  }
}

}  // namespace
