#include "config/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings_table.h"
#include "tests/testutil.h"

namespace {

using testutil::ReadFile;
using testutil::S;
using testutil::WriteFile;

std::string Shown(const TORVSettings& s, const TSettingDesc& d) {
  return d.text ? S(s.*d.text) : std::to_string(s.*d.number);
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(agent_, "#!/bin/sh\n"); }

  // The lines every valid file needs, without "port".
  std::string Required() const {
    return "orvpath=" + agent_ + "\npassword=pw\ntmpdir=" + dir_.path() + "\n";
  }
  // Writes the file, then loads s from it (or saves s into it).
  int Load(TORVSettings& s, const std::string& contents, std::string* err = nullptr,
           int (TORVSettings::*op)(String&) = &TORVSettings::LoadOptions_) {
    WriteFile(cfg_, contents);
    s.SetConfigFile(cfg_.c_str());
    String e;
    const int r = (s.*op)(e);
    if (err) *err = S(e);
    return r;
  }
  int Save(TORVSettings& s, const std::string& contents, std::string* err = nullptr) {
    return Load(s, contents, err, &TORVSettings::SaveOptions_);
  }

  testutil::ScopedSettings scoped_;  // puts TMPDIR back
  testutil::TempDir dir_;
  std::string agent_ = dir_.File("orv");
  std::string cfg_ = dir_.File("orv.cfg");
};

// A file's lines (with "port=1" when they name no port), the key read back
// ("active" is the connection filter made of the list and its marks), its
// value and the text of the load, which fails when the text has a "!".
TEST_F(SettingsTest, Loads) {
  const std::string d = dir_.path(), xs(1015, 'x');  // "comment=" and xs fill one 1023-byte piece
  const std::string kMarks = "FilterMarks has less items than FilterList";
  const std::string kNoPath = "  Full path to the agent is not specified!\n";
  const std::string kBadPath = "  Invalid path to the agent!\n";
  struct Row {
    std::string lines;
    const char* key;
    std::string value, message;
  } rows[] = {
      {"  Port = 1055 \r\n", "port", "1055", ""},
      {"#port=1\n;port=4\n #port=2\nport=3\n", "port", "3", ""},  // " #port" is no comment
      {"port=7\nport=2\n", "port", "7", ""},  // the listener is bound to the first
      {"port=x\n", "port", "0", "  TCP post is not specified!\n"},
      {"comment=a\ncomment=b\n", "comment", "b", ""},
      {"comment==x \t\r\n", "comment", "=x", ""},
      {"comment=" + xs + "port=5\n", "port", "5", ""},
      {"comment=" + xs + "port=5\n", "comment", xs, ""},
      {"filteractive=yes\n", "filteractive", "0", ""},
      {"filteractive=1abc\n", "filteractive", "1", ""},
      {"logfails=\n", "logfails", "0", ""},
      {"timeout=12abc\n", "timeout", "12", ""},
      {"timeout=-7\n", "timeout", "-7", ""},
      {"timeout=abc\n", "timeout", "4000", ""},
      {"timeout=99999999999\n", "timeout", "2147483647", ""},
      // The limits on strangers are never switched off by a slip of the pen.
      {"maxsessions=0\n", "maxsessions", std::to_string(kDefaultMaxSessions), ""},
      {"maxsessionsperaddr=-1\n", "maxsessionsperaddr", std::to_string(kDefaultMaxSessionsPerAddr),
       ""},
      {"requesttimeout=0\n", "requesttimeout", std::to_string(kDefaultRequestTimeout), ""},
      {"replaywindow=-5\n", "replaywindow", "0", ""},
      {"filterlist=  10.0.0.1   10.0.0.2 \n", "filterlist", "10.0.0.1\r\n10.0.0.2", ""},
      {"filterlist=a%0D%0Ab\n", "filterlist", "a\r\nb", ""},
      {"", "active", "\r\n127.0.0.1\r\n", ""},
      {"filterlist=a b\nfiltermarks=01\n", "active", "\r\nb\r\n", ""},
      {"filterlist=a b c\nfiltermarks=1\n", "active", "\r\na\r\n", ""},
      {"filterlist=a b\nfiltermarks=111\n", "active", "\r\na\r\nb\r\n", kMarks},
      {"filtermarks=11\npassword=\norvpath=\n", "password", "",
       kMarks + "  Password is not specified!\n" + kNoPath},
      {"orvpath=orv\n", "orvpath", "orv", kNoPath},
      {"orvpath=" + dir_.File("none") + "\n", "orvpath", dir_.File("none"), kBadPath},
      {"orvpath=" + d + "\n", "orvpath", d, kBadPath},
      // Bare helper-script names live beside the agent.
      {"cpuusagescript=cpu.sh\n", "cpuusagescript", d + "/cpu.sh", ""},
      {"proclistscript=pl.sh\n", "proclistscript", d + "/pl.sh", ""},
      {"proccntscript=pc.sh\n", "proccntscript", d + "/pc.sh", ""},
      {"cpuusagescript=sub/cpu.sh\n", "cpuusagescript", "sub/cpu.sh", ""},
  };
  for (const Row& r : rows) {
    TORVSettings s;
    std::string message;
    const std::string port = r.lines.find("port=") == std::string::npos ? "port=1\n" : "";
    EXPECT_EQ(Load(s, Required() + r.lines + port, &message), r.message.find('!') == r.message.npos)
        << r.lines;
    const TSettingDesc* desc = FindSettingByKey(String(r.key));
    EXPECT_EQ(desc ? Shown(s, *desc) : S(s.ActiveFilter), r.value) << r.lines;
    EXPECT_EQ(message, r.message) << r.lines;
  }
}

