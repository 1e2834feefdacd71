#include "monitors/process_tests.h"

#include <unistd.h>

#include <cstring>
#include <functional>

#include "base/paths.h"
#include "base/private_tmp.h"
#include "base/resources.h"
#include "config/settings.h"
#include "monitors/helper_script.h"

namespace {

// The names the three scripts go by in the "301" texts.
struct THelper {
  const char* not_specified;
  const char* missing;
};
const THelper kProcCnt = {"ProcCnt script is not speified", "ProcCnt script doesn't exist"};
const THelper kCpuUsage = {"CPUUsage script is not speified", "CPUUsage script doesn't exist"};
const THelper kProcList = {"ProcList script is not speified", "ProcList script doesn't exist"};

// False with the "301" text in err when script cannot be used.
bool CheckScript(const String& script, const THelper& names, String& err) {
  err = "";
  if (script.IsEmpty()) {
    err = names.not_specified;
    return false;
  }
  String path = script;
  if (!FileExists(path.CStr())) {
    err = names.missing;
    return false;
  }
  return true;
}

// Reads the answer from the script's output; empty on success, else the
// "301" text.
using TOutputReader = std::function<String(FILE*)>;

// Runs script (with arg, when not null) with its output going to a fresh
// file of the agent's private folder, and hands that file to read. Empty on
// success, else the "301" text. The file is gone when this returns.
String RunHelper(const String& script, const String* arg, const TOutputReader& read) {
  String path, why;
  UniqueFd out(CreatePrivateFile(nullptr, 0600, path, why));
  if (!out.valid()) return "cannot get temp file";
  UniqueFd err(OpenAgain(path));
  UniqueFd fd3(OpenAgain(path));
  unlink(path.CStr());  // the descriptors are all anyone needs
  if (!err.valid() || !fd3.valid()) return "cannot get temp file";
  String cmdline = HelperCommandLine(script, arg);
  const int fds[3] = {out.get(), err.get(), fd3.get()};
  if (RunShellCommand(cmdline.CStr(), fds) == -1) return "Cannot execute script";
  // The script's standard output shared this descriptor's position.
  if (lseek(out.get(), 0, SEEK_SET) != 0) return "Cannot get script results";
  UniqueFile f(fdopen(out.get(), "r"));
  if (!f) return "Cannot get script results";
  out.release();
  return read(f.get());
}

void ReplyFailure(ORVReply& reply, const String& text) {
  reply.SetResult("301") += text;
}

}  // namespace

String ReadProcessList(FILE* f) {
  String list;
  char line[512];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    size_t n = std::strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    if (n == 0) continue;
    list.AddData(line, static_cast<int>(n));
    list += "\r\n";
  }
  return list;
}

void ProcessTest_Process(const VQRequest& request, ORVReply& reply) {
  auto settings = ORVSettings.Get();
  String bad;
  if (!CheckScript(settings->ProcCntScript, kProcCnt, bad)) {
    ReplyFailure(reply, bad);
    return;
  }
  // Parameter 1 is not used. A zero byte ends the name, as it would end any
  // C text handed to the shell.
  String name = request.GetParam(2, 1);
  if (int nul = name.Pos('\0')) name = name.Copy(1, nul - 1);
  if (name.IsEmpty()) {
    reply.SetResult("501") += "Name of the process is not specified";
    return;
  }
  int count = 0;
  String failure = RunHelper(settings->ProcCntScript, &name, [&count](FILE* f) {
    return ScanLeadingInt(f, count) ? String() : String("Script error");
  });
  if (!failure.IsEmpty()) {
    ReplyFailure(reply, failure);
    return;
  }
  reply.SetResult("200");
  reply.AddIntParam(count);
}

void ProcessTest_CPU(const VQRequest&, ORVReply& reply) {
  auto settings = ORVSettings.Get();
  String bad;
  if (!CheckScript(settings->CpuUsageScript, kCpuUsage, bad)) {
    ReplyFailure(reply, bad);
    return;
  }
  float usage = 0;
  String failure = RunHelper(settings->CpuUsageScript, nullptr, [&usage](FILE* f) {
    return ScanLeadingReal(f, usage) ? String() : String("Script error");
  });
  if (!failure.IsEmpty()) {
    ReplyFailure(reply, failure);
    return;
  }
  reply.SetResult("200");
  reply.AddRealParam(usage);
}

void ProcessInfo_ProcessesList(const VQRequest&, ORVReply& reply) {
  auto settings = ORVSettings.Get();
  String bad;
  if (!CheckScript(settings->ProcListScript, kProcList, bad)) {
    ReplyFailure(reply, bad);
    return;
  }
  String list;
  String failure = RunHelper(settings->ProcListScript, nullptr, [&list](FILE* f) {
    list = ReadProcessList(f);
    return String();
  });
  if (!failure.IsEmpty()) {
    ReplyFailure(reply, failure);
    return;
  }
  reply.SetResult("200");
  reply.AddStringParam(list, 1);
}
