// The process-wide run flags through which sessions and signal handlers ask
// the main thread to stop, re-execute the agent, run the upgrade script or
// move its listener; and the record that hands a connection to its session.
//
// Thread safety: the integer flags are atomics, set by any thread and read by
// the main loop's once-a-second poll. UpgradeScript and the raising of
// Upgrade are guarded by thread_mutex; UpgradeLock by upgrade_mutex.
#ifndef ORV_AGENT_FLAGS_H_
#define ORV_AGENT_FLAGS_H_

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/bytestring.h"

struct TORVFlags {
  TORVFlags();

  std::atomic<int> UpgradeLock{0};  // one session owns the self-upgrade
  std::atomic<int> Terminate{0};    // "QUIT": the main loop exits
  std::atomic<int> Reload{0};       // "ReloadApp": the main loop re-executes the agent
  std::atomic<int> Upgrade{0};      // a finished transfer: the main loop runs the script
  String UpgradeScript;             // path of the generated upgrade script
  int64_t StartTime;                // seconds since the epoch at process start
};

extern TORVFlags ORVFlags;
// Guards UpgradeScript and the raising of Upgrade. The connection counters
// of AgentStatus are atomics and take no lock.
extern std::mutex thread_mutex;

// One accepted connection handed to its session thread.
struct ThreadParams {
  int32_t Socket = -1;
  in_addr ClientAddr = {0};  // network byte order
};

#endif  // ORV_AGENT_FLAGS_H_
