#include "monitors/file_macros.h"

#include <cstring>

#include "base/paths.h"

namespace {

enum class TMacroKind { kNewestFile, kOldestFile, kNewestFolder, kOldestFolder };

struct TMacro {
  const char* text;  // lower case
  TMacroKind kind;
};

const TMacro kMacros[] = {
    {"%newestfile%", TMacroKind::kNewestFile},
    {"%oldestfile%", TMacroKind::kOldestFile},
    {"%newestfolder%", TMacroKind::kNewestFolder},
    {"%oldestfolder%", TMacroKind::kOldestFolder},
};

// The entry of folder that the macro stands for; false when there is none.
bool Resolve(const String& folder, TMacroKind kind, String& chosen) {
  const bool want_folder = kind == TMacroKind::kNewestFolder || kind == TMacroKind::kOldestFolder;
  const bool want_newest = kind == TMacroKind::kNewestFile || kind == TMacroKind::kNewestFolder;
  bool have = false;
  int64_t best = 0;
  TSearchRec rec;
  int r = FindFirst(folder, String("*"), 63, rec);
  while (r == 0) {
    const bool is_folder = (rec.Attr & AttrDirectory) != 0;
    const bool dots = std::strcmp(rec.Name, ".") == 0 || std::strcmp(rec.Name, "..") == 0;
    if (!dots && is_folder == want_folder) {
      // Strictly newer (older) only: on equal times the first delivered stays.
      if (!have || (want_newest ? rec.Time > best : rec.Time < best)) {
        have = true;
        best = rec.Time;
        chosen = rec.Name;
      }
    }
    r = FindNext(rec);
  }
  FindClose(rec);
  return have;
}

}  // namespace

String GetFileUsingSpecialMacros(const String& path) {
  String prefix;
  String rest = path;
  for (;;) {
    // The leftmost macro of any kind, found case-blind.
    String lowered = rest;
    lowered.LowerCase();
    int best_pos = 0;
    const TMacro* best = nullptr;
    for (const TMacro& m : kMacros) {
      int pos = lowered.Pos(m.text);
      if (pos > 0 && (best_pos == 0 || pos < best_pos)) {
        best_pos = pos;
        best = &m;
      }
    }
    if (best == nullptr) return prefix + rest;

    prefix += rest.Copy(1, best_pos - 1);
    rest.Delete(1, best_pos - 1 + static_cast<int>(std::strlen(best->text)));

    String chosen;
    if (!Resolve(prefix, best->kind, chosen)) return path;
    prefix += chosen;
  }
}
