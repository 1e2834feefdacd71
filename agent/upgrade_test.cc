#include "agent/upgrade.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "agent/flags.h"
#include "base/environment.h"
#include "config/settings.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/packet.h"
#include "tests/testutil.h"

namespace {

const char kKey[] = "upgrade-session-key";

std::string Module(int n) {
  std::string m;
  for (int i = 0; i < n; ++i) m += static_cast<char>((i * 7 + 3) & 0xFF);
  return m;
}

// The 16-byte digest trailer a server sends after the module.
std::string Trailer(const std::string& module, const char* key = kKey) {
  return BuildUpgradeTrailer(module.data(), static_cast<int>(module.size()), String(key)).ToStd();
}

int Mode(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// Runs every case with the agent at /opt/orv/orv and TMPDIR pointing at a
// fresh folder; puts the settings, the environment and the run flags back.
class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Twofish_initialise();
    saved_settings_ = ORVSettings.Get();
    had_tmpdir_ = GetEnvVar("TMPDIR", saved_tmpdir_);
    TORVSettings s = *saved_settings_;
    s.AgentPath = "/opt/orv/orv";
    s.TmpDir = tmp_.path().c_str();
    ORVSettings.Publish(s);
    SetEnvVar("TMPDIR", String(tmp_.path().c_str()));
  }
  void TearDown() override {
    ORVSettings.Publish(*saved_settings_);
    if (had_tmpdir_)
      SetEnvVar("TMPDIR", saved_tmpdir_);
    else
      unsetenv("TMPDIR");
    std::lock_guard<std::mutex> lock(thread_mutex);
    ORVFlags.UpgradeScript = "";
    ORVFlags.Upgrade = 0;
  }

  // Claims the upgrade for rec and makes the first, data-less call.
  void Begin(UpgradeRec& rec, int64_t size) {
    ASSERT_TRUE(rec.RequestUpgrade(kKey));
    rec.FileSize = size;
    String err;
    ASSERT_TRUE(DoUpgrading(rec, nullptr, 0, err)) << err.ToStd();
    ASSERT_EQ(err.ToStd(), "");
  }
  bool Feed(UpgradeRec& rec, const std::string& block, String& err) {
    return DoUpgrading(rec, block.data(), static_cast<int>(block.size()), err);
  }
  std::string ModulePath() const { return tmp_.File("orv__.upd"); }
  std::string ScriptPath() const { return tmp_.File("orvupd__.sh"); }
  static bool ClaimFree() {
    UpgradeRec probe;
    if (!probe.RequestUpgrade("probe")) return false;
    probe.ClearanceUpgrade();
    return true;
  }
  static std::string Script() {
    std::lock_guard<std::mutex> lock(thread_mutex);
    return ORVFlags.UpgradeScript.ToStd();
  }

  testutil::TempDir tmp_;
  std::shared_ptr<const TORVSettings> saved_settings_;
  bool had_tmpdir_ = false;
  String saved_tmpdir_;
};

TEST_F(UpgradeTest, ModuleAndTrailerInOneBlockWriteTheScript) {
  const std::string module = Module(200);
  UpgradeRec rec;
  Begin(rec, 200);
  String err;
  ASSERT_TRUE(Feed(rec, module + Trailer(module), err)) << err.ToStd();
  EXPECT_EQ(err.ToStd(), "");
  EXPECT_EQ(rec.InProgress, 0);
  EXPECT_EQ(testutil::ReadFile(ModulePath()), module);
  EXPECT_EQ(Mode(ModulePath()), 0775);
  EXPECT_EQ(Mode(ScriptPath()), 0775);
  EXPECT_EQ(Script(), ScriptPath());

  const std::string t = tmp_.path();
  const std::string want =
      "#! /bin/sh\n"
      "oldORV='/opt/orv/orv'\n"
      "newORV='" +
      t +
      "/orv__.upd'\n"
      "retries=10\n"
      "rm $oldORV\n"
      "while [ -f $oldORV ] &&  [ $retries -gt 0 ]\n"
      "do\n"
      "  retries=`expr $retries - 1`\n"
      "  echo $retries\n"
      "  sleep 1\n"
      "done\n"
      "cp -f $newORV $oldORV\n"
      "rm -f $newORV\n"
      "$oldORV $1 $2 $3 $4 $5 $6\n"
      "rm " +
      t + "/orvupd__.sh\n";
  EXPECT_EQ(testutil::ReadFile(ScriptPath()), want);
}

