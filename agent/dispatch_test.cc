// The dispatcher's gates and the settings commands, without a network: each
// switch and address list refuses its commands while the rest run, every
// remotely settable setting survives "SetSettings", a save and a reload, and
// readers see whole records while others replace them. Malformed requests,
// "QUIT" and the management switch are checked end to end.
#include "agent/dispatch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "config/settings_table.h"
#include "tests/testutil.h"

namespace {

using testutil::WriteFile;

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.File("orv"), "#!/bin/sh\n");
    Reload("");
  }

  // Loads and publishes the base file and extra lines.
  void Reload(const std::string& extra) {
    WriteFile(config_, "orvpath=" + dir_.File("orv") + "\r\npassword=pw\r\nport=1055\r\ntmpdir=" +
                           dir_.path() + "\r\nallowupdates=0\r\ncomment=c0\r\n" + extra);
    TORVSettings s;
    s.SetConfigFile(config_.c_str());
    String err;
    ASSERT_EQ(s.LoadOptions_(err), 1) << err.ToStd();
    ORVSettings.Publish(s);
  }

  std::string Dispatch(const std::string& text, const char* peer = "127.0.0.1") {
    String bytes;
    bytes.CopyData(text.data(), static_cast<int>(text.size()));
    VQRequest request;
    request = bytes;
    ORVReply reply;
    ThreadParams params;
    inet_pton(AF_INET, peer, &params.ClientAddr);
    UpgradeRec upgrade;
    ProcessVQRequest(request, reply, flags_, params, upgrade);
    return reply.ToStd();
  }

  testutil::ScopedSettings scoped_;
  testutil::TempDir dir_;
  std::string config_ = dir_.File("orv.cfg");
  TORVFlags flags_;
};

// Each command refused with its own text while its gate is shut, and run
// (answering its missing parameters) once the gate opens.
TEST_F(DispatchTest, EachGateRefusesOnlyItsCommands) {
  const std::string kFileKeys = "foldersize countfiles fileexists filecrc comparefiles textlog";
  const char* kTest = "600\ntest is not allowed";
  const char* kAction = "600\noperation is not allowed";
  const char* kManage = "600\nOperation is not allowed";
  struct Row {
    const char* command;
    std::string keys;  // switches set to 0, then to 1
    const char* refused;
  } rows[] = {
      {"TEST-UNC", "unc", kTest},
      {"TEST-FolderSize", "foldersize", kTest},
      {"TEST-FileExists", "fileexists", kTest},
      {"TEST-FileCompare", "comparefiles", kTest},
      {"TEST-FileCRC", "filecrc", kTest},
      {"TEST-CountFiles", "countfiles", kTest},
      {"TEST-Process", "process", kTest},
      {"TEST-CPU", "cpuusage", kTest},
      {"TEST-ExternalPrg", "external", kTest},
      {"TEST-TCP", "tcp", kTest},
      {"TEST-UDP", "udp", kTest},
      {"TEST-TextLog", "textlog", kTest},
      {"TEST-TextLog2", "textlog", kTest},
      {"TEST-ShellScript", "shellscript", kTest},
      {"ACT-ExternalCmd", "executeaction", kAction},
      {"ACT-TCPUDPsend", "tcpudpaction", kAction},
      {"ACT-Syslog", "syslogaction", kAction},
      {"GetProcessesList", "process", kTest},
      {"GetFilesList", kFileKeys, kTest},
      {"UpgradeCode", "allowupdates", kManage},
  };
  for (const Row& row : rows) {
    auto lines = [&](const char* value) {
      std::string text;
      for (std::string rest = row.keys + " "; !rest.empty(); rest.erase(0, rest.find(' ') + 1))
        text += rest.substr(0, rest.find(' ')) + "=" + value + "\r\n";
      return text;
    };
    const std::string request = std::string(row.command) + "\n\r";
    Reload(lines("0"));
    EXPECT_EQ(Dispatch(request), row.refused) << row.command;
    Reload(lines("1"));
    const std::string on = Dispatch(request);
    EXPECT_NE(on.compare(0, 4, "600\n"), 0) << row.command << ": " << on;
  }
  // Actions stay off unless the file turns them on; one file switch is
  // enough for the file list.
  Reload("");
  EXPECT_EQ(Dispatch("ACT-ExternalCmd\n\r"), kAction);
  Reload("foldersize=0\r\ncountfiles=0\r\nfileexists=0\r\nfilecrc=0\r\ncomparefiles=0\r\n");
  EXPECT_NE(Dispatch("GetFilesList\n\r").compare(0, 4, "600\n"), 0);
  // Management and upgrades only from their address lists.
  Reload("allowupdates=1\r\nupdateaddr=127.0.0.2\r\nmanageaddr=127.0.0.2\r\n");
  EXPECT_EQ(Dispatch("UpgradeCode\n1\n\r"), kManage);
  EXPECT_EQ(Dispatch("GetSettings\n\r"), kManage);
  EXPECT_EQ(Dispatch("UpgradeCode\n1\n\r", "127.0.0.2"), "501\nWrong file parameter(s)");
  EXPECT_EQ(Dispatch("GetSettings\n\r", "127.0.0.2").compare(0, 4, "200\n"), 0);
}

