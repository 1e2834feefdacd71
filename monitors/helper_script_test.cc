#include "monitors/helper_script.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "tests/testutil.h"

namespace {

// What the shell makes of a quoted word: exactly the name (up to a zero
// byte), as one argument, and nothing run.
TEST(QuoteShellWordTest, ShellReadsBackOneWordUnchanged) {
  testutil::TempDir dir;
  const std::string witness = dir.File("pwned");
  const std::string names[] = {
      "plain", "", "two words", "x; touch " + witness, "$(touch " + witness + ")",
      "`touch " + witness + "`", "it's", "''", "a\\b", "line\nbreak", "*", "-n",
      "'; touch " + witness + "; '", std::string("ab\0; touch " + witness, 20),
  };
  for (const std::string& name : names) {
    String word;
    word.CopyData(name.data(), static_cast<int>(name.size()));
    // printf gets the format, the name, then "$#" of the outer shell (0).
    String cmd = String("printf '%s|%s' ") + QuoteShellWord(word) + " \"$#\"";
    UniqueFd fd(open(dir.File("out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    const int fds[3] = {fd.get(), fd.get(), fd.get()};
    EXPECT_EQ(RunShellCommand(cmd.CStr(), fds), 0) << name;
    EXPECT_EQ(testutil::ReadFile(dir.File("out")), name.substr(0, name.find('\0')) + "|0") << name;
    EXPECT_FALSE(testutil::Exists(witness)) << "ran a command from: " << name;
  }
}

}  // namespace
