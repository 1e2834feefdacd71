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

// Creates path (it must not exist yet) and writes text into it. The file is
// opened, written and closed while no child process can be forked: a child
// that inherited the open descriptor, even for the instant before its own
// exec, would make the script "busy" and impossible to execute.
TWriteResult WriteNewFile(const char* path, const String& text) {
  std::unique_lock<std::mutex> no_fork = LockEnvironment();
  int raw;
  do {
    raw = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return TWriteResult::kCannotCreate;
  UniqueFd fd(raw);
  const char* p = text.Data();
  int left = text.Length();
  while (left > 0) {
    ssize_t n = write(fd.get(), p, static_cast<size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return TWriteResult::kShortWrite;
    p += n;
    left -= static_cast<int>(n);
  }
  if (close(fd.release()) != 0) return TWriteResult::kShortWrite;
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

  char path[512];
  if (!gettempfilename(path, sizeof path, nullptr)) {
    reply.SetResult("301") += "Cannot get temp file";
    return;
  }
  TTempFile script_file;
  switch (WriteNewFile(path, script)) {
    case TWriteResult::kCannotCreate:
      // Not ours: a file that appeared under this name is left alone.
      reply.SetResult("301") += "Cannot create temp file";
      return;
    case TWriteResult::kShortWrite:
      unlink(path);
      reply.SetResult("301") += "cannot create temp file";
      return;
    case TWriteResult::kOk:
      script_file.Reset(path);
      break;
  }
  if (chmod(script_file.Path(), 0775) != 0) {
    reply.SetResult("301") += "Cannot set exec flag for script";
    return;
  }
  // The script file exists now, so this name differs from it.
  char outpath[512];
  if (!gettempfilename(outpath, sizeof outpath, nullptr)) {
    reply.SetResult("301") += "Cannot get temp file";
    return;
  }
  TTempFile output_file(outpath);

  String cmdline = templ.ReplaceAll("%script%", script_file.Path(), 0);
  cmdline = cmdline.ReplaceAll("%params%", params.CStr(), 0);

  if (settings->DelayForScripts > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(settings->DelayForScripts));
  }
  int exitcode = 0;
  String err;
  if (!SystemEx2(cmdline.CStr(), nullptr, outpath, outpath, outpath, timelimit, exitcode, err)) {
    reply.SetResult("301") += String("Script execution error: ") + err;
    return;
  }
  UniqueFile f(std::fopen(outpath, "re"));
  if (!f) {
    reply.SetResult("301") += "Cannot get script results";
    return;
  }
  String result_line;
  String output;
  ReadScriptOutput(f.get(), lines, result_line, output);
  f.reset();
  output_file.Remove();
  script_file.Remove();
  reply.SetResult("200");
  reply.AddStringParam(result_line, 1);
  reply.AddStringParam(output, 1);
}
