#include "tools/orvq.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/environment.h"
#include "base/net.h"
#include "base/oserror.h"
#include "base/resources.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/packet.h"
#include "protocol/value_codec.h"
#include "tools/json_text.h"
#include "tools/plugin_range.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: orvq [-H host[:port]]... [--hosts FILE] [-p port] [-P password | --password-file FILE]\n"
    "            [-t timeout_ms] [-k session_key] [--parallel N]\n"
    "            [--decode | --json | --plugin [-w range] [-c range]] COMMAND [PARAM ...]\n"
    "       orvq [-H host[:port]] [-p port] [-P password | --password-file FILE]\n"
    "            [-t timeout_ms] [-k session_key] --upgrade FILE\n"
    "  -H host[:port]        agent address (default 127.0.0.1); repeat for several agents\n"
    "  --hosts FILE          more agents, one host[:port] a line ('#' starts a comment)\n"
    "  -p port               port of agents named without one (default 1055)\n"
    "  --password-file FILE  shared password on the first line of FILE, which only its\n"
    "                        owner may read (recommended)\n"
    "  -P password           shared password (seen by ps; or set ORV_PASSWORD)\n"
    "  -t timeout_ms         limit for connecting and for each wait (default 60000)\n"
    "  -k session_key        session key text (default: fresh random text)\n"
    "  --parallel N          agents queried at once (default 16)\n"
    "  --decode              print multi-line values with their %0A and %0D escapes undone\n"
    "  --json                one JSON object a line per agent\n"
    "  --plugin              a monitoring plugin's status line and exit status (0 OK,\n"
    "                        1 WARNING, 2 CRITICAL, 3 UNKNOWN)\n"
    "  -w range, -c range    with --plugin: warning and critical ranges for the first\n"
    "                        numeric value (10, 10:, ~:10, 10:20, @10:20)\n"
    "  --upgrade FILE        replace the agent's program by FILE (\"UpgradeCode\"); prints the\n"
    "                        refusal, or the agent's verdict on the transferred module\n"
    "  -h                    this help\n"
    "Exit status: 0 reply received, 1 no reply (wrong password), 2 usage or connection error;\n"
    "with --plugin 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n";

const int kDefaultPort = 1055;
const int kMaxParallel = 256;
const int kMaxHosts = 100000;
// A password or a list of hosts is a small file; more is a wrong file.
const int kMaxPasswordFile = 4096;
const int kMaxHostsFile = 16 * 1024 * 1024;
// Above this many agents a terminal gets a progress line.
const int kProgressAbove = 20;

enum TOutput { kRaw, kJson, kPlugin };

struct TTarget {
  String host;
  int port = kDefaultPort;
};

struct TOptions {
  std::vector<String> host_args;  // -H, as given
  String hosts_file;
  int port = kDefaultPort;
  bool have_password = false;
  String password;
  String password_file;
  int timeout_ms = 60000;
  String session_key;
  int parallel = 16;
  bool decode = false;
  TOutput output = kRaw;
  String warn_text, crit_text;
  TPluginRange warn, crit;
  String upgrade_file;  // --upgrade: the new module
  String command;
  std::vector<String> params;
};