// A load of a missing file is refused at start-up (AgentE2E); a save needs
// the file and room for its new copy.
TEST_F(SettingsTest, SaveErrors) {
  TORVSettings s;
  String err;
  s.SetConfigFile(dir_.File("missing").c_str());
  EXPECT_EQ(s.SaveOptions_(err), 0);
  EXPECT_EQ(S(err), "Cannot open configuration file '" + dir_.File("missing") + "'");
  ASSERT_EQ(mkdir((cfg_ + ".New").c_str(), 0700), 0);
  std::string e;
  EXPECT_EQ(Save(s, "comment=x\n", &e), 0);
  EXPECT_EQ(e, "Cannot create new configuration file '" + cfg_ + ".New'");
  EXPECT_EQ(ReadFile(cfg_), "comment=x\n");
}

// Every saved key, each with a value no load starts from, is appended to a
// file that names none and loads back as it was saved. A reload keeps what
// its row keeps (the port: the listener is bound to it) and starts the rest
// afresh.
TEST_F(SettingsTest, EveryKeySavedLoadedBackAndReloaded) {
  TORVSettings s, back;
  for (const TSettingDesc& d : kSettings) {
    const int odd = 1000 + static_cast<int>(&d - kSettings);
    if (d.saved && d.text)
      s.*d.text = d.kind == kFilterList ? "a\r\nb" : ("v" + std::to_string(odd)).c_str();
    else if (d.saved)
      s.*d.number = d.kind == kBool ? !d.reset_number : odd;
  }
  ASSERT_EQ(Save(s, "# only\r\n; comments"), 1);
  const std::string file = ReadFile(cfg_);
  EXPECT_EQ(file.compare(0, 20, "# only\r\n; comments\r\n"), 0) << file;
  EXPECT_NE(file.find("\r\nfilterlist=a b\r\n"), std::string::npos) << file;
  Load(back, file);
  for (const TSettingDesc& d : kSettings)
    EXPECT_TRUE(!d.saved || Shown(back, d) == Shown(s, d)) << d.key;
  ASSERT_EQ(Load(back, "orvpath=" + agent_ + "\npassword=pw\nport=9\n"), 1);
  EXPECT_EQ(S(back.Host), S(s.Host));
  EXPECT_EQ(back.Port, s.Port);
  EXPECT_EQ(S(back.Comment), "");
  EXPECT_EQ(back.TestUNC, 1);
}

// "tmpdir", else TMPDIR, else TMP (not consulted while TMPDIR is set), else
// ".": the first that names a folder, without a trailing slash.
TEST_F(SettingsTest, TmpDirFallsBackToEnvironmentThenDot) {
  const char* tmp = getenv("TMP");
  const std::string saved_tmp = tmp ? tmp : "", d = dir_.path(), missing = dir_.File("missing");
  const std::string rows[][4] = {
      // "tmpdir", TMPDIR, TMP ("-": unset), the folder taken
      {d + "/", "-", "-", d},     {missing, "-", "-", "."},   {"", "-", d, d},
      {missing, missing, d, "."}, {missing, d + "/", "-", d},
  };
  for (const auto& r : rows) {
    for (int i : {1, 2})
      r[i] == "-" ? unsetenv(i == 1 ? "TMPDIR" : "TMP")
                  : setenv(i == 1 ? "TMPDIR" : "TMP", r[i].c_str(), 1);
    TORVSettings s;
    s.TmpDir = r[0].c_str();
    String err;
    s.PutRight(err);
    EXPECT_EQ(S(s.TmpDir), r[3]) << r[0] << " " << r[1];
  }
  tmp ? setenv("TMP", saved_tmp.c_str(), 1) : unsetenv("TMP");
}

