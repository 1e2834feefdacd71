#include "tools/orvq.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "base/environment.h"
#include "base/oserror.h"
#include "base/resources.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/packet.h"
#include "protocol/value_codec.h"

namespace {

const char kUsage[] =
    "usage: orvq [-H host] [-p port] -P password [-t timeout_ms] [-k session_key]\n"
    "            [--decode] COMMAND [PARAM ...]\n"
    "       orvq [-H host] [-p port] -P password [-t timeout_ms] [-k session_key]\n"
    "            --upgrade FILE\n"
    "  -H host         agent address (default 127.0.0.1)\n"
    "  -p port         agent port (default 1055)\n"
    "  -P password     shared password (or the environment variable ORV_PASSWORD)\n"
    "  -t timeout_ms   limit for connecting and for each wait (default 60000)\n"
    "  -k session_key  session key text (default: fresh random text)\n"
    "  --decode        print multi-line values with their %0A and %0D escapes undone\n"
    "  --upgrade FILE  replace the agent's program by FILE (\"UpgradeCode\"); prints the\n"
    "                  refusal, or the agent's verdict on the transferred module\n"
    "  -h              this help\n"
    "Exit status: 0 reply received, 1 no reply (wrong password), 2 usage or connection error.\n";

struct TOptions {
  String host = "127.0.0.1";
  int port = 1055;
  bool have_password = false;
  String password;
  int timeout_ms = 60000;
  String session_key;
  bool decode = false;
  String upgrade_file;  // --upgrade: the new module
  String command;
  std::vector<String> params;
};

bool ParseNumber(const char* text, int low, int high, int& value) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (!*text || *end || v < low || v > high) return false;
  value = static_cast<int>(v);
  return true;
}

// Returns 0 to go on, or the exit status to stop with.
int ParseArgs(int argc, char** argv, TOptions& o, FILE* out, FILE* err) {
  int i = 1;
  for (; i < argc; ++i) {
    const char* a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        fprintf(err, "orvq: %s needs a value\n%s", name, kUsage);
        return nullptr;
      }
      return argv[++i];
    };
    if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
      fputs(kUsage, out);
      return -1;
    } else if (strcmp(a, "--decode") == 0) {
      o.decode = true;
    } else if (strcmp(a, "--upgrade") == 0) {
      const char* v = value("--upgrade");
      if (!v) return 2;
      o.upgrade_file = v;
    } else if (strcmp(a, "-H") == 0) {
      const char* v = value("-H");
      if (!v) return 2;
      o.host = v;
    } else if (strcmp(a, "-p") == 0) {
      const char* v = value("-p");
      if (!v) return 2;
      if (!ParseNumber(v, 1, 65535, o.port)) {
        fprintf(err, "orvq: invalid port '%s'\n", v);
        return 2;
      }
    } else if (strcmp(a, "-P") == 0) {
      const char* v = value("-P");
      if (!v) return 2;
      o.password = v;
      o.have_password = true;
    } else if (strcmp(a, "-t") == 0) {
      const char* v = value("-t");
      if (!v) return 2;
      if (!ParseNumber(v, 1, 86400000, o.timeout_ms)) {
        fprintf(err, "orvq: invalid timeout '%s'\n", v);
        return 2;
      }
    } else if (strcmp(a, "-k") == 0) {
      const char* v = value("-k");
      if (!v) return 2;
      o.session_key = v;
    } else if (a[0] == '-' && a[1] != 0) {
      fprintf(err, "orvq: unknown option '%s'\n%s", a, kUsage);
      return 2;
    } else {
      break;
    }
  }
  if (o.upgrade_file.Length() > 0) {
    if (i < argc) {
      fprintf(err, "orvq: --upgrade takes no command\n%s", kUsage);
      return 2;
    }
    o.command = "UpgradeCode";
  } else {
    if (i >= argc) {
      fprintf(err, "orvq: no command given\n%s", kUsage);
      return 2;
    }
    o.command = argv[i++];
    for (; i < argc; ++i) o.params.push_back(String(argv[i]));
  }
  if (!o.have_password) o.have_password = GetEnvVar("ORV_PASSWORD", o.password);
  if (!o.have_password) {
    fprintf(err, "orvq: no password: give -P or set ORV_PASSWORD\n");
    return 2;
  }
  if (o.session_key.Length() == 0) o.session_key = RandomSessionKey();
  return 0;
}

