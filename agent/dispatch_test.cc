#include "agent/dispatch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "config/settings_table.h"
#include "tests/testutil.h"

namespace {

using testutil::WriteFile;

// Every test starts from its own configuration file, loaded and published
// as the agent's settings.
class DispatchTest : public ::testing::Test {
 protected:
  // Publishing exports the settings' temporary folder as TMPDIR, which goes
  // away with this test's folder.
  static void SetUpTestSuite() {
    const char* t = getenv("TMPDIR");
    saved_tmpdir_ = new std::string(t ? t : "");
  }
  static void TearDownTestSuite() { delete saved_tmpdir_; }
  void TearDown() override {
    ORVSettings.Publish(*saved_settings_);
    if (saved_tmpdir_->empty())
      unsetenv("TMPDIR");
    else
      setenv("TMPDIR", saved_tmpdir_->c_str(), 1);
  }

  void SetUp() override {
    saved_settings_ = ORVSettings.Get();
    WriteFile(dir_.File("orv"), "#!/bin/sh\n");
    WriteFile(config_, "orvpath=" + dir_.File("orv") + "\r\npassword=pw\r\nport=1055\r\ntmpdir=" +
                           dir_.path() + "\r\nallowmanage=1\r\nmanageaddr=127.0.0.1\r\n" +
                           "allowupdates=0\r\ncomment=c0\r\n");
    TORVSettings s;
    s.SetConfigFile(config_.c_str());
    String err;
    ASSERT_EQ(s.LoadOptions_(err), 1) << err.ToStd();
    ORVSettings.Publish(s);
  }

  struct Outcome {
    int recognised;
    std::string reply;
  };

  Outcome Dispatch(const std::string& text, const char* peer = "127.0.0.1") {
    String bytes;
    bytes.CopyData(text.data(), static_cast<int>(text.size()));
    VQRequest request;
    request = bytes;
    ORVReply reply;
    ThreadParams params;
    inet_pton(AF_INET, peer, &params.ClientAddr);
    UpgradeRec upgrade;
    int r = ProcessVQRequest(request, reply, flags_, params, upgrade);
    return {r, reply.ToStd()};
  }

