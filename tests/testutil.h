// Helpers shared by the unit and end-to-end tests: temporary folders that
// clean up after themselves, whole-file reads and writes, hex, and the
// known-answer files under tests/data.
#ifndef ORV_TESTS_TESTUTIL_H_
#define ORV_TESTS_TESTUTIL_H_

#include <string>
#include <vector>

namespace testutil {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
std::string FromHex(const std::string& hex);  // "-" is the empty string
std::string ToHex(const std::string& bytes);  // lower case

// The lines of tests/data/<name> that are not comments, split at blanks.
std::vector<std::vector<std::string>> ReadVectors(const std::string& name);
std::string DataPath(const std::string& name);

}  // namespace testutil

#endif  // ORV_TESTS_TESTUTIL_H_
