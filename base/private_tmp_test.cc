#include "base/private_tmp.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A previous instance's folder is taken over only while it is still the
// agent's own, in the same temporary folder.
TEST(PrivateTmpTest, TakeOverFilesAndUnsafeFolders) {
  testutil::ScopedSettings restores_tmpdir;
  testutil::TempDir t, other;
  SetEnvVar("TMPDIR", String(t.path().c_str()));
  const std::string mine = Make(t.File("orv-abcdef"), 0700);
  for (const std::string& passed :
       {Make(t.File("orv-loose1"), 0755), Make(other.File("orv-ghijkl"), 0700),
        t.File("orv-absent"), mine}) {
    SetEnvVar(kPrivateTmpVar, String(passed.c_str()));
    String err, left;
    ASSERT_TRUE(StartPrivateTmp(err)) << err.ToStd();
    std::string dir = PrivateTmpFolder(err).ToStd();
    EXPECT_EQ(dir == passed, passed == mine) << passed;
    EXPECT_EQ(dir.rfind(t.path() + "/orv-", 0), 0u) << dir;
    EXPECT_EQ(Mode(dir), 0700);
    EXPECT_FALSE(GetEnvVar(kPrivateTmpVar, left)) << "a child would see it";
  }
  String err, path;
  UniqueFd fd(CreatePrivateFile("named", 0604, path, err));
  ASSERT_TRUE(fd.valid()) << err.ToStd();
  EXPECT_EQ(path.ToStd(), mine + "/named");
  EXPECT_EQ(Mode(path.ToStd()), 0604);  // whatever the umask
  RemovePrivateTmp();

  if (geteuid() != 0) return;  // needs root to give a folder away
  testutil::WriteFile(t.File("file"), "x");
  Make(t.File("open"), 0777);
  struct Case {
    std::string folder;
    const char* why;  // a part of the refusal, or null for "accepted"
  } cases[] = {
      {Make(t.File("sticky"), 01777), nullptr},
      {Make(t.File("open/under"), 0700), "open is writable by other users and not sticky"},
      {Make(t.File("group"), 0770), "is writable by other users and not sticky"},
      {Make(t.File("theirs"), 0755, 65534), "belongs to another user"},
      {t.File("file"), "is not a folder"},
      {t.File("absent"), "cannot be used: No such file or directory"},
  };
  for (const Case& c : cases) {
    String err;
    EXPECT_EQ(CheckTempFolder(String(c.folder.c_str()), err), c.why == nullptr) << c.folder;
    EXPECT_NE(err.ToStd().find(c.why ? c.why : ""), std::string::npos) << err.ToStd();
  }
}

}  // namespace
