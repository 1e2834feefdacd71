// Helpers shared by the fuzz targets: one scratch folder per fuzzing process
// for targets that need real files, and whole-file writes into it.
//
// The folder is created on first use under $TMPDIR (or /tmp) and removed,
// with everything in it, when the process exits. Targets reuse fixed file
// names in it, so nothing piles up between runs.
//
// Thread safety: libFuzzer runs a target on one thread; none of this is
// meant for more.
#ifndef ORV_FUZZ_FUZZ_UTIL_H_
#define ORV_FUZZ_FUZZ_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzutil {

// The per-process scratch folder; the program aborts when it cannot be made.
const std::string& ScratchDir();
// ScratchDir() + "/" + name
std::string ScratchFile(const std::string& name);
// Replaces (append false) or extends (append true) the file with n bytes;
// aborts on failure, which would make every later result meaningless.
void WriteBytes(const std::string& path, const uint8_t* data, size_t n, bool append);
// Removes the file if it is there.
void RemoveFile(const std::string& path);

}  // namespace fuzzutil

#endif  // ORV_FUZZ_FUZZ_UTIL_H_