// The lines of text, split at each LF; an LF at the very end closes the last
// line and starts no further one.
std::vector<String> SplitLines(const String& text) {
  std::vector<String> lines;
  const char* p = text.Data();
  const int n = text.Length();
  int start = 0;
  while (start < n) {
    const void* lf = memchr(p + start, '\n', static_cast<size_t>(n - start));
    const int end = lf ? static_cast<int>(static_cast<const char*>(lf) - p) : n;
    String line;
    if (end > start) line.CopyData(p + start, end - start);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool ParseNumber(const char* text, int low, int high, int& value) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (!*text || *end || errno != 0 || v < low || v > high) return false;
  value = static_cast<int>(v);
  return true;
}

// Reads a regular file of at most limit bytes; false with the reason in
// problem. mode receives the file's permission bits.
bool ReadRegularFile(const String& path, int limit, String& bytes, mode_t& mode, String& problem) {
  String p = path;
  UniqueFd fd(open(p.CStr(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) {
    problem = String("cannot read ") + path + ": " + GetErrorStr(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_size > limit) {
    problem = String("cannot read ") + path + ": not a regular file of a usable size";
    return false;
  }
  mode = st.st_mode & 07777;
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

// The first line of a file that only its owner may read or write, as ssh
// insists for private keys: a password others can read is no secret.
bool ReadPasswordFile(const String& path, String& password, String& problem) {
  String bytes;
  mode_t mode = 0;
  bool ok = ReadRegularFile(path, kMaxPasswordFile, bytes, mode, problem);
  if (ok && (mode & 077) != 0) {
    char octal[16];
    snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
    problem = String("password file ") + path + " has mode " + octal +
              ": group and others must have no access (chmod 600)";
    ok = false;
  }
  if (ok) {
    int end = bytes.Pos('\n');
    int len = end > 0 ? end - 1 : bytes.Length();
    if (len > 0 && bytes[len] == '\r') --len;
    password.CopyData(bytes.Data(), len);
    if (password.IsEmpty()) {
      problem = String("password file ") + path + ": the first line is empty";
      ok = false;
    }
  }
  explicit_bzero(bytes.Data(), static_cast<size_t>(bytes.Length()));
  return ok;
}

// "host" or "host:port"; port is the default for the first form.
bool ParseTarget(const String& text, int default_port, TTarget& t, String& problem) {
  int colon = text.Pos(':');
  t.host = colon > 0 ? text.Copy(1, colon - 1) : text;
  t.port = default_port;
  String port = colon > 0 ? text.Copy(colon + 1, text.Length() - colon) : String();
  if (t.host.IsEmpty() || (colon > 0 && !ParseNumber(port.CStr(), 1, kMaxPort, t.port))) {
    problem = String("invalid agent address '") + text + "' (host or host:port)";
    return false;
  }
  return true;
}

// Returns 0 to go on, -1 after the help, or the exit status to stop with.
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
    auto number = [&](const char* name, int low, int high, int& target) {
      const char* v = value(name);
      if (!v) return false;
      if (!ParseNumber(v, low, high, target)) {
        fprintf(err, "orvq: invalid %s value '%s'\n", name, v);
        return false;
      }
      return true;
    };
    auto text = [&](const char* name, String& target) {
      const char* v = value(name);
      if (v) target = v;
      return v != nullptr;
    };
    bool ok = true;
    if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
      fputs(kUsage, out);
      return -1;
    } else if (strcmp(a, "--decode") == 0) {
      o.decode = true;
    } else if (strcmp(a, "--json") == 0 || strcmp(a, "--plugin") == 0) {
      TOutput chosen = a[2] == 'j' ? kJson : kPlugin;
      if (o.output != kRaw && o.output != chosen) {
        fprintf(err, "orvq: --json and --plugin exclude each other\n");
        return 2;
      }
      o.output = chosen;
    } else if (strcmp(a, "--upgrade") == 0) {
      ok = text("--upgrade", o.upgrade_file);
    } else if (strcmp(a, "-H") == 0) {
      String h;
      ok = text("-H", h);
      o.host_args.push_back(h);
    } else if (strcmp(a, "--hosts") == 0) {
      ok = text("--hosts", o.hosts_file);
    } else if (strcmp(a, "-p") == 0) {
      ok = number("port", 1, kMaxPort, o.port);
    } else if (strcmp(a, "-P") == 0) {
      ok = text("-P", o.password);
      o.have_password = true;
    } else if (strcmp(a, "--password-file") == 0) {
      ok = text("--password-file", o.password_file);
    } else if (strcmp(a, "-t") == 0) {
      ok = number("timeout", 1, 86400000, o.timeout_ms);
    } else if (strcmp(a, "-k") == 0) {
      ok = text("-k", o.session_key);
    } else if (strcmp(a, "--parallel") == 0) {
      ok = number("--parallel", 1, kMaxParallel, o.parallel);
    } else if (strcmp(a, "-w") == 0 || strcmp(a, "-c") == 0) {
      bool warn = a[1] == 'w';
      ok = text(a, warn ? o.warn_text : o.crit_text);
      String problem;
      if (ok && !(warn ? o.warn : o.crit).Parse((warn ? o.warn_text : o.crit_text).CStr(), problem)) {
        fprintf(err, "orvq: %s\n", problem.CStr());
        return 2;
      }
    } else if (a[0] == '-' && a[1] != 0) {
      fprintf(err, "orvq: unknown option '%s'\n%s", a, kUsage);
      return 2;
    } else {
      break;
    }
    if (!ok) return 2;
  }
  if (o.output != kPlugin && (!o.warn_text.IsEmpty() || !o.crit_text.IsEmpty())) {
    fprintf(err, "orvq: -w and -c need --plugin\n");
    return 2;
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
  if (o.have_password && !o.password_file.IsEmpty()) {
    fprintf(err, "orvq: give either -P or --password-file\n");
    return 2;
  }
  if (!o.password_file.IsEmpty()) {
    String problem;
    if (!ReadPasswordFile(o.password_file, o.password, problem)) {
      fprintf(err, "orvq: %s\n", problem.CStr());
      return 2;
    }
    o.have_password = true;
  }
  if (!o.have_password) o.have_password = GetEnvVar("ORV_PASSWORD", o.password);
  if (!o.have_password) {
    fprintf(err, "orvq: no password: give --password-file or -P, or set ORV_PASSWORD\n");
    return 2;
  }
  return 0;
}

// The agents to ask, in the order given: the -H arguments, then the lines
// of the --hosts file; 127.0.0.1 when there are none.
bool CollectTargets(const TOptions& o, std::vector<TTarget>& targets, String& problem) {
  std::vector<String> texts = o.host_args;
  if (!o.hosts_file.IsEmpty()) {
    String bytes;
    mode_t mode = 0;
    if (!ReadRegularFile(o.hosts_file, kMaxHostsFile, bytes, mode, problem)) return false;
    for (String entry : SplitLines(bytes)) {
      entry.Trim();
      if (entry.IsEmpty() || entry[1] == '#') continue;
      texts.push_back(entry);
    }
    if (texts.size() == o.host_args.size()) {
      problem = String("no agent listed in ") + o.hosts_file;
      return false;
    }
  }
  if (texts.empty()) texts.push_back("127.0.0.1");
  if (texts.size() > static_cast<size_t>(kMaxHosts)) {
    problem = "too many agents (at most 100000)";
    return false;
  }
  for (const String& text : texts) {
    TTarget t;
    if (!ParseTarget(text, o.port, t, problem)) return false;
    targets.push_back(t);
  }
  return true;
}

// The upgrade exchange: "UpgradeCode" with the module's length; after a
// "200" the module's raw bytes, then its MD5 digest encrypted under the
// session key, then the agent's verdict. Returns the status of the exchange
// and, in reply, the refusal or the verdict.
TExchangeStatus Upgrade(const TOptions& o, const TTarget& t, const String& module, String& reply,
                        String& problem) {
  char length[32];
  snprintf(length, sizeof length, "%d", module.Length());
  String param = length;
  String request = BuildRequestText(o.command, &param, 1);
  TAgentConnection conn(t.host, t.port, o.timeout_ms);
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

// The outcome of one agent's exchange.
struct TResult {
  TExchangeStatus status = kExchangeFailed;
  String reply;  // without its final CR
  String problem;
  long long elapsed_ms = 0;
};

TResult Query(const TOptions& o, const TTarget& t, const String& request) {
  TResult r;
  String key = o.session_key.IsEmpty() ? RandomSessionKey() : o.session_key;
  auto start = Clock::now();
  r.status = Exchange(t.host, t.port, o.timeout_ms, o.password, key, request, r.reply, r.problem);
  r.elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  if (r.reply.Length() > 0 && r.reply[r.reply.Length()] == '\r')
    r.reply.SetLength(r.reply.Length() - 1);
  return r;
}

// The result code and the value lines of a reply text.
void SplitReply(const String& reply, String& code, std::vector<String>& values) {
  values = SplitLines(reply);
  code = values.empty() ? String() : values.front();
  if (!values.empty()) values.erase(values.begin());
}

String Address(const TTarget& t) {
  char port[16];
  snprintf(port, sizeof port, ":%d", t.port);
  return t.host + port;
}

enum TPluginState { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
const char* const kStateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// Worse states rank higher: OK, WARNING, UNKNOWN, CRITICAL.
int Severity(int state) {
  static const int kRank[] = {0, 1, 3, 2};
  return kRank[state];
}

// The status line of a monitoring plugin for one reply, and its state.
String PluginLine(const TOptions& o, const TResult& r, const String& prefix, int& state) {
  // The text before "|" must not hold one, or the monitor would take the
  // rest for performance data.
  auto clean = [](String s) { return s.ReplaceAll("|", "/", 1); };
  String text = prefix + o.command + ": ";
  String perf;
  if (r.status != kReplyReceived) {
    state = kUnknown;
    text += r.status == kNoReply ? String("no reply (wrong password?): ") + r.problem : r.problem;
  } else {
    String code;
    std::vector<String> values;
    SplitReply(r.reply, code, values);
    // A success shows its values; anything else its code and its text.
    String shown = code == "200" ? String() : code;
    const TPluginRange* alerted = nullptr;
    for (String v : values) {
      if (!shown.IsEmpty()) shown += ' ';
      shown += v.Trim();
    }
    if (code == "200") {
      state = kOk;
      double number = 0;
      String number_text;
      for (const String& v : values) {
        if (ParsePluginNumber(v, number)) {
          number_text = v;
          number_text.Trim();
          break;
        }
      }
      bool thresholds = !o.warn_text.IsEmpty() || !o.crit_text.IsEmpty();
      if (thresholds && number_text.IsEmpty()) {
        state = kUnknown;
        shown += " (no numeric value to compare with the thresholds)";
      } else if (!o.crit_text.IsEmpty() && o.crit.Alerts(number)) {
        state = kCritical;
        alerted = &o.crit;
      } else if (!o.warn_text.IsEmpty() && o.warn.Alerts(number)) {
        state = kWarning;
        alerted = &o.warn;
      }
      if (alerted) shown += String(" (") + (alerted == &o.crit ? "critical " : "warning ") +
                            (alerted == &o.crit ? o.crit_text : o.warn_text) + ")";
      if (!number_text.IsEmpty()) {
        String label = o.command.Copy(1, 5) == "TEST-" ? o.command.Copy(6, o.command.Length())
                                                       : o.command;
        perf = String(" | '") + clean(label).ReplaceAll("'", "_", 1) + "'=" + number_text + ";" +
               o.warn_text + ";" + o.crit_text;
      }
    } else if (code == "300" || code == "301") {
      state = kCritical;
    } else {
      state = kUnknown;
      if (code.IsEmpty()) shown = "empty reply";
    }
    text += shown;
  }
  return String("ORV ") + kStateNames[state] + " - " + clean(text) + perf + "\n";
}

// The output for one agent; status receives its exit status.
String Render(const TOptions& o, const TTarget& t, const TResult& r, bool many, int& status) {
  if (o.output == kPlugin) return PluginLine(o, r, many ? Address(t) + " " : String(), status);
  status = r.status;
  if (o.output == kJson) {
    String code;
    std::vector<String> values;
    SplitReply(r.reply, code, values);
    for (String& v : values) v = orvDecodeStrings(v);
    TJsonObject j;
    j.Add("host", t.host).Add("port", static_cast<long long>(t.port)).Add("command", o.command);
    if (r.status == kReplyReceived && !code.IsEmpty())
      j.Add("code", code);
    else
      j.AddNull("code");
    j.Add("values", values).Add("elapsed_ms", r.elapsed_ms);
    if (r.status != kReplyReceived) j.Add("error", r.problem);
    return j.Text() + "\n";
  }
  if (!many) return o.decode ? orvDecodeStrings(r.reply) : r.reply;
  if (r.status != kReplyReceived) return Address(t) + "\t-\t" + r.problem + "\n";
  String line = Address(t);
  String code;
  std::vector<String> values;
  SplitReply(r.reply, code, values);
  line += '\t';
  line += code;
  for (const String& v : values) line += String("\t") + v;
  return line + "\n";
}

// Exit status of a run from one agent's: the highest, or with --plugin the
// worst state.
int Worse(const TOptions& o, int a, int b) {
  if (o.output == kPlugin) return Severity(a) >= Severity(b) ? a : b;
  return std::max(a, b);
}

void Write(FILE* out, const String& text) {
  fwrite(text.Data(), 1, static_cast<size_t>(text.Length()), out);
}

// Asks every agent, at most o.parallel at a time, and writes each output as
// soon as those before it are written. Returns the exit status.
int QueryAll(const TOptions& o, const std::vector<TTarget>& targets, FILE* out, FILE* err) {
  const String request =
      BuildRequestText(o.command, o.params.data(), static_cast<int>(o.params.size()));
  const size_t n = targets.size();
  const bool many = n > 1;
  std::vector<TResult> results(n);
  std::vector<char> done(n, 0);
  std::mutex mutex;  // guards results, done and finished
  std::condition_variable changed;
  size_t finished = 0;
  std::atomic<size_t> next{0};

  auto work = [&] {
    for (;;) {
      size_t i = next++;
      if (i >= n) return;
      TResult r = Query(o, targets[i], request);
      std::lock_guard<std::mutex> lock(mutex);
      results[i] = std::move(r);
      done[i] = 1;
      ++finished;
      changed.notify_one();
    }
  };
  std::vector<std::thread> workers;
  const size_t count = std::min(n, static_cast<size_t>(o.parallel));
  for (size_t w = 0; w < count; ++w) workers.emplace_back(work);

  const bool progress = n > static_cast<size_t>(kProgressAbove) && isatty(fileno(err));
  int worst = o.output == kPlugin ? kOk : 0;
  for (size_t i = 0; i < n; ++i) {
    TResult r;
    {
      std::unique_lock<std::mutex> lock(mutex);
      for (;;) {
        if (progress) {
          fprintf(err, "\r%zu of %zu agents answered or failed", finished, n);
          fflush(err);
        }
        if (done[i]) break;
        changed.wait(lock);
      }
      r = std::move(results[i]);
    }
    if (progress) fputs("\r\033[K", err);
    int status = 0;
    Write(out, Render(o, targets[i], r, many, status));
    fflush(out);
    if (o.output == kRaw && !many && r.status != kReplyReceived)
      fprintf(err, "orvq: %s\n", r.problem.CStr());
    worst = i == 0 ? status : Worse(o, worst, status);
  }
  for (std::thread& w : workers) w.join();
  return worst;
}

}  // namespace

int OrvqMain(int argc, char** argv, FILE* out, FILE* err) {
  TOptions o;
  int rc = ParseArgs(argc, argv, o, out, err);
  if (rc == -1) return 0;
  if (rc != 0) return rc;
  std::vector<TTarget> targets;
  String problem;
  if (!CollectTargets(o, targets, problem)) {
    fprintf(err, "orvq: %s\n", problem.CStr());
    return 2;
  }

  Twofish_initialise();
  if (o.upgrade_file.IsEmpty()) return QueryAll(o, targets, out, err);

  if (targets.size() != 1) {
    fprintf(err, "orvq: --upgrade takes one agent\n");
    return 2;
  }
  String module;
  mode_t mode = 0;
  if (!ReadRegularFile(o.upgrade_file, INT_MAX / 2, module, mode, problem)) {
    fprintf(err, "orvq: %s\n", problem.CStr());
    return 2;
  }
  if (o.session_key.IsEmpty()) o.session_key = RandomSessionKey();
  String reply;
  TExchangeStatus st = Upgrade(o, targets[0], module, reply, problem);
  if (st != kReplyReceived) {
    fprintf(err, "orvq: %s\n", problem.CStr());
    return st == kNoReply ? 1 : 2;
  }
  if (reply.Length() > 0 && reply[reply.Length()] == '\r') reply.SetLength(reply.Length() - 1);
  Write(out, o.decode ? orvDecodeStrings(reply) : reply);
  fflush(out);
  return 0;
}