TEST_F(UpgradeTest, NoNewClaimWhileAcceptedModuleWaitsForItsScript) {
  const std::string module = Module(200);
  UpgradeRec rec;
  Begin(rec, 200);
  String err;
  ASSERT_TRUE(Feed(rec, module + Trailer(module), err)) << err.ToStd();
  EXPECT_FALSE(ClaimFree());  // a second transfer would truncate the module
  EXPECT_EQ(testutil::ReadFile(ModulePath()), module);
}

TEST_F(UpgradeTest, ForeignFileOrLinkUnderModuleNameIsReplaced) {
  testutil::WriteFile(tmp_.File("target"), "keep me");
  ASSERT_EQ(symlink(tmp_.File("target").c_str(), ModulePath().c_str()), 0);
  testutil::WriteFile(ScriptPath(), "old script that must not survive");
  const std::string module = Module(130);
  UpgradeRec rec;
  Begin(rec, 130);
  String err;
  ASSERT_TRUE(Feed(rec, module + Trailer(module), err)) << err.ToStd();
  EXPECT_EQ(testutil::ReadFile(tmp_.File("target")), "keep me");  // link not followed
  EXPECT_EQ(testutil::ReadFile(ModulePath()), module);
  EXPECT_EQ(testutil::ReadFile(ScriptPath()).substr(0, 11), "#! /bin/sh\n");
}

TEST_F(UpgradeTest, TrailingSlashOfTmpDirIsNotDoubledInModulePath) {
  SetEnvVar("TMPDIR", String((tmp_.path() + "/").c_str()));
  UpgradeRec rec;
  Begin(rec, 101);
  EXPECT_EQ(rec.TempName.ToStd(), ModulePath());
}

TEST_F(UpgradeTest, WrongDigestDeletesModuleAndReleasesClaim) {
  const std::string module = Module(300);
  UpgradeRec rec;
  Begin(rec, 300);
  String err;
  EXPECT_FALSE(Feed(rec, module + Trailer(module, "another-key"), err));
  EXPECT_EQ(err.ToStd(), "Wrong CRC");
  EXPECT_EQ(rec.InProgress, 0);
  EXPECT_FALSE(Exists(ModulePath()));
  EXPECT_FALSE(Exists(ScriptPath()));
  EXPECT_EQ(Script(), "");
  EXPECT_TRUE(ClaimFree());
}

TEST_F(UpgradeTest, ModuleEndingAtBlockEndTakesWholeNextBlockAsTrailer) {
  const std::string module = Module(1024);
  UpgradeRec rec;
  Begin(rec, 1024);
  String err;
  ASSERT_TRUE(Feed(rec, module, err));
  EXPECT_EQ(rec.InProgress, 1);  // nothing after the module yet: no trailer
  EXPECT_EQ(rec.Received, 1024);
  ASSERT_TRUE(Feed(rec, Trailer(module), err)) << err.ToStd();
  EXPECT_EQ(rec.InProgress, 0);
  EXPECT_EQ(testutil::ReadFile(ModulePath()), module);
  EXPECT_EQ(Script(), ScriptPath());
}

