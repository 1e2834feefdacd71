#include "monitors/file_list.h"

#include <cstring>

#include "agent/handlers.h"
#include "monitors/file_tests.h"
#include "protocol/value_codec.h"

void AddFileStr(ORVReply& reply, const String& folder, const TSearchRec& entry, int with_size,
                int with_ctime, int with_mtime) {
  reply.AddStringParam(entry.Name, 0);
  reply.AddIntParam(static_cast<int>(entry.Attr));
  if (with_size) reply.AddIntParam(static_cast<long long>(entry.Size));
  if (with_ctime) {
    int64_t size = 0, ctime = 0, mtime = 0;
    String path = folder + entry.Name;
    if (!GetFileInfo(path.CStr(), size, ctime, mtime)) ctime = 0;
    reply.AddTimeParam(static_cast<long>(ctime));
  }
  if (with_mtime) reply.AddTimeParam(static_cast<long>(entry.Time));
}

void ProcessInfo_GetFileList(const VQRequest& request, ORVReply& reply) {
  String folder = request.GetParam(1, 1);
  String mask = request.GetParam(2, 1);
  const int want_folders = orvDecodeBool(request.GetParam(3, 1));
  const int want_files = orvDecodeBool(request.GetParam(4, 1));
  const int want_hidden = orvDecodeBool(request.GetParam(5, 1));
  const int want_special = orvDecodeBool(request.GetParam(6, 1));
  const int with_size = orvDecodeBool(request.GetParam(7, 1));
  const int with_ctime = orvDecodeBool(request.GetParam(8, 1));
  const int with_mtime = orvDecodeBool(request.GetParam(9, 1));

  if (folder.IsEmpty()) folder = "/";
  if (folder[folder.Length()] != '/' && !DirectoryExists(folder.CStr())) {
    folder = ExtractFilePath(folder);
  }
  folder = IncludeTrailingPathDelimiter(folder);
  if (mask.IsEmpty()) mask = "*";
  int attr = 63;
  if (!want_hidden) attr &= ~AttrHidden;
  if (!want_special) attr &= ~AttrSystem;

  // The entries go into their own buffer: the count comes before them.
  ORVReply entries;
  int count = 0;
  TSearchRec rec;
  if (want_folders) {
    int r = FindFirst(folder, String("*"), attr, rec);
    while (r == 0) {
      if ((rec.Attr & AttrDirectory) != 0 && std::strcmp(rec.Name, ".") != 0) {
        AddFileStr(entries, folder, rec, with_size, with_ctime, with_mtime);
        ++count;
      }
      r = FindNext(rec);
    }
    FindClose(rec);
  }
  if (want_files) {
    int r = FindFirst(folder, mask, attr, rec);
    while (r == 0) {
      if ((rec.Attr & AttrDirectory) == 0) {
        AddFileStr(entries, folder, rec, with_size, with_ctime, with_mtime);
        ++count;
      }
      r = FindNext(rec);
    }
    FindClose(rec);
  }

  reply.SetResult("200");
  reply.AddStringParam(folder, 0);
  reply.AddIntParam(count);
  reply.AddIntParam(2 + (with_size ? 1 : 0) + (with_ctime ? 1 : 0) + (with_mtime ? 1 : 0));
  reply += entries;
}
