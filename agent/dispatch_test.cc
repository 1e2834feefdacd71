// The dispatcher's gates and the settings commands, without a network.
// Malformed requests, the management switch and address list and a failed
// "ReloadCfg" are checked end to end in tests/agent_e2e_test.cc.
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

using testutil::ReplyNumber;
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
  const char* kManage = "600\nOperation is not allowed";
  const std::pair<const char*, std::string> rows[] = {
      // clang-format off
      {"TEST-UNC", "unc"}, {"TEST-FolderSize", "foldersize"}, {"TEST-FileExists", "fileexists"},
      {"TEST-FileCompare", "comparefiles"}, {"TEST-FileCRC", "filecrc"},
      {"TEST-CountFiles", "countfiles"}, {"TEST-Process", "process"}, {"TEST-CPU", "cpuusage"},
      {"TEST-ExternalPrg", "external"}, {"TEST-TCP", "tcp"}, {"TEST-UDP", "udp"},
      {"TEST-TextLog", "textlog"}, {"TEST-TextLog2", "textlog"},
      {"TEST-ShellScript", "shellscript"}, {"ACT-ExternalCmd", "executeaction"},
      {"ACT-TCPUDPsend", "tcpudpaction"}, {"ACT-Syslog", "syslogaction"},
      {"GetProcessesList", "process"}, {"UpgradeCode", "allowupdates"},
      {"GetFilesList", "foldersize countfiles fileexists filecrc comparefiles textlog"},
      // clang-format on
  };
  for (const auto& [command, keys] : rows) {
    const std::string refused = command[0] == 'A'   ? "600\noperation is not allowed"
                                : command[0] == 'U' ? kManage
                                                    : kTest;
    for (const char* value : {"0", "1"}) {
      std::string lines;
      for (std::string rest = keys + " "; !rest.empty(); rest.erase(0, rest.find(' ') + 1))
        lines += rest.substr(0, rest.find(' ')) + "=" + value + "\r\n";
      Reload(lines);
      const std::string reply = Dispatch(std::string(command) + "\n\r");
      EXPECT_EQ(*value == '0', reply == refused) << command << " " << value << ": " << reply;
    }
  }
  // One file test switch keeps the file list.
  Reload("foldersize=0\r\ncountfiles=0\r\nfileexists=0\r\nfilecrc=0\r\ncomparefiles=0\r\n");
  EXPECT_NE(Dispatch("GetFilesList\n\r"), kTest);
  // Upgrades only from their own address list (not the management one); the
  // module's length is checked before anything is written, one at a time.
  Reload("allowupdates=1\r\nupdateaddr=127.0.0.2\r\nmanageaddr=127.0.0.3\r\n");
  EXPECT_EQ(Dispatch("UpgradeCode\n101\n\r"), kManage);
  EXPECT_EQ(Dispatch("UpgradeCode\n101\n\r", "127.0.0.3"), kManage);
  for (const char* length : {"100", "10485760", "-5000", "lots"})
    EXPECT_EQ(Dispatch("UpgradeCode\n" + std::string(length) + "\n\r", "127.0.0.2"),
              "501\nWrong file parameter(s)");
  for (const char* length : {"101", "10485759"})
    EXPECT_EQ(Dispatch("UpgradeCode\n" + std::string(length) + "\n\r", "127.0.0.2"), "200\n");
  UpgradeRec held;
  ASSERT_TRUE(held.RequestUpgrade("held"));
  EXPECT_EQ(Dispatch("UpgradeCode\n5000\n\r", "127.0.0.2"), "302\n");
}

// "SetSettings" decodes each kind of value into its setting and publishes a
// new record, derived fields and temporary folder included, while a record
// already handed out never changes.
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

// Readers of the settings see whole records while others replace them (run
// under the thread sanitizer too).
TEST_F(DispatchTest, ReadersSeeWholeRecordsWhileSetSettingsAndReloadCfgRun) {
  Dispatch("SetSettings\nComment=0\nPassword=0\n\r");
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        const std::string got = Dispatch("GetSettings\n\r");
        bad += got.compare(0, 4, "200\n") != 0 ||
               ReplyNumber(got, "Comment") != ReplyNumber(got, "Password");
        bad += Dispatch("GetInfo\n\r").compare(0, 4, "200\n") != 0;
      }
    });
  }
  for (int i = 1; i <= 30; ++i) {
    const std::string k = std::to_string(i);
    bad += Dispatch("SetSettings\nComment=" + k + "\nPassword=" + k + "\n\r") != "200\n";
    bad += Dispatch("ReloadCfg\n\r") != "200\nOk";
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(ReplyNumber(Dispatch("GetSettings\n\r"), "Comment"), 30);
}

}  // namespace
