// The upgrade transfer in this process: how the module and its digest
// trailer may be split over the blocks a session reads, what lands on disk,
// and the claim. The script's work and the replies are checked end to end.
#include "agent/upgrade.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent/flags.h"
#include "base/private_tmp.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "tests/testutil.h"

namespace {

using testutil::Exists;
using testutil::ReadFile;

const char kKey[] = "upgrade-session-key";

std::string Module(int n) {
  std::string m;
  for (int i = 0; i < n; ++i) m += static_cast<char>((i * 7 + 3) & 0xFF);
  return m;
}

std::string Trailer(const std::string& module) {
  return BuildUpgradeTrailer(module.data(), static_cast<int>(module.size()), String(kKey)).ToStd();
}

class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Twofish_initialise();
    setenv("TMPDIR", tmp_.path().c_str(), 1);
  }
  void TearDown() override { Unpublish(); }

  // Claims the upgrade for size bytes and feeds the blocks; the outcome of
  // the last block, its text in *err.
  bool Run(const std::vector<std::string>& blocks, int64_t size, std::string* err) {
    UpgradeRec rec;
    String e;
    bool ok = rec.RequestUpgrade(kKey);
    rec.FileSize = size;
    ok = ok && DoUpgrading(rec, nullptr, 0, e);
    for (size_t i = 0; ok && i < blocks.size(); ++i) {
      EXPECT_EQ(rec.InProgress, 1);
      ok = DoUpgrading(rec, blocks[i].data(), static_cast<int>(blocks[i].size()), e);
    }
    EXPECT_TRUE(!ok || rec.InProgress == 0);
    *err = e.ToStd();
    return ok;
  }
  // The module and the script live in the agent's private folder.
  static std::string Private(const char* name) {
    String err;
    return PrivateTmpFolder(err).ToStd() + name;
  }
  static bool ClaimFree() {
    UpgradeRec probe;
    return probe.RequestUpgrade("probe");  // let go when the probe goes
  }
  // The script the main loop would run, taken away as the main loop does.
  static std::string Unpublish() {
    std::lock_guard<std::mutex> lock(thread_mutex);
    std::string script = ORVFlags.UpgradeScript.ToStd();
    ORVFlags.UpgradeScript = "";
    ORVFlags.Upgrade = 0;
    return script;
  }

  testutil::TempDir tmp_;
  testutil::ScopedSettings settings_;  // puts TMPDIR back
};

// A link or file left under the module's or the script's name is replaced,
// not followed; only root may read the script.
TEST_F(UpgradeTest, BlockSplits) {
  const std::string module = Private("/orv__.upd"), script = Private("/orvupd__.sh");
  testutil::WriteFile(tmp_.File("target"), "keep me");
  ASSERT_EQ(symlink(tmp_.File("target").c_str(), module.c_str()), 0);
  testutil::WriteFile(script, "old script that must not survive");
  const std::string m150 = Module(150), m1024 = Module(1024), t150 = Trailer(m150);
  struct Row {
    const char* name;
    std::vector<std::string> blocks;
    int size;
    const std::string* module;  // what must be on disk; null when refused
  } rows[] = {
      {"module and trailer in one block", {m150 + t150}, 150, &m150},
      // Nothing after the module yet: the whole next block is the trailer.
      {"module ends at a block end", {m1024, Trailer(m1024)}, 1024, &m1024},
      {"module over two blocks, trailer in the last",
       {m150.substr(0, 99), m150.substr(99) + t150},
       150,
       &m150},
      {"every byte after the module is trailer", {m150 + t150 + "x"}, 150, nullptr},
      {"trailer split over two blocks", {m150 + t150.substr(0, 8), t150.substr(8)}, 150, nullptr},
      {"digest of other bytes", {m150 + Trailer(m150 + "x")}, 150, nullptr},
  };
  for (const Row& r : rows) {
    std::string err;
    EXPECT_EQ(Run(r.blocks, r.size, &err), r.module != nullptr) << r.name;
    EXPECT_EQ(err, r.module ? "" : "Wrong CRC") << r.name;
    EXPECT_EQ(Exists(module), r.module != nullptr) << r.name;
    if (r.module) {
      EXPECT_EQ(ReadFile(module), *r.module) << r.name;
      EXPECT_FALSE(ClaimFree()) << r.name;  // a second transfer would truncate the module
      EXPECT_EQ(Unpublish(), script) << r.name;
    } else {
      EXPECT_EQ(Unpublish(), "") << r.name;
    }
    EXPECT_TRUE(ClaimFree()) << r.name;
  }
  EXPECT_EQ(ReadFile(tmp_.File("target")), "keep me");
  struct stat st;
  ASSERT_EQ(stat(script.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_NE(ReadFile(script).find("\nnewORV='" + module + "'\n"), std::string::npos);
}

// With a folder where the script goes the module is taken in, then removed.
// A temporary folder that cannot be had is FaultsTest's.
TEST_F(UpgradeTest, ScriptThatCannotBeCreated) {
  ASSERT_EQ(mkdir(Private("/orvupd__.sh").c_str(), 0755), 0);
  const std::string module = Module(120);
  std::string err;
  EXPECT_FALSE(Run({module + Trailer(module)}, 120, &err));
  EXPECT_EQ(err, "Binary code transferred. Cannot create script file");
  EXPECT_FALSE(Exists(Private("/orv__.upd")));
  EXPECT_EQ(Unpublish(), "");
  EXPECT_TRUE(ClaimFree());
}

}  // namespace
