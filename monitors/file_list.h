// The file list query ("GetFilesList"): the subfolders and the files of one
// folder, each with its name and attribute bits and, on request, its size,
// status-change time and modification time, so that the server can browse
// the agent's file system.
//
// Thread safety: may be called from any thread; it only reads the file system.
#ifndef ORV_MONITORS_FILE_LIST_H_
#define ORV_MONITORS_FILE_LIST_H_

#include "base/bytestring.h"
#include "base/paths.h"
#include "protocol/reply.h"

// Appends the parameters of one entry found in folder (which ends in "/"):
// its name (plain string), its attribute bits (int), and, when asked for,
// its size (int64, from the search), its status-change time (time; folder +
// name examined again without following a link, 0 when that fails) and its
// modification time (time, from the search).
void AddFileStr(ORVReply& reply, const String& folder, const TSearchRec& entry, int with_size,
                int with_ctime, int with_mtime);

#endif  // ORV_MONITORS_FILE_LIST_H_
