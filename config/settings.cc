#include "config/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/environment.h"
#include "base/oserror.h"
#include "base/paths.h"
#include "base/resources.h"
#include "config/settings_table.h"
#include "protocol/value_codec.h"

TSettingsStore ORVSettings;
std::mutex optmutex;

namespace {

// Lines are read in pieces of at most this many bytes; a longer line is
// handled as several lines, both on load and on save.
constexpr int kPieceSize = 1023;
// A rewritten value never reaches beyond this column, so that the line
// (with its CR LF) still fits in one piece when the file is read back.
constexpr int kValueLimit = 1021;

const char kFilterWarning[] = "FilterMarks has less items than FilterList";

// A save writes the keys of these rows, and no others.
constexpr int CountSaved() {
  int n = 0;
  for (const TSettingDesc& d : kSettings) n += d.saved ? 1 : 0;
  return n;
}
static_assert(CountSaved() == 36, "a save writes 36 keys");

int RowIndex(const TSettingDesc* row) { return static_cast<int>(row - kSettings); }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Reads one piece of a line: up to kPieceSize bytes, ending after the first
// LF. Zero bytes inside the line are kept. Returns false at end of file or
// on a read error (the caller tells them apart with ferror).
bool ReadPiece(FILE* f, String& piece) {
  piece.SetLength(0);
  char buf[kPieceSize];
  int n = 0;
  while (n < kPieceSize) {
    int c = std::getc(f);
    if (c == EOF) break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (n == 0) return false;
  piece.CopyData(buf, n);
  return true;
}

// The parts of a "name = value" line. value_pos is the 0-based offset of
// the first byte after the first "=" that is not a space or tab.
struct ParsedLine {
  String name;  // trimmed of spaces and tabs, lower-cased
  int value_pos = 0;
};

// False for comment lines (first byte "#" or ";") and lines without "=".
bool ParseLine(const String& line, ParsedLine& out) {
  const char* p = line.Data();
  int len = line.Length();
  if (len == 0 || p[0] == '#' || p[0] == ';') return false;
  int eq = line.Pos('=');
  if (eq == 0) return false;
  int begin = 0;
  int end = eq - 1;  // offset of the "="
  while (begin < end && IsBlank(p[begin])) ++begin;
  while (end > begin && IsBlank(p[end - 1])) --end;
  out.name.CopyData(p + begin, end - begin);
  out.name.LowerCase();
  int vp = eq;  // offset just after the "="
  while (vp < len && IsBlank(p[vp])) ++vp;
  out.value_pos = vp;
  return true;
}

// The value as the file gives it: from value_pos, with trailing spaces, tabs,
// CR and LF removed.
String LineValue(const String& line, int value_pos) {
  const char* p = line.Data();
  int end = line.Length();
  while (end > value_pos && (IsBlank(p[end - 1]) || p[end - 1] == '\r' || p[end - 1] == '\n')) {
    --end;
  }
  return line.Copy(value_pos + 1, end - value_pos);
}

// A leading decimal number with an optional sign; no digits gives 0. Values
// beyond the int range are held at its limits instead of wrapping.
int ParseLeadingInt(const String& value) {
  const char* p = value.Data();
  int len = value.Length();
  int i = 0;
  bool negative = false;
  if (i < len && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
  long long n = 0;
  for (; i < len && p[i] >= '0' && p[i] <= '9'; ++i) {
    n = n * 10 + (p[i] - '0');
    if (n > static_cast<long long>(INT_MAX) + 1) n = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) n = -n;
  if (n > INT_MAX) n = INT_MAX;
  if (n < INT_MIN) n = INT_MIN;
  return static_cast<int>(n);
}

// Filter items are separated by blanks in the file and by CR LF in memory.
String FilterListFromFile(const String& value) {
  String list = orvDecodeStrings(value);
  list.Trim();
  list.RemoveRepeats(' ');
  return list.ReplaceAll(" ", "\r\n", 1);
}

// The text a saved key carries in the file. No value may bring a line feed
// into the file: it would end the line there and the rest would be read
// back as a line of its own, possibly as another key.
String SavedText(const TORVSettings& s, const TSettingDesc& key) {
  String text;
  switch (key.kind) {
    case kFilterList:
      text = (s.*key.text).ReplaceAll("\r\n", " ", 1);
      break;
    case kText:
      text = s.*key.text;
      break;
    case kInt:
    case kPort: {
      char buf[16];
      std::snprintf(buf, sizeof(buf), "%d", s.*key.number);
      text = buf;
      break;
    }
    case kBool:
      text = BoolConst[(s.*key.number) != 0 ? 1 : 0];
      break;
  }
  for (int i = 0; i < text.Length(); ++i) {
    if (text.Data()[i] == '\n') text.Data()[i] = ' ';
  }
  return text;
}

void ApplyLine(TORVSettings& s, const String& line) {
  ParsedLine parsed;
  if (!ParseLine(line, parsed)) return;
  const TSettingDesc* key = FindSettingByKey(parsed.name);
  if (key == nullptr) return;
  String value = LineValue(line, parsed.value_pos);
  switch (key->kind) {
    case kText:
      s.*key->text = value;
      break;
    case kFilterList:
      s.*key->text = FilterListFromFile(value);
      break;
    case kInt:
      s.*key->number = ParseLeadingInt(value);
      break;
    case kPort:
      // A port from the command line, an earlier line or an earlier load
      // takes precedence: the listener is already bound to it.
      if (s.*key->number == 0) s.*key->number = ParseLeadingInt(value);
      break;
    case kBool:
      s.*key->number = value.Length() > 0 && value[1] == '1' ? 1 : 0;
      break;
  }
}

// The values every load starts from; the rows marked as kept are left as
// they were when the file does not name them.
void ResetForLoad(TORVSettings& s) {
  for (const TSettingDesc& d : kSettings) {
    if (!d.reset) continue;
    if (d.text)
      s.*d.text = d.reset_text;
    else
      s.*d.number = d.reset_number;
  }
}

// How many bytes of a text or number value may start at the 0-based column
// value_pos: the line, its CR LF included, must come back as one piece when
// the file is read, or the rest of the value would be read as a line of its
// own and could name another key. -1 when nothing fits. Rewritten and
// appended lines obey the same limit.
int ValueRoom(int value_pos) { return kValueLimit - value_pos - 1; }

// value cut to the room at value_pos (at least 0 bytes).
String FitValue(const String& value, int value_pos) {
  int room = ValueRoom(value_pos);
  if (room < 0) room = 0;
  return value.Length() <= room ? value : value.Copy(1, room);
}

// Rewrites one line of the old file for the saved key it names.
void RewriteSavedLine(const TORVSettings& s, const TSettingDesc& key, int value_pos,
                      String& line) {
  String value = SavedText(s, key);
  if (key.kind == kBool) {
    // Only the digit changes; the rest of the line, its line ending
    // included, stays. A line with nothing after its "=" and blanks gets
    // the digit in front of its line ending.
    char digit = value[1];
    if (value_pos < line.Length() && line[value_pos + 1] != '\r' && line[value_pos + 1] != '\n') {
      line.Data()[value_pos] = digit;
    } else {
      String rest = line.Copy(value_pos + 1, line.Length() - value_pos);
      line = line.Copy(1, value_pos) + digit + rest;
    }
    return;
  }
  if (ValueRoom(value_pos) < 0) return;  // no room left on the line: the old value stays
  line = line.Copy(1, value_pos) + FitValue(value, value_pos);
}

bool WriteString(FILE* f, const String& s) {
  return std::fwrite(s.Data(), 1, static_cast<size_t>(s.Length()), f) ==
         static_cast<size_t>(s.Length());
}

// Creates (or truncates) path for writing with the permission bits of the
// file it is going to replace, so that a configuration kept private (it
// holds the password) stays private.
UniqueFile CreateLike(const String& path, mode_t mode) {
  String p = path;
  UniqueFd fd;
  do {
    fd.reset(::open(p.CStr(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode & 0777));
  } while (!fd.valid() && errno == EINTR);
  if (!fd.valid()) return UniqueFile();
  // O_TRUNC keeps the mode of a file that was already there.
  if (::fchmod(fd.get(), mode & 0777) != 0) return UniqueFile();
  FILE* f = ::fdopen(fd.get(), "w");
  if (f == nullptr) return UniqueFile();
  fd.release();
  return UniqueFile(f);
}

// Copies src to dst (replacing it) and flushes it to disk; used to keep the
// previous configuration when the file system refuses a hard link.
bool CopyFileDurably(const String& src, const String& dst, mode_t mode) {
  String s = src;
  UniqueFd in(::open(s.CStr(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return false;
  String d = dst;
  UniqueFd out(::open(d.CStr(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode & 0777));
  if (!out.valid()) return false;
  char buf[8192];
  for (;;) {
    ssize_t n = ReadRetry(in.get(), buf, sizeof(buf));
    if (n < 0) return false;
    if (n == 0) break;
    if (WriteFull(out.get(), buf, static_cast<size_t>(n)) != n) return false;
  }
  return ::fsync(out.get()) == 0;
}

// Keeps the current configuration file as path + ".Old", replacing an older
// one. The configuration itself stays where it is, so that it exists at
// every instant until the new file is renamed over it.
void KeepPrevious(const String& config, mode_t mode) {
  String c = config;
  String old = config + ".Old";
  ::unlink(old.CStr());  // when it cannot be removed, the copy below overwrites it
  if (::link(c.CStr(), old.CStr()) == 0) return;
  CopyFileDurably(config, old, mode);
}

// Flushes the directory entry changes (the rename) of the folder holding path.
void SyncFolderOf(const String& path) {
  String dir = ExtractFilePath(path);
  if (dir.IsEmpty()) dir = ".";
  UniqueFd fd(::open(dir.CStr(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());  // not every file system supports it
}

}  // namespace

const TSettingDesc* FindSettingByKey(const String& key) {
  for (const TSettingDesc& d : kSettings) {
    if (d.key && key == d.key) return &d;
  }
  return nullptr;
}

const TSettingDesc* FindSettingByRemote(const String& name) {
  for (const TSettingDesc& d : kSettings) {
    if (d.remote && name == d.remote) return &d;
  }
  return nullptr;
}

void TORVSettings::SetConfigFile(const char* path) {
  std::memset(ConfigFile, 0, sizeof(ConfigFile));
  if (path == nullptr) return;
  std::strncpy(ConfigFile, path, sizeof(ConfigFile) - 1);
}

void TORVSettings::PutRight(String& err) {
  // The connection filter: the items whose marks are "1".
  ActiveFilter = "\r\n";
  for (int i = 1; i <= FilterMarks.Length(); ++i) {
    String word = FilterList.GetWord(i, '\n');
    word.Trim();
    if (word.IsEmpty()) {
      err = kFilterWarning;
      break;
    }
    if (FilterMarks[i] == '1') {
      ActiveFilter += word;
      ActiveFilter += "\r\n";
    }
  }

  // Bare helper-script names live beside the agent's executable.
  String dir = ExtractFilePath(AgentPath);
  if (!dir.IsEmpty()) {
    String* scripts[] = {&CpuUsageScript, &ProcListScript, &ProcCntScript};
    for (String* script : scripts) {
      if (ExtractFilePath(*script).IsEmpty()) *script = dir + *script;
    }
  }

  if (TmpDir.IsEmpty() || !DirectoryExists(TmpDir.CStr())) {
    String value;
    bool found = GetEnvVar("TMPDIR", value);
    if (!found) found = GetEnvVar("TMP", value);
    if (found && DirectoryExists(value.CStr())) {
      TmpDir = value;
    } else {
      TmpDir = ".";
    }
  }
  if (TmpDir.Length() > 0 && TmpDir[TmpDir.Length()] == '/') TmpDir.Delete(TmpDir.Length(), 1);
}

int TORVSettings::LoadOptions_(String& err) {
  err = "";
  ResetForLoad(*this);
  if (ConfigFile[0] == '\0') {
    err = "Configuration file is not specified";
    return 0;
  }
  UniqueFile file(std::fopen(ConfigFile, "re"));
  if (!file) {
    err = String("Cannot open configuration file '") + ConfigFile + "'";
    return 0;
  }
  String line;
  while (ReadPiece(file.get(), line)) ApplyLine(*this, line);
  file.reset();

  int result = 1;
  PutRight(err);
  if (Timeout == 0) Timeout = 4000;
  // The limits on strangers are never switched off by a slip of the pen.
  if (MaxSessions < 1) MaxSessions = kDefaultMaxSessions;
  if (MaxSessionsPerAddr < 1) MaxSessionsPerAddr = kDefaultMaxSessionsPerAddr;
  if (RequestTimeout < 1) RequestTimeout = kDefaultRequestTimeout;
  if (ReplayWindow < 0) ReplayWindow = 0;
  if (Port == 0) {
    err += "  TCP post is not specified!\n";
    result = 0;
  }
  if (Password.IsEmpty()) {
    err += "  Password is not specified!\n";
    result = 0;
  }
  if (AgentPath.IsEmpty() || AgentPath[1] != '/') {
    err += "  Full path to the agent is not specified!\n";
    result = 0;
  } else if (!FileExists(AgentPath.CStr())) {
    err += "  Invalid path to the agent!\n";
    result = 0;
  }
  return result;
}

int TORVSettings::SaveOptions_(String& err) {
  err = "";
  PutRight(err);
  if (ConfigFile[0] == '\0') {
    err = "Configuration file is not specified";
    return 0;
  }
  String config = ConfigFile;
  String cannot_open = "Cannot open configuration file '" + config + "'";
  UniqueFile in(std::fopen(ConfigFile, "re"));
  if (!in) {
    err = cannot_open;
    return 0;
  }
  struct stat st;
  mode_t mode = 0600;
  if (::fstat(fileno(in.get()), &st) == 0) mode = st.st_mode;

  String new_path = config + ".New";
  String cannot_create = "Cannot create new configuration file '" + new_path + "'";
  UniqueFile out = CreateLike(new_path, mode);
  if (!out) {
    err = cannot_create;
    return 0;
  }

  bool written[kSettingCount] = {};
  bool write_ok = true;
  String line;
  while (ReadPiece(in.get(), line)) {
    ParsedLine parsed;
    if (ParseLine(line, parsed)) {
      const TSettingDesc* key = FindSettingByKey(parsed.name);
      if (key != nullptr && key->saved) {
        RewriteSavedLine(*this, *key, parsed.value_pos, line);
        written[RowIndex(key)] = true;
      }
    }
    if (line.Length() == 0 || line[line.Length()] != '\n') line += "\r\n";
    write_ok = WriteString(out.get(), line) && write_ok;
  }
  // A read error would silently drop the rest of the file from the new one.
  bool read_ok = !std::ferror(in.get());
  in.reset();

  for (int i = 0; i < kSettingCount; ++i) {
    if (!kSettings[i].saved || written[i]) continue;
    String head = String(kSettings[i].key) + "=";
    String text = head + FitValue(SavedText(*this, kSettings[i]), head.Length()) + "\r\n";
    write_ok = WriteString(out.get(), text) && write_ok;
  }

  // The new file must be complete on disk before it may replace the old one.
  if (write_ok) write_ok = std::fflush(out.get()) == 0;
  if (write_ok) write_ok = ::fsync(fileno(out.get())) == 0;
  write_ok = out.close() && write_ok;
  if (!read_ok || !write_ok) {
    ::unlink(new_path.CStr());
    err = read_ok ? cannot_create : cannot_open;
    return 0;
  }

  KeepPrevious(config, mode);
  if (std::rename(new_path.CStr(), config.CStr()) != 0) {
    err = "Cannot overwrite configuration file '" + config + "'";
    return 0;
  }
  SyncFolderOf(config);
  return 1;
}

TSettingsStore::TSettingsStore() : current_(std::make_shared<const TORVSettings>()) {}

std::shared_ptr<const TORVSettings> TSettingsStore::Get() const {
  std::lock_guard<std::mutex> lock(snapshot_mutex_);
  return current_;
}

void TSettingsStore::Publish(const TORVSettings& settings) {
  std::lock_guard<std::mutex> lock(optmutex);
  PublishLocked(std::make_shared<const TORVSettings>(settings));
}

int TSettingsStore::LoadOptions(String& err) {
  std::lock_guard<std::mutex> lock(optmutex);
  TORVSettings next = *Get();
  int result = next.LoadOptions_(err);
  // A failed load may have left the record half reset (an empty password
  // among others); the agent stays on its previous, working settings.
  if (result) PublishLocked(std::make_shared<const TORVSettings>(std::move(next)));
  return result;
}

int TSettingsStore::ChangeAndSave(const std::function<void(TORVSettings&)>& change,
                                  String& err) {
  std::lock_guard<std::mutex> lock(optmutex);
  TORVSettings next = *Get();
  change(next);
  int result = next.SaveOptions_(err);
  PublishLocked(std::make_shared<const TORVSettings>(std::move(next)));
  return result;
}

void TSettingsStore::SetPort(int port) {
  std::lock_guard<std::mutex> lock(optmutex);
  TORVSettings next = *Get();
  next.Port = port;
  PublishLocked(std::make_shared<const TORVSettings>(std::move(next)));
}

void TSettingsStore::PublishLocked(std::shared_ptr<const TORVSettings> next) {
  // Temporary files and child processes started from now on use the new
  // folder; the environment lock keeps a concurrent fork from seeing the
  // variable half rewritten.
  SetEnvVar("TMPDIR", next->TmpDir);
  {
    std::lock_guard<std::mutex> lock(snapshot_mutex_);
    current_.swap(next);
    generation_.fetch_add(1, std::memory_order_release);
  }
  // The previous record is released here, outside the short lock, unless a
  // reader still holds it.
}
