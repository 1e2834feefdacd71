// The dispatcher's gates and the settings commands, without a network.
// Malformed requests, "QUIT", the management switch and a failed "ReloadCfg"
// are checked end to end in tests/agent_e2e_test.cc.
#include "agent/dispatch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "tests/testutil.h"

namespace {

using testutil::S;

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::WriteFile(dir_.File("orv"), "#!/bin/sh\n");
    scoped_.edit().SetConfigFile(config_.c_str());
    scoped_.Publish();
    Reload("");
  }

  // Loads the base file and extra lines into the store.
  void Reload(const std::string& extra) {
    testutil::WriteFile(config_, "orvpath=" + dir_.File("orv") +
                                     "\r\npassword=pw\r\nport=1055\r\n" + "tmpdir=" + dir_.path() +
                                     "\r\nallowupdates=0\r\ncomment=c0\r\n" + extra);
    String err;
    ASSERT_EQ(ORVSettings.LoadOptions(err), 1) << S(err);
  }

  std::string Dispatch(const std::string& text, const char* peer = "127.0.0.1") {
    VQRequest request;
    request.CopyData(text.data(), static_cast<int>(text.size()));
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

// Each command refused with its own text while its switches are off, and
// run (answering its missing parameters) once they are on.
TEST_F(DispatchTest, EachGateRefusesOnlyItsCommands) {
  const char* kTest = "600\ntest is not allowed";
  const char* kAction = "600\noperation is not allowed";
  const char* kManage = "600\nOperation is not allowed";
  struct Row {
    const char* command;
    std::string keys;
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
      {"GetFilesList", "foldersize countfiles fileexists filecrc comparefiles textlog", kTest},
      {"UpgradeCode", "allowupdates", kManage}};
  for (const Row& row : rows) {
    for (const char* value : {"0", "1"}) {
      std::string lines;
      for (std::string rest = row.keys + " "; !rest.empty(); rest.erase(0, rest.find(' ') + 1))
        lines += rest.substr(0, rest.find(' ')) + "=" + value + "\r\n";
      Reload(lines);
      const std::string reply = Dispatch(std::string(row.command) + "\n\r");
      EXPECT_EQ(*value == '0', reply == row.refused)
          << row.command << " " << value << ": " << reply;
    }
  }
  // One file test switch keeps the file list.
  Reload("foldersize=0\r\ncountfiles=0\r\nfileexists=0\r\nfilecrc=0\r\ncomparefiles=0\r\n");
  EXPECT_NE(Dispatch("GetFilesList\n\r"), kTest);
  // Management and upgrades only from their own address lists.
  Reload("allowupdates=1\r\nupdateaddr=127.0.0.2\r\nmanageaddr=127.0.0.3\r\n");
  EXPECT_EQ(Dispatch("UpgradeCode\n1\n\r"), kManage);
  EXPECT_EQ(Dispatch("UpgradeCode\n1\n\r", "127.0.0.3"), kManage);
  EXPECT_EQ(Dispatch("UpgradeCode\n1\n\r", "127.0.0.2"), "501\nWrong file parameter(s)");
  EXPECT_EQ(Dispatch("GetSettings\n\r"), kManage);
  EXPECT_EQ(Dispatch("GetSettings\n\r", "127.0.0.3").compare(0, 4, "200\n"), 0);
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
}

// "SetSettings" decodes each kind of value into the setting its name stands
// for and publishes a new record, derived fields and temporary folder
// included, while a record already handed out never changes. Saving and
// reloading every key is checked in config/settings_test.cc.
TEST_F(DispatchTest, SetSettingsStoresAndPublishes) {
  const auto held = ORVSettings.Get();
  const uint64_t generation = ORVSettings.Generation();  // the message filter's cache key
  setenv("TMPDIR", "/", 1);
  ASSERT_EQ(Dispatch("SetSettings\nComment= c1 \nTimeout=2001\nLogOkConn=1\nFile Integrity=0\n"
                     "TCP/UDP send=1\nIPFilterAddr=10.0.0.1%0D%0A10.0.0.9\nIPFilterMarks=01\n"
                     "SNMP=0\nBogus=1\nnoequals\n\r"),
            "200\n");
  const auto set = ORVSettings.Get();
  EXPECT_EQ(S(set->Comment), "c1");
  EXPECT_EQ(set->Timeout, 2001);
  EXPECT_EQ((std::vector<int>{set->LogSuccess, set->TestFileCRC, set->ActTcpUdp, set->TestSNMP}),
            (std::vector<int>{1, 0, 1, 0}));
  EXPECT_EQ(S(set->FilterList), "10.0.0.1\r\n10.0.0.9");
  EXPECT_EQ(S(set->ActiveFilter), "\r\n10.0.0.9\r\n");
  EXPECT_NE(ORVSettings.Generation(), generation);
  EXPECT_EQ(std::string(getenv("TMPDIR")), dir_.path());
  EXPECT_EQ(S(held->Comment), "c0");
}

// Sessions read the settings while others replace them: every reader sees
// one whole record, its comment and password changed together (run under
// the thread sanitizer too).
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
        bad += got.compare(0, 4, "200\n") != 0 || value(got, "Comment") != value(got, "Password");
        bad += Dispatch("GetInfo\n\r").compare(0, 4, "200\n") != 0;
      }
    });
  }
  for (int i = 1; i <= 30; ++i) {
    const std::string k = std::to_string(i);
    bad += Dispatch("SetSettings\nComment=c" + k + "\nPassword=p" + k + "\n\r") != "200\n";
    bad += Dispatch("ReloadCfg\n\r") != "200\nOk";
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(value(Dispatch("GetSettings\n\r"), "Comment"), "30");
}

}  // namespace