  static std::string* saved_tmpdir_;
  std::shared_ptr<const TORVSettings> saved_settings_;
  testutil::TempDir dir_;
  std::string config_ = dir_.File("orv.cfg");
  TORVFlags flags_;
};

std::string* DispatchTest::saved_tmpdir_ = nullptr;

TEST_F(DispatchTest, MalformedAndStubRequests) {
  struct Case {
    const char* text;
    int recognised;
    const char* reply;
  } cases[] = {
      {"GetInfo\n", 0, "502\nEndOfTransmission signal missed"},
      {"\n\r", 0, "500\nVoid request received"},
      {"  \t\n\r", 0, "500\nVoid request received"},
      {"\r", 0, "500\nVoid request received"},
      {"getinfo\n\r", 0, "500\nUnknown command \"getinfo\""},
      {"NoSuch\nparam\n\r", 0, "500\nUnknown command \"NoSuch\""},
      {"TEST-DiskSpace\n\r", 1, "500\nNot applicable for UNIX/Linux"},
      {"GetEventLogSources\n\r", 1, "500\nNot applicable for UNIX/Linux"},
      {"TEST-Ping\n\r", 1, "500\nnot implemented yet"},
      {"GetDriveList\n\r", 1, "500\nnot implemented yet"},
  };
  for (const Case& c : cases) {
    Outcome o = Dispatch(c.text);
    EXPECT_EQ(o.recognised, c.recognised) << c.text;
    EXPECT_EQ(o.reply, c.reply) << c.text;
  }
}

TEST_F(DispatchTest, CommandNameIsTrimmedBeforeLookup) {
  Outcome o = Dispatch(" GetInfo \n\r");
  EXPECT_EQ(o.recognised, 1);
  EXPECT_EQ(o.reply.compare(0, 4, "200\n"), 0);
}

TEST_F(DispatchTest, ManagementRefusedToUnlistedAddress) {
  for (const char* command : {"ReloadCfg\n\r", "ReloadApp\n\r", "QUIT\n\r", "GetSettings\n\r",
                              "SetSettings\nComment=x\n\r"}) {
    Outcome o = Dispatch(command, "127.0.0.2");
    EXPECT_EQ(o.recognised, 1) << command;
    EXPECT_EQ(o.reply, "600\nOperation is not allowed") << command;
  }
  EXPECT_EQ(flags_.Terminate.load(), 0);
  EXPECT_EQ(flags_.Reload.load(), 0);
}

TEST_F(DispatchTest, ManagementRefusedWhenSwitchedOff) {
  WriteFile(config_, testutil::ReadFile(config_) + "allowmanage=0\r\n");
  ASSERT_EQ(Dispatch("ReloadCfg\n\r").reply, "200\nOk");
  EXPECT_EQ(Dispatch("GetSettings\n\r").reply, "600\nOperation is not allowed");
}

TEST_F(DispatchTest, UpgradeRefusedWhenSwitchedOff) {
  EXPECT_EQ(Dispatch("UpgradeCode\n5000\n\r").reply, "600\nOperation is not allowed");
}

// Every command with a switch: refused with its own text while the switch
// is off, run while it is on. The file list needs all its switches off.
TEST_F(DispatchTest, EachSwitchedCommandFollowsItsSwitch) {
  const std::string kFileKeys[] = {"foldersize", "countfiles", "fileexists",
                                   "filecrc",    "comparefiles", "textlog"};
  struct Row {
    const char* command;
    std::vector<std::string> keys;
    const char* refused;
  } rows[] = {
      {"TEST-UNC", {"unc"}, "600\ntest is not allowed"},
      {"TEST-FolderSize", {"foldersize"}, "600\ntest is not allowed"},
      {"TEST-FileExists", {"fileexists"}, "600\ntest is not allowed"},
      {"TEST-FileCompare", {"comparefiles"}, "600\ntest is not allowed"},
      {"TEST-FileCRC", {"filecrc"}, "600\ntest is not allowed"},
      {"TEST-CountFiles", {"countfiles"}, "600\ntest is not allowed"},
      {"TEST-Process", {"process"}, "600\ntest is not allowed"},
      {"TEST-CPU", {"cpuusage"}, "600\ntest is not allowed"},
      {"TEST-ExternalPrg", {"external"}, "600\ntest is not allowed"},
      {"TEST-TCP", {"tcp"}, "600\ntest is not allowed"},
      {"TEST-UDP", {"udp"}, "600\ntest is not allowed"},
      {"TEST-TextLog", {"textlog"}, "600\ntest is not allowed"},
      {"TEST-TextLog2", {"textlog"}, "600\ntest is not allowed"},
      {"TEST-ShellScript", {"shellscript"}, "600\ntest is not allowed"},
      {"ACT-ExternalCmd", {"executeaction"}, "600\noperation is not allowed"},
      {"ACT-TCPUDPsend", {"tcpudpaction"}, "600\noperation is not allowed"},
      {"ACT-Syslog", {"syslogaction"}, "600\noperation is not allowed"},
      {"GetProcessesList", {"process"}, "600\ntest is not allowed"},
      {"GetFilesList", {std::begin(kFileKeys), std::end(kFileKeys)}, "600\ntest is not allowed"},
  };
  // Actions stay off unless the file turns them on.
  for (const char* action : {"ACT-ExternalCmd\n\r", "ACT-TCPUDPsend\n\r", "ACT-Syslog\n\r"})
    EXPECT_EQ(Dispatch(action).reply, "600\noperation is not allowed") << action;
  const std::string base = testutil::ReadFile(config_);
  auto reload = [&](const std::vector<std::string>& keys, const char* value) {
    std::string text = base;
    for (const std::string& k : keys) text += k + "=" + value + "\r\n";
    WriteFile(config_, text);
    ASSERT_EQ(Dispatch("ReloadCfg\n\r").reply, "200\nOk");
  };
  for (const Row& row : rows) {
    // No parameters: a command that runs answers quickly with its own error.
    const std::string request = std::string(row.command) + "\n\r";
    reload(row.keys, "0");
    Outcome off = Dispatch(request);
    EXPECT_EQ(off.recognised, 1) << row.command;
    EXPECT_EQ(off.reply, row.refused) << row.command;
    reload(row.keys, "1");
    Outcome on = Dispatch(request);
    EXPECT_EQ(on.recognised, 1) << row.command;
    EXPECT_NE(on.reply.compare(0, 4, "600\n"), 0) << row.command << ": " << on.reply;
  }
  // One file switch is enough for the file list.
  reload({"foldersize", "countfiles", "fileexists", "filecrc", "comparefiles"}, "0");
  EXPECT_NE(Dispatch("GetFilesList\n\r").reply.compare(0, 4, "600\n"), 0);
}

// Every setting a server may change goes load -> "SetSettings" -> save ->
// load: it holds the value sent, and after the reload the value saved, or
// its reset value when the file has no key for it.
TEST_F(DispatchTest, SettingsTableSurvivesSetSaveAndReload) {
  auto shown = [](const TORVSettings& s, const TSettingDesc& d) {
    return d.text ? (s.*d.text).ToStd() : std::to_string(s.*d.number);
  };
  std::string request = "SetSettings\n";
  std::vector<std::pair<const TSettingDesc*, std::string>> sent;
  int n = 0;
  for (const TSettingDesc& d : kSettings) {
    if (!d.remote) continue;
    const std::string i = std::to_string(++n);
    std::string wire, held;
    switch (d.kind) {
      case kBool: wire = held = d.reset_number ? "0" : "1"; break;
      case kInt:
      case kPort: wire = held = std::to_string(2000 + n); break;
      case kText: wire = held = "v" + i; break;
      case kFilterList:
        wire = "10.0.0." + i + "%0D%0A10.0.0.9";
        held = "10.0.0." + i + "\r\n10.0.0.9";
        break;
    }
    request += std::string(d.remote) + "=" + wire + "\n";
    sent.emplace_back(&d, held);
  }
  ASSERT_EQ(Dispatch(request + "\r").reply, "200\n");
  const std::shared_ptr<const TORVSettings> set = ORVSettings.Get();
  String err;
  ASSERT_EQ(ORVSettings.LoadOptions(err), 1) << err.ToStd();
  const std::shared_ptr<const TORVSettings> back = ORVSettings.Get();
  for (const auto& [d, held] : sent) {
    EXPECT_EQ(shown(*set, *d), held) << d->remote;
    const std::string reset = d->text ? d->reset_text : std::to_string(d->reset_number);
    EXPECT_EQ(shown(*back, *d), d->saved ? held : reset) << d->remote;
  }
}

TEST_F(DispatchTest, QuitAndReloadAppRaiseTheirFlags) {
  EXPECT_EQ(Dispatch("QUIT\n\r").reply, "200\nOk");
  EXPECT_EQ(flags_.Terminate.load(), 1);
  EXPECT_EQ(Dispatch("ReloadApp\n\r").reply, "200\nOk");
  EXPECT_EQ(flags_.Reload.load(), 1);
}

// Sessions read the settings while others replace them through the same
// dispatcher: every reader must see one whole record (run under TSan too).
TEST_F(DispatchTest, GetSettingsWhileSetSettingsAndReloadCfgRun) {
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      for (int i = 0; i < 2000 && !done.load(); ++i) {
        Outcome o = Dispatch("GetSettings\n\r");
        if (o.reply.compare(0, 4, "200\n") != 0 || o.reply.find("\nComment=c") == std::string::npos)
          bad.fetch_add(1);
        Outcome info = Dispatch("GetInfo\n\r");
        if (info.reply.compare(0, 4, "200\n") != 0) bad.fetch_add(1);
      }
    });
  }
  std::thread saver([&] {
    for (int i = 1; i <= 30; ++i) {
      Outcome o = Dispatch("SetSettings\nComment=c" + std::to_string(i) + "\n\r");
      if (o.reply != "200\n") bad.fetch_add(1);
    }
  });
  std::thread reloader([&] {
    for (int i = 0; i < 30; ++i) {
      if (Dispatch("ReloadCfg\n\r").reply != "200\nOk") bad.fetch_add(1);
    }
  });
  saver.join();
  reloader.join();
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_NE(Dispatch("GetSettings\n\r").reply.find("\nComment=c30\n"), std::string::npos);
}

}  // namespace
