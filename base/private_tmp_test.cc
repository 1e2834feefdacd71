#include "base/private_tmp.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/environment.h"
#include "tests/testutil.h"

namespace {

int Mode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

std::string Make(const std::string& path, mode_t mode, uid_t owner = 0) {
  mkdir(path.c_str(), 0700);
  chmod(path.c_str(), mode);
  if (owner != 0 && chown(path.c_str(), owner, owner) != 0) return "";
  return path;
}

TEST(CheckTempFolderTest, Table) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
  testutil::TempDir t;
  testutil::WriteFile(t.File("file"), "x");
  Make(t.File("open"), 0777);
  struct Case {
    std::string folder;
    const char* why;  // a part of the refusal, or null for "accepted"
  } cases[] = {
      {Make(t.File("sticky"), 01777), nullptr},
      {Make(t.File("private"), 0700), nullptr},
      {Make(t.File("open/under"), 0700), "open is writable by other users and not sticky"},
      {t.File("open"), "is writable by other users and not sticky"},
      {Make(t.File("group"), 0770), "is writable by other users and not sticky"},
      {Make(t.File("theirs"), 0755, 65534), "belongs to another user"},
      {t.File("file"), "is not a folder"},
      {t.File("absent"), "cannot be used: No such file or directory"},
  };
  for (const Case& c : cases) {
    String err;
    bool ok = CheckTempFolder(String(c.folder.c_str()), err);
    EXPECT_EQ(ok, c.why == nullptr) << c.folder << ": " << err.ToStd();
    if (c.why) {
      EXPECT_NE(err.ToStd().find(c.why), std::string::npos) << err.ToStd();
    }
  }
}

// Files go into a 0700 folder of the agent inside TMPDIR, with the asked
// mode; a previous instance's folder is taken over only when it is still
// the agent's own, in the same temporary folder.
TEST(PrivateTmpTest, FolderFilesAndTakeOver) {
  testutil::TempDir t, other;
  String saved;
  const bool had = GetEnvVar("TMPDIR", saved);
  SetEnvVar("TMPDIR", String(t.path().c_str()));

  const std::string mine = Make(t.File("orv-abcdef"), 0700);
  const std::string loose = Make(t.File("orv-loose1"), 0755);
  const std::string elsewhere = Make(other.File("orv-ghijkl"), 0700);
  struct Case {
    std::string passed;
    bool taken;
  } cases[] = {{loose, false}, {elsewhere, false}, {t.File("orv-absent"), false}, {mine, true}};
  for (const Case& c : cases) {
    SetEnvVar(kPrivateTmpVar, String(c.passed.c_str()));
    String err;
    ASSERT_TRUE(StartPrivateTmp(err)) << err.ToStd();
    String dir = PrivateTmpFolder(err);
    EXPECT_EQ(dir.ToStd() == c.passed, c.taken) << c.passed;
    EXPECT_EQ(dir.ToStd().rfind(t.path() + "/orv-", 0), 0u) << dir.ToStd();
    EXPECT_EQ(Mode(dir.ToStd()), 0700);
    String left;
    EXPECT_FALSE(GetEnvVar(kPrivateTmpVar, left)) << "a child would see it";
  }

  String err, path;
  int fd = CreatePrivateFile(nullptr, 0700, path, err);
  ASSERT_GE(fd, 0) << err.ToStd();
  close(fd);
  EXPECT_EQ(path.ToStd().rfind(mine + "/", 0), 0u) << path.ToStd();
  EXPECT_EQ(Mode(path.ToStd()), 0700);
  fd = CreatePrivateFile("named", 0600, path, err);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(path.ToStd(), mine + "/named");
  EXPECT_EQ(Mode(path.ToStd()), 0600);

  char a[] = "A=1";
  char stale[] = "ORV_PRIVATE_TMP=/old";
  char* envp[] = {a, stale, nullptr};
  char** exec_env = PrivateTmpExecEnv(envp);
  EXPECT_STREQ(exec_env[0], "A=1");
  EXPECT_EQ(std::string(exec_env[1]), "ORV_PRIVATE_TMP=" + mine);
  EXPECT_EQ(exec_env[2], nullptr);

  RemovePrivateTmp();
  EXPECT_EQ(Mode(mine), -1);
  if (had) {
    SetEnvVar("TMPDIR", saved);
  } else {
    unsetenv("TMPDIR");
  }
}

}  // namespace