// Reads the whole file; false with the reason in problem.
bool ReadWholeFile(const String& path, String& bytes, String& problem) {
  String p = path;
  UniqueFd fd(open(p.CStr(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) {
    problem = String("cannot read ") + path + ": " + GetErrorStr(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_size > INT_MAX / 2) {
    problem = String("cannot read ") + path + ": not a regular file of a sendable size";
    return false;
  }
  bytes.SetLength(static_cast<int>(st.st_size));
  int done = 0;
  while (done < bytes.Length()) {
    ssize_t r =
        ReadRetry(fd.get(), bytes.Data() + done, static_cast<size_t>(bytes.Length() - done));
    if (r <= 0) {
      problem = String("cannot read ") + path + ": " + (r < 0 ? GetErrorStr(errno) : "file shrank");
      return false;
    }
    done += static_cast<int>(r);
  }
  return true;
}

// The upgrade exchange: "UpgradeCode" with the module's length; after a
// "200" the module's raw bytes, then its MD5 digest encrypted under the
// session key, then the agent's verdict. Returns the status of the exchange
// and, in reply, the refusal or the verdict.
TExchangeStatus Upgrade(const TOptions& o, const String& module, String& reply, String& problem) {
  char length[32];
  snprintf(length, sizeof length, "%d", module.Length());
  String param = length;
  String request = BuildRequestText(o.command, &param, 1);
  TAgentConnection conn(o.host, o.port, o.timeout_ms);
  TExchangeStatus st = conn.Connect(problem);
  if (st != kReplyReceived) return st;
  String packet = BuildRequestPacket(o.password, o.session_key, request);
  st = conn.SendRaw(packet.Data(), packet.Length(), problem);
  if (st != kReplyReceived) return st;
  st = conn.ReadReply(o.session_key, reply, problem);
  if (st != kReplyReceived || reply.Copy(1, 4) != "200\n") return st;

  st = conn.SendRaw(module.Data(), module.Length(), problem);
  if (st != kReplyReceived) return st;
  // The agent takes whatever follows the module in the block that completes
  // it as the digest, so the digest must not share a block with module bytes
  // still in flight, and must arrive in one piece: let the agent drain the
  // module first, then send the digest in a single send.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  String trailer = BuildUpgradeTrailer(module.Data(), module.Length(), o.session_key);
  st = conn.SendRaw(trailer.Data(), trailer.Length(), problem);
  if (st != kReplyReceived) return st;
  return conn.ReadReply(o.session_key, reply, problem);
}

}  // namespace

int OrvqMain(int argc, char** argv, FILE* out, FILE* err) {
  TOptions o;
  int rc = ParseArgs(argc, argv, o, out, err);
  if (rc == -1) return 0;
  if (rc != 0) return rc;

  Twofish_initialise();
  String reply;
  String problem;
  TExchangeStatus st;
  if (o.upgrade_file.Length() > 0) {
    String module;
    if (!ReadWholeFile(o.upgrade_file, module, problem)) {
      fprintf(err, "orvq: %s\n", problem.CStr());
      return 2;
    }
    st = Upgrade(o, module, reply, problem);
  } else {
    String request =
        BuildRequestText(o.command, o.params.data(), static_cast<int>(o.params.size()));
    st = Exchange(o.host, o.port, o.timeout_ms, o.password, o.session_key, request, reply, problem);
  }
  if (st != kReplyReceived) {
    fprintf(err, "orvq: %s\n", problem.CStr());
    return st == kNoReply ? 1 : 2;
  }
  if (reply.Length() > 0 && reply.Data()[reply.Length() - 1] == '\r')
    reply.SetLength(reply.Length() - 1);
  if (o.decode) reply = orvDecodeStrings(reply);
  fwrite(reply.Data(), 1, static_cast<size_t>(reply.Length()), out);
  fflush(out);
  return 0;
}
