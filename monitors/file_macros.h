// File-name macros: "%newestfile%", "%oldestfile%", "%newestfolder%" and
// "%oldestfolder%" inside a path stand for the newest or oldest file or
// subfolder (by modification time, whole seconds) of the folder written
// before them. The folder, file and text-log tests expand them when the
// server asks for it, so that a test can follow a log file that is renamed or
// rotated into dated folders.
//
// Thread safety: may be called from any thread; it only reads the file system.
#ifndef ORV_MONITORS_FILE_MACROS_H_
#define ORV_MONITORS_FILE_MACROS_H_

#include "base/bytestring.h"

// The path with its macros replaced from left to right; the macro names are
// recognised in any mix of upper and lower case, and a later macro is
// resolved inside what the earlier ones chose (a/%newestfolder%/%oldestfile%).
// Among entries with equal times the first one the directory delivers wins;
// "." and ".." are never chosen, nor symbolic links. When a macro cannot be
// resolved (no candidate, or the folder cannot be searched) the path comes
// back exactly as given, macros included, so the caller's test then fails on
// it in its usual way.
String GetFileUsingSpecialMacros(const String& path);

#endif  // ORV_MONITORS_FILE_MACROS_H_
