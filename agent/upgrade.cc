#include "agent/upgrade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/flags.h"
#include "base/environment.h"
#include "base/paths.h"
#include "config/settings.h"
#include "protocol/packet.h"

std::mutex upgrade_mutex;

namespace {

// Paths are joined in a buffer of this size; longer folders are refused.
constexpr int kPathBuffer = 1024;

const char kScriptFormat[] =
    "#! /bin/sh\n"
    "oldORV='%s'\n"
    "newORV='%s'\n"
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
    "rm %s\n";

String TempFolder() {
  String dir;
  if (!GetEnvVar("TMPDIR", dir) && !GetEnvVar("TMP", dir)) dir = ".";
  return dir;
}

// Paths are joined in a buffer of kPathBuffer bytes; the longest name joined
// to the folder is "/orvupd__.sh" and its terminator, with room to spare.
bool FolderFits(const String& dir) { return dir.Length() + 16 <= kPathBuffer; }

// Opens path as a new file of our own. The temporary folder may be shared
// with other users: a file or link already there under this fixed name is
// removed first, and creation refuses to follow links or to reuse a file
// that reappears meanwhile, so nobody else can own or swap what root runs.
FILE* CreateOwnFile(const String& path, const char* mode) {
  String p = path;
  if (unlink(p.CStr()) != 0 && errno != ENOENT) return nullptr;
  int fd;
  do {
    fd = open(p.CStr(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, mode);
  if (!f) close(fd);
  return f;
}

bool Fail(UpgradeRec& rec, String& err, const char* message, bool remove_module) {
  rec.File.reset();
  if (remove_module && rec.TempName.Length() > 0) unlink(rec.TempName.CStr());
  if (err.Length() == 0) err = message;
  rec.ClearanceUpgrade();
  return false;
}

bool WriteScript(UpgradeRec& rec, String& err, String& script) {
  String dir = TempFolder();
  if (!FolderFits(dir)) return false;
  script = dir + "/orvupd__.sh";
  String agent = ORVSettings.Get()->AgentPath;
  UniqueFile f(CreateOwnFile(script, "w"));
  if (!f) return false;
  if (fprintf(f.get(), kScriptFormat, agent.CStr(), rec.TempName.CStr(), script.CStr()) < 0)
    return false;
  if (!f.close()) return false;
  if (chmod(script.CStr(), 0775) != 0) {
    err = "Cannot set exec flag for script";
    return false;
  }
  return true;
}

}  // namespace

UpgradeRec::~UpgradeRec() { Abandon(); }

bool UpgradeRec::RequestUpgrade(const String& sessionkey) {
  std::lock_guard<std::mutex> lock(upgrade_mutex);
  if (ORVFlags.UpgradeLock) return false;
  {
    // A module already accepted waits for the main loop to run its script; a
    // new transfer would rewrite that module under the script's feet.
    std::lock_guard<std::mutex> pending(thread_mutex);
    if (ORVFlags.UpgradeScript.Length() > 0) return false;
  }
  ORVFlags.UpgradeLock = 1;
  InProgress = 1;
  SessionKey = sessionkey;
  return true;
}

void UpgradeRec::ClearanceUpgrade() {
  std::lock_guard<std::mutex> lock(upgrade_mutex);
  ORVFlags.UpgradeLock = 0;
  InProgress = 0;
}

void UpgradeRec::Abandon() {
  if (!InProgress) return;
  File.reset();
  if (TempName.Length() > 0) unlink(TempName.CStr());
  ClearanceUpgrade();
}

bool DoUpgrading(UpgradeRec& rec, const char* data, int length, String& err) {
  err = "";
  if (rec.TempName.Length() == 0) {
    String dir = TempFolder();
    if (!FolderFits(dir)) return Fail(rec, err, "Cannot create temp file", false);
    rec.TempName = IncludeTrailingPathDelimiter(dir) + "orv__.upd";
    rec.File.reset(CreateOwnFile(rec.TempName, "w+b"));
    if (!rec.File) return Fail(rec, err, "Cannot create temp file", false);
    MD5Open(&rec.Md5Ctx);
  }
  if (data == nullptr || length <= 0) return true;

  int taken = 0;
  if (rec.Received < rec.FileSize) {
    int64_t missing = rec.FileSize - rec.Received;
    taken = missing < length ? static_cast<int>(missing) : length;
    if (fwrite(data, 1, static_cast<size_t>(taken), rec.File.get()) != static_cast<size_t>(taken))
      return Fail(rec, err, "Write error", true);
    MD5Digest(&rec.Md5Ctx, data, static_cast<unsigned int>(taken));
    rec.Received += taken;
  }
  if (taken == length) return true;  // no trailer yet

  String trailer;
  trailer.CopyData(data + taken, length - taken);
  if (!rec.File.close() || chmod(rec.TempName.CStr(), 0775) != 0)
    return Fail(rec, err, "Cannot set exec flag new module", true);

  String digest = DecodeData(trailer, rec.SessionKey);
  unsigned char expected[16];
  MD5Close(&rec.Md5Ctx, expected);
  if (digest.Length() != 16 || std::memcmp(digest.Data(), expected, 16) != 0)
    return Fail(rec, err, "Wrong CRC", true);

  String script;
  if (!WriteScript(rec, err, script)) {
    unlink(script.CStr());
    return Fail(rec, err, "Binary code transferred. Cannot create script file", true);
  }
  {
    // Published before the claim goes, so that no other session can claim
    // in between (see RequestUpgrade).
    std::lock_guard<std::mutex> lock(thread_mutex);
    ORVFlags.UpgradeScript = script;
  }
  rec.ClearanceUpgrade();
  return true;
}