// A save rewrites the values it knows in place (a switch only its digit),
// once, and keeps every other line. The ".Old" copy and the permissions are
// FaultsTest's and AgentE2E's; the keys the file lacks follow it as in the
// round trip above.
TEST_F(SettingsTest, SaveRewritesValuesInPlace) {
  TORVSettings s;
  Load(s,
       "comment=new\nlogfails=0\ntcp=0\nudp=1\nping=1\nhost=b\nfilterlist=a b\nfiltermarks=111\n");
  const std::string kept =
      "# comment = x\r\n; other\nunknown = 5\r\norvpath = /x/orv \npidfile=/run/orv.pid\r\n"
      "delayforscripts = 5\nno equals here\n";
  std::string err;
  ASSERT_EQ(Save(s,
                 kept + "Comment = old\r\nlogfails=1\r\ntcp=1abc\nudp=\r\nping =  \nhost = a\n"
                        "FilterList=x\r\ncomment=again\r\nlast=line",
                 &err),
            1);
  EXPECT_EQ(err, "FilterMarks has less items than FilterList");
  const std::string expected = kept +
                               "Comment = new\r\nlogfails=0\r\ntcp=0abc\nudp=1\r\nping =  1\n"
                               "host = b\r\nFilterList=a b\r\ncomment=new\r\nlast=line\r\n";
  const std::string out = ReadFile(cfg_);
  ASSERT_EQ(out.substr(0, expected.size()), expected);
  EXPECT_EQ(testutil::Occurrences(out, "\ncomment="), 1u) << out;
  EXPECT_EQ(testutil::Occurrences(out, "\nlogfails="), 1u) << out;
}

// A long line leaves a value only the room that keeps it one piece on load.
TEST_F(SettingsTest, SaveRespectsRoomOnLongLines) {
  TORVSettings s;
  s.Comment = std::string(40, 'n').c_str();
  struct Row {
    int blanks;  // the value starts at column 8 + blanks
    std::string value;
  } rows[] = {
      {992, std::string(20, 'n') + "\r\n"},  // room for 20 characters
      {1012, "\r\n"},                        // room for none
      {1013, "o\n"},                         // no room at all: the old value stays
  };
  for (const Row& r : rows) {
    const std::string head = "comment=" + std::string(r.blanks, ' ');
    ASSERT_EQ(Save(s, head + "o\n"), 1);
    EXPECT_EQ(ReadFile(cfg_).substr(0, head.size() + r.value.size()), head + r.value) << r.blanks;
  }
}

// No text a server stores, its line rewritten or appended, reads back as a
// key of its own (a helper script run as root); the last rows fill a line's
// piece, so that an appended value's rest would begin a piece of its own.
TEST_F(SettingsTest, NoValueAddsAKey) {
  const std::string smuggled = "cpuusagescript=/tmp/x.sh";
  const std::pair<String TORVSettings::*, std::string> rows[] = {
      {&TORVSettings::Comment, std::string(3000, 'B') + "\n" + smuggled},
      {&TORVSettings::Comment, "a\r\n" + smuggled + "\r\n"},
      {&TORVSettings::Comment, std::string("a\0\n", 3) + smuggled},
      {&TORVSettings::Comment, std::string(2000, '\n')},
      {&TORVSettings::Comment, std::string(1015, 'x') + smuggled},
      {&TORVSettings::Comment, std::string(1016, 'x') + smuggled},
      {&TORVSettings::FilterList, std::string(1012, 'x') + smuggled},
      {&TORVSettings::FilterList, std::string(1013, 'x') + smuggled},
  };
  const std::string base =
      "orvpath=" + agent_ + "\ntmpdir=" + dir_.path() + "\ncpuusagescript=/safe.sh\n";
  TORVSettings reference;
  ASSERT_EQ(Save(reference, base), 1);
  const std::string full = ReadFile(cfg_);  // names every key
  for (const auto& [field, value] : rows) {
    for (const std::string& file : {base, full}) {
      TORVSettings s, back;
      (s.*field).CopyData(value.data(), static_cast<int>(value.size()));
      ASSERT_EQ(Save(s, file), 1);
      Load(back, ReadFile(cfg_));
      ASSERT_EQ(S(back.CpuUsageScript), "/safe.sh") << value.size();
    }
  }
}

// The manual page names every key a load reads, on its ".B" lines.
TEST(SettingsTable, ManualPageListsEveryKey) {
  std::istringstream page(ReadFile(std::string(ORV_SOURCE_DIR) + "/docs/man/orv.cfg.5"));
  std::set<std::string> documented;
  for (std::string line; std::getline(page, line);) {
    if (line.rfind(".B", 0) != 0) continue;
    for (char& c : line) c = c >= 'a' && c <= 'z' ? c : ' ';
    std::istringstream words(line);
    for (std::string word; words >> word;) documented.insert(word);
  }
  for (const TSettingDesc& d : kSettings) EXPECT_TRUE(!d.key || documented.count(d.key)) << d.key;
}

}  // namespace
