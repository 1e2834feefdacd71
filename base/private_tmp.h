// The agent's own folder for temporary files.
//
// The configured temporary folder (TMPDIR, else TMP, else the working
// directory) is usually shared with every user of the host. The agent never
// creates a file there directly: it makes one folder of its own inside it
// ("orv-" and six random characters, mode 0700, owned by the agent) and
// creates every temporary file in that folder, with O_CREAT|O_EXCL|
// O_NOFOLLOW, so nobody else can predict, watch, replace or redirect one.
// Children get those files as descriptors, never as names to open.
//
// A temporary folder is refused when the folder itself or one above it
// belongs to a user other than root and the agent, or may be written by
// others without the sticky bit: someone there could rename the private
// folder away and put their own in its place.
//
// The private folder follows the configured folder: when "tmpdir" changes,
// the next file is made in a new private folder under the new one. The
// agent's re-executed instance (reload, upgrade, restart after a fault)
// finds its folder through the variable ORV_PRIVATE_TMP of the environment
// handed to execve, and takes it over after checking that it is still its
// own; the variable is removed from the agent's environment at once, so no
// child ever sees it.
//
// Thread safety: every function may be called from any thread; one mutex
// guards the folder's state. None may be called from a signal handler.
#ifndef ORV_BASE_PRIVATE_TMP_H_
#define ORV_BASE_PRIVATE_TMP_H_

#include <sys/types.h>

#include "base/bytestring.h"

// The variable through which a re-executed agent finds its folder.
extern const char kPrivateTmpVar[];

// The configured temporary folder: TMPDIR, else TMP (an empty value counts
// as unset), else ".", without a trailing "/" (unless it is "/").
String ConfiguredTempFolder();

// True when folder can hold the agent's private folder (see above); false
// with err saying which folder is unsafe and why.
bool CheckTempFolder(const String& folder, String& err);

// Makes the private folder under the configured folder now, or takes over
// the one a previous instance named in ORV_PRIVATE_TMP, and removes that
// variable from the environment. Registers the removal of the folder at
// exit of this process. False with err when no private folder can be had.
bool StartPrivateTmp(String& err);

// The private folder (absolute, no trailing "/"), made or moved first when
// the configured folder has changed; empty with err on failure.
String PrivateTmpFolder(String& err);

// Creates a new file in the private folder, open for reading and writing,
// close-on-exec, with permissions mode (set with fchmod, so the umask does
// not matter). With a name, a file of that name left there earlier is
// replaced; without one a fresh name is chosen. path receives the file's
// path. Returns the descriptor, or -1 with err.
int CreatePrivateFile(const char* name, mode_t mode, String& path, String& err);

// CreatePrivateFile in the folder dir that PrivateTmpFolder gave. Takes no
// lock, so it may be called while LockEnvironment() is held (to keep a file
// that will be executed from being inherited by a child being forked).
int CreateFileIn(const String& dir, const char* name, mode_t mode, String& path, String& err);

// The environment for re-executing the agent: envp without any earlier
// ORV_PRIVATE_TMP, plus that variable naming the private folder. Built once
// (later calls return the same vector); it always names the current folder.
char** PrivateTmpExecEnv(char** envp);

// Removes the private folders this process made or took over, with the
// files in them (folders are flat: nothing below them is walked). Only the
// process that made them removes them: a forked child that exits does not.
void RemovePrivateTmp();

#endif  // ORV_BASE_PRIVATE_TMP_H_
