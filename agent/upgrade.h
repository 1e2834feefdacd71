// Self-upgrade: an allowed "UpgradeCode" request opens a transfer on the same
// connection; the new module's raw bytes follow, then its MD5 digest
// encrypted under the session key. The module is stored in the temporary
// folder, the digest checked, a small shell script written that swaps the
// program file and restarts the agent, and the script's path handed to the
// main loop through ORVFlags.UpgradeScript.
//
// Thread safety: one UpgradeRec per session. The process-wide claim
// (ORVFlags.UpgradeLock) is taken and released under upgrade_mutex, so only
// one session receives a module at a time.
#ifndef ORV_AGENT_UPGRADE_H_
#define ORV_AGENT_UPGRADE_H_

#include <cstdint>
#include <mutex>

#include "base/bytestring.h"
#include "base/resources.h"
#include "crypto/md5.h"

extern std::mutex upgrade_mutex;

class UpgradeRec {
 public:
  UpgradeRec() = default;
  ~UpgradeRec();
  UpgradeRec(const UpgradeRec&) = delete;
  UpgradeRec& operator=(const UpgradeRec&) = delete;

  // Takes the process-wide claim for this session; false when another
  // session holds it, or when an accepted module already waits for the main
  // loop to run its script.
  bool RequestUpgrade(const String& sessionkey);
  // Releases the claim.
  void ClearanceUpgrade();
  // A session that ends mid-transfer: releases the claim, closes and deletes
  // the partial module.
  void Abandon();

  int InProgress = 0;
  int64_t FileSize = 0;
  int64_t Received = 0;
  UniqueFile File;
  String TempName;
  MD5 Md5Ctx = {};
  String SessionKey;
};

// Called once with no data right after a claim (creates the module file),
// then with every received block. The bytes after the module's last byte in
// the block that completes it, or the whole next block when the module ends
// at a block end, are the encrypted digest. False means failure with err set;
// the claim has then been released and what was written deleted. True with
// rec.InProgress 0 means the script is written and ORVFlags.UpgradeScript set.
// The module and the script are created afresh under fixed names in the
// agent's private temporary folder, which nobody else can write to.
bool DoUpgrading(UpgradeRec& rec, const char* data, int length, String& err);

#endif  // ORV_AGENT_UPGRADE_H_
