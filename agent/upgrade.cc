#include "agent/upgrade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/flags.h"
#include "base/private_tmp.h"
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

// Paths are joined in a buffer of kPathBuffer bytes; the longest name joined
// to the folder is "/orvupd__.sh" and its terminator, with room to spare.
bool FolderFits(const String& dir) { return dir.Length() + 16 <= kPathBuffer; }

// Opens name as a new file of the agent's private temporary folder with
// permissions mode; path receives its path. Nobody else can put anything
// there, so what root later runs is what was written.
FILE* CreateOwnFile(const char* name, mode_t mode, const char* stdio_mode, String& path) {
  String why;
  String dir = PrivateTmpFolder(why);
  if (dir.IsEmpty() || !FolderFits(dir)) return nullptr;
  int fd = CreateFileIn(dir, name, mode, path, why);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, stdio_mode);
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

bool WriteScript(UpgradeRec& rec, String& script) {
  String agent = ORVSettings.Get()->AgentPath;
  UniqueFile f(CreateOwnFile("orvupd__.sh", 0700, "w", script));
  if (!f) return false;
  if (fprintf(f.get(), kScriptFormat, agent.CStr(), rec.TempName.CStr(), script.CStr()) < 0)
    return false;
  return f.close();
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
    // The module is made executable from the start: the upgrade script
    // copies it over the agent's program, and the copy keeps its mode.
    rec.File.reset(CreateOwnFile("orv__.upd", 0775, "w+b", rec.TempName));
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
  if (!rec.File.close()) return Fail(rec, err, "Cannot set exec flag new module", true);

  String digest = DecodeData(trailer, rec.SessionKey);
  unsigned char expected[16];
  MD5Close(&rec.Md5Ctx, expected);
  if (digest.Length() != 16 || std::memcmp(digest.Data(), expected, 16) != 0)
    return Fail(rec, err, "Wrong CRC", true);

  String script;
  if (!WriteScript(rec, script)) {
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
