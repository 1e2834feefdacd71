#include "monitors/program_tests.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "agent/program_request.h"
#include "base/childproc.h"
#include "base/environment.h"
#include "base/oserror.h"
#include "base/private_tmp.h"
#include "base/resources.h"
#include "config/settings.h"
#include "monitors/helper_script.h"
#include "protocol/value_codec.h"

namespace {

bool StartsWithScriptRes(const String& line) {
  static const char kTag[] = "scriptres:";
  const int n = sizeof kTag - 1;
  return line.Length() >= n && memposi(line.Data(), n, kTag, n) == 1;
}

enum class TWriteResult { kOk, kCannotCreate, kShortWrite };

// Creates a new executable file (mode 0700) in the private folder dir and
// writes text into it; path receives its name. The file is created, written
// and closed while no child process can be forked: a child that inherited
// the open descriptor, even for the instant before its own exec, would make
// the script "busy" and impossible to execute.
TWriteResult WriteNewScript(const String& dir, const String& text, String& path) {
  std::unique_lock<std::mutex> no_fork = LockEnvironment();
  String why;
  UniqueFd fd(CreateFileIn(dir, nullptr, 0700, path, why));
  if (!fd.valid()) return TWriteResult::kCannotCreate;
  if (WriteFull(fd.get(), text.Data(), static_cast<size_t>(text.Length())) < 0 ||
      close(fd.release()) != 0) {
    return TWriteResult::kShortWrite;
  }
  return TWriteResult::kOk;
}

}  // namespace

void ReadScriptOutput(FILE* f, int lines, String& result_line, String& output) {
  result_line = "";
  output = "";
  bool found = false;
  char buf[512];
  while (std::fgets(buf, sizeof buf, f) != nullptr) {
    String line;
    line.CopyData(buf, static_cast<int>(std::strlen(buf)));
    line.Trim();
    if (line.IsEmpty()) continue;
    if (lines > 0) {
      output += line;
      output += "\r\n";
      --lines;
    }
    if (!found) {
      result_line = line;
      found = StartsWithScriptRes(line);
    }
    if (found && lines <= 0) break;
  }
}

uint32_t ScriptTimeLimitMs(int seconds) {
  if (seconds <= 0) return 0;
  const int64_t ms = static_cast<int64_t>(seconds) * 1000;
  const int64_t longest = static_cast<int64_t>(kSystemExNoWait) - 1;
  return static_cast<uint32_t>(ms < longest ? ms : longest);
}

void ProcessTest_External(const VQRequest& request, ORVReply& reply) {
  // Line 2 has never meant anything to this test; servers may send anything
  // there, so it is deliberately not used as a working directory.
  RunRequestedProgram(request, nullptr, reply);
}

void ProcessTest_ShellScript(const VQRequest& request, ORVReply& reply) {
  auto settings = ORVSettings.Get();
  String templ = request.GetParam(1, 1);
  String script = orvDecodeStrings(request.GetParam(2, 1)).ReplaceAll("\r\n", "\n", 1);
  String params = orvDecodeStrings(request.GetParam(3, 1));
  const uint32_t timelimit = ScriptTimeLimitMs(orvDecodeInt(request.GetParam(4, 1)));
  const int lines = orvDecodeInt(request.GetParam(5, 1));

  String why;
  String dir = PrivateTmpFolder(why);
  if (dir.IsEmpty()) {
    reply.SetResult("301") += "Cannot get temp file";
    return;
  }
  String path;
  TTempFile script_file;
  switch (WriteNewScript(dir, script, path)) {
    case TWriteResult::kCannotCreate:
      reply.SetResult("301") += "Cannot create temp file";
      return;
    case TWriteResult::kShortWrite:
      unlink(path.CStr());
      reply.SetResult("301") += "cannot create temp file";
      return;
    case TWriteResult::kOk:
      script_file.Reset(path.CStr());
      break;
  }
  // The output file loses its name at once: the script and its children
  // write through the descriptors they are given, and the agent reads back
  // through its own. Standard input is the same file from its start.
  String outpath;
  UniqueFd out_fd(CreateFileIn(dir, nullptr, 0600, outpath, why));
  UniqueFd in_fd(out_fd.valid() ? OpenAgain(outpath, true) : -1);
  if (out_fd.valid()) unlink(outpath.CStr());
  if (!in_fd.valid()) {
    reply.SetResult("301") += "Cannot get temp file";
    return;
  }

  String cmdline = templ.ReplaceAll("%script%", script_file.Path(), 0);
  cmdline = cmdline.ReplaceAll("%params%", params.CStr(), 0);

  if (settings->DelayForScripts > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(settings->DelayForScripts));
  }
  int exitcode = 0;
  String err;
  if (!SystemEx2(cmdline.CStr(), nullptr, in_fd.get(), out_fd.get(), out_fd.get(), timelimit,
                 exitcode, err)) {
    reply.SetResult("301") += String("Script execution error: ") + err;
    return;
  }
  UniqueFile f;
  if (lseek(out_fd.get(), 0, SEEK_SET) == 0) f.reset(fdopen(out_fd.get(), "r"));
  if (!f) {
    reply.SetResult("301") += "Cannot get script results";
    return;
  }
  out_fd.release();
  String result_line;
  String output;
  ReadScriptOutput(f.get(), lines, result_line, output);
  f.reset();
  script_file.Remove();
  reply.SetResult("200");
  reply.AddStringParam(result_line, 1);
  reply.AddStringParam(output, 1);
}