TEST_F(UpgradeTest, ModuleOverSeveralBlocksThenTrailerInLastOne) {
  const std::string module = Module(2500);
  UpgradeRec rec;
  Begin(rec, 2500);
  String err;
  std::string wire = module + Trailer(module);
  for (size_t at = 0; at < wire.size(); at += 1024) {
    ASSERT_EQ(rec.InProgress, 1);
    ASSERT_TRUE(Feed(rec, wire.substr(at, 1024), err)) << err.ToStd();
  }
  EXPECT_EQ(rec.InProgress, 0);
  EXPECT_EQ(testutil::ReadFile(ModulePath()), module);
}

TEST_F(UpgradeTest, EveryByteAfterModuleInSameBlockIsTrailer) {
  const std::string module = Module(150);
  UpgradeRec rec;
  Begin(rec, 150);
  String err;
  EXPECT_FALSE(Feed(rec, module + Trailer(module) + "x", err));
  EXPECT_EQ(err.ToStd(), "Wrong CRC");
  EXPECT_FALSE(Exists(ModulePath()));
}

TEST_F(UpgradeTest, TrailerSplitOverTwoBlocksIsRefused) {
  const std::string module = Module(150);
  const std::string trailer = Trailer(module);
  UpgradeRec rec;
  Begin(rec, 150);
  String err;
  EXPECT_FALSE(Feed(rec, module + trailer.substr(0, 8), err));
  EXPECT_EQ(err.ToStd(), "Wrong CRC");
  EXPECT_TRUE(ClaimFree());
}

TEST_F(UpgradeTest, SecondClaimRefusedUntilFirstEnds) {
  UpgradeRec first;
  Begin(first, 500);
  UpgradeRec second;
  EXPECT_FALSE(second.RequestUpgrade("other"));
  EXPECT_EQ(second.InProgress, 0);
  first.ClearanceUpgrade();
  EXPECT_TRUE(second.RequestUpgrade("other"));
  second.ClearanceUpgrade();
}

TEST_F(UpgradeTest, LongTempDirIsRefused) {
  SetEnvVar("TMPDIR", String(("/" + std::string(1020, 'd')).c_str()));
  UpgradeRec rec;
  ASSERT_TRUE(rec.RequestUpgrade(kKey));
  rec.FileSize = 500;
  String err;
  EXPECT_FALSE(DoUpgrading(rec, nullptr, 0, err));
  EXPECT_EQ(err.ToStd(), "Cannot create temp file");
  EXPECT_EQ(rec.InProgress, 0);
  EXPECT_TRUE(ClaimFree());
}

TEST_F(UpgradeTest, MissingTempDirCannotCreateModule) {
  SetEnvVar("TMPDIR", String(tmp_.File("absent").c_str()));
  UpgradeRec rec;
  ASSERT_TRUE(rec.RequestUpgrade(kKey));
  rec.FileSize = 500;
  String err;
  EXPECT_FALSE(DoUpgrading(rec, nullptr, 0, err));
  EXPECT_EQ(err.ToStd(), "Cannot create temp file");
  EXPECT_TRUE(ClaimFree());
}

TEST_F(UpgradeTest, AbandonedTransferDeletesPartialModule) {
  {
    UpgradeRec rec;
    Begin(rec, 5000);
    String err;
    ASSERT_TRUE(Feed(rec, Module(1024), err));
    EXPECT_TRUE(Exists(ModulePath()));
  }  // the session ends mid-transfer
  EXPECT_FALSE(Exists(ModulePath()));
  EXPECT_TRUE(ClaimFree());
}

TEST_F(UpgradeTest, UnwritableScriptKeepsNoModule) {
  // A folder where the script should go makes opening the script fail.
  ASSERT_EQ(mkdir(ScriptPath().c_str(), 0755), 0);
  const std::string module = Module(120);
  UpgradeRec rec;
  Begin(rec, 120);
  String err;
  EXPECT_FALSE(Feed(rec, module + Trailer(module), err));
  EXPECT_EQ(err.ToStd(), "Binary code transferred. Cannot create script file");
  EXPECT_FALSE(Exists(ModulePath()));
  EXPECT_EQ(Script(), "");
  EXPECT_TRUE(ClaimFree());
}

}  // namespace