// The module's length is checked before anything is written, and one
// upgrade at a time: a second claim while one is held is "302".
TEST_F(DispatchTest, UpgradeCodeLengthsAndClaim) {
  Reload("allowupdates=1\r\n");
  for (const char* length : {"100", "10485760", "0", "-5000", "lots"})
    EXPECT_EQ(Dispatch("UpgradeCode\n" + std::string(length) + "\n\r"),
              "501\nWrong file parameter(s)");
  for (const char* length : {"101", "10485759"})
    EXPECT_EQ(Dispatch("UpgradeCode\n" + std::string(length) + "\n\r"), "200\n") << length;
  UpgradeRec held;
  ASSERT_TRUE(held.RequestUpgrade("held"));
  EXPECT_EQ(Dispatch("UpgradeCode\n5000\n\r"), "302\n");
  held.ClearanceUpgrade();
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
    const std::string wire = d.kind == kBool         ? (d.reset_number ? "0" : "1")
                             : d.kind == kText       ? "v" + i
                             : d.kind == kFilterList ? "10.0.0." + i + "%0D%0A10.0.0.9"
                                                     : std::to_string(2000 + n);
    const std::string held = d.kind == kFilterList ? "10.0.0." + i + "\r\n10.0.0.9" : wire;
    request += std::string(d.remote) + "=" + wire + "\n";
    sent.emplace_back(&d, held);
  }
  ASSERT_EQ(Dispatch(request + "\r"), "200\n");
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

// Sessions read the settings while others replace them: every reader sees
// one whole record, its comment and password changed together (run under
// TSan too).
TEST_F(DispatchTest, ReadersSeeWholeRecordsWhileSetSettingsAndReloadCfgRun) {
  auto value = [](const std::string& reply, const std::string& key) {
    size_t at = reply.find("\n" + key + "=");
    if (at == std::string::npos) return std::string("?");
    at += key.size() + 3;  // past the first letter, "c" or "p"
    return reply.substr(at, reply.find('\n', at) - at);
  };
  Dispatch("SetSettings\nComment=c0\nPassword=p0\n\r");
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        const std::string got = Dispatch("GetSettings\n\r");
        if (got.compare(0, 4, "200\n") != 0 || value(got, "Comment") != value(got, "Password"))
          bad++;
        if (Dispatch("GetInfo\n\r").compare(0, 4, "200\n") != 0) bad++;
      }
    });
  }
  for (int i = 1; i <= 30; ++i) {
    const std::string k = std::to_string(i);
    if (Dispatch("SetSettings\nComment=c" + k + "\nPassword=p" + k + "\n\r") != "200\n") bad++;
    if (Dispatch("ReloadCfg\n\r") != "200\nOk") bad++;
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(value(Dispatch("GetSettings\n\r"), "Comment"), "30");
}

}  // namespace
