#include "tools/orvload.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "base/environment.h"
#include "base/net.h"
#include "base/oserror.h"
#include "base/resources.h"
#include "crypto/ciplib.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/packet.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: orvload -p PORT [-H host] [-c clients] [-t seconds] [-P password]\n"
    "               [--proto orv|raw|zbx|nrpe|nrpe2] [--cpu-pid PID] [--timeout ms]\n"
    "               [--expect TEXT] [--requests N] [--psk-identity ID --psk-file F]\n"
    "               COMMAND [PARAM ...]\n"
    "       orvload -p PORT [-H host] [-t seconds] --hold N\n"
    "  -p PORT         server port\n"
    "  -H host         server address (default 127.0.0.1)\n"
    "  -c clients      concurrent clients, one thread each (default 1, at most 4096)\n"
    "  -t seconds      length of the run (default 5, at most 3600)\n"
    "  -P password     the agent's password for --proto orv (or ORV_PASSWORD)\n"
    "  --proto P       orv (default), raw (COMMAND and LF, plain), zbx (passive check\n"
    "                  key), nrpe (query text, e.g. _NRPE_CHECK; no TLS), nrpe2 (the\n"
    "                  same in the older version 2 packet)\n"
    "  --cpu-pid PID   also report the CPU time of PID and its children per request\n"
    "  --timeout ms    bound of each connect, send and receive (default 5000)\n"
    "  --expect TEXT   orv: the reply must start with TEXT (default 200)\n"
    "  --requests N    stop after N exchanges in all (default: only the time)\n"
    "  --hold N        open N idle connections for the run's time, then close them\n"
    "  --psk-identity ID, --psk-file F\n"
    "                  each exchange inside TLS with this pre-shared key (hex in F;\n"
    "                  orvload_tls only)\n";

constexpr int kNrpePacketSize = 1036;  // version 2 packet with its padding
constexpr int kNrpeBufferSize = 1024;
constexpr int kNrpe4Header = 16;        // version 4: the fields, then the buffer length
constexpr int kNrpe4QueryBuffer = 1020;  // what the stock client sends
constexpr int kMaxAnswer = 1 << 20;

bool ParseLong(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (!*text || *end || errno != 0 || v < low || v > high) return false;
  value = v;
  return true;
}

void Put16(char* p, unsigned v) {
  p[0] = static_cast<char>((v >> 8) & 0xFF);
  p[1] = static_cast<char>(v & 0xFF);
}
void Put32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
}
unsigned Get16(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return (static_cast<unsigned>(u[0]) << 8) | u[1];
}
uint32_t Get32(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return (static_cast<uint32_t>(u[0]) << 24) | (static_cast<uint32_t>(u[1]) << 16) |
         (static_cast<uint32_t>(u[2]) << 8) | u[3];
}

// Session keys need not be unpredictable for a load run, only fresh; a
// per-thread generator keeps /dev/urandom out of the measured loop.
class TKeyMaker {
 public:
  explicit TKeyMaker(uint64_t seed) : state_(seed * 2654435761u + 0x9E3779B97F4A7C15ull) {}
  String Next() {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    String key;
    for (int i = 0; i < 24; ++i) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 7;
      state_ ^= state_ << 17;
      key.AddChar(kAlphabet[(state_ >> 32) % (sizeof kAlphabet - 1)]);
    }
    return key;
  }

 private:
  uint64_t state_;
};

// What every client thread shares.
struct TRun {
  const TLoadOptions* o = nullptr;
  struct sockaddr_in addr;
  String password_proof;                     // orv: MD5 of the password
  std::unique_ptr<TPacketKey> password_key;  // orv: prepared once, like the agent does
  std::unique_ptr<TLoadLayer> layer;          // null: plain TCP
  String plain_request;                      // raw, zbx, nrpe: the same bytes every time
  String request_text;                       // orv: the request before encryption
  Clock::time_point deadline;
  std::atomic<long> started{0};
  std::mutex mu;
  long errors = 0;
  long long cipher_bytes = 0;
  String first_error;
  std::vector<uint32_t> latencies;
};

// A connected socket whose waits are bounded by timeout_ms, or -1.
int ConnectTo(const struct sockaddr_in& addr, int timeout_ms, String& err) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    err = String("socket: ") + GetErrorStr(errno);
    return -1;
  }
  struct timeval tv;
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int r;
  do {
    r = connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    err = String("connect: ") + GetErrorStr(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until the peer closes; false on errors, time-outs and oversize.
bool ReadToEnd(int fd, String& answer, String& err) {
  char block[4096];
  for (;;) {
    ssize_t got = recv(fd, block, sizeof block, 0);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      // A peer that closes with unread bytes resets; what came is judged.
      if (errno == ECONNRESET && answer.Length() > 0) return true;
      err = String("receive: ") + GetErrorStr(errno);
      return false;
    }
    if (answer.Length() + got > kMaxAnswer) {
      err = "answer too large";
      return false;
    }
    answer.AddData(block, static_cast<int>(got));
  }
}

// One whole exchange; false with the reason in err.
bool OneExchange(TRun& run, TKeyMaker& keys, long& cipher_bytes, String& err) {
  const TLoadOptions& o = *run.o;
  String packet;
  String sessionkey;
  std::unique_ptr<TPacketKey> session;
  if (o.proto == kLoadOrv) {
    sessionkey = keys.Next();
    session.reset(new TPacketKey(sessionkey));
    String key = EncodeData(sessionkey, *run.password_key, 0);
    String text = EncodeData(run.request_text, *session, 0);
    String body;
    body.AddData(reinterpret_cast<const char*>(kPacketSignature), 2);
    body += EncodeLength(run.password_proof, SIZELEN_PSWD) + run.password_proof;
    body += EncodeLength(key, SIZELEN_KEY) + key;
    body += EncodeLength(text, SIZELEN_REQUEST) + text;
    packet = EncodeLength(body, SIZELEN_PACKET) + body;
    cipher_bytes = key.Length() + text.Length();
  } else {
    packet = run.plain_request;
  }
  UniqueFd fd(ConnectTo(run.addr, o.timeout_ms, err));
  if (!fd.valid()) return false;
  String answer;
  if (run.layer) {
    if (!run.layer->Exchange(fd.get(), packet, answer, err)) return false;
  } else {
    if (SendFull(fd.get(), packet.Data(), static_cast<size_t>(packet.Length())) < 0) {
      err = String("send: ") + GetErrorStr(errno);
      return false;
    }
    if (!ReadToEnd(fd.get(), answer, err)) return false;
  }
  switch (o.proto) {
    case kLoadOrv: {
      if (answer.Length() < 4 || static_cast<uint32_t>(DecodeLength(answer.Data(), 4)) + 4 !=
                                     static_cast<uint32_t>(answer.Length())) {
        err = answer.Length() == 0 ? "no reply (wrong password?)" : "malformed reply packet";
        return false;
      }
      String reply = session->Decrypt(answer.Copy(5, answer.Length() - 4));
      cipher_bytes += reply.Length();
      if (reply.Copy(1, o.expect.Length()) != o.expect) {
        err = String("unexpected reply: ") + reply.Copy(1, 40);
        return false;
      }
      return true;
    }
    case kLoadRaw:
      if (answer.Length() == 0) err = "empty answer";
      return answer.Length() > 0;
    case kLoadZbx:
      if (!CheckZbxAnswer(answer.Data(), answer.Length())) {
        err = String("bad passive check answer: ") + answer.Copy(1, 40);
        return false;
      }
      return true;
    case kLoadNrpe:
    case kLoadNrpe2:
      if (!CheckNrpeAnswer(answer.Data(), answer.Length())) {
        err = "bad query answer";
        return false;
      }
      return true;
  }
  return false;
}

void Client(TRun& run, int index) {
  TKeyMaker keys(static_cast<uint64_t>(index + 1) *
                 static_cast<uint64_t>(Clock::now().time_since_epoch().count()));
  std::vector<uint32_t> lat;
  long errors = 0;
  long long cipher = 0;
  String first;
  while (Clock::now() < run.deadline) {
    if (run.o->max_requests > 0 && run.started.fetch_add(1) >= run.o->max_requests) break;
    String err;
    long bytes = 0;
    auto t0 = Clock::now();
    bool ok = OneExchange(run, keys, bytes, err);
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
    if (ok) {
      lat.push_back(static_cast<uint32_t>(std::min<long long>(us, UINT32_MAX)));
      cipher += bytes;
    } else {
      ++errors;
      if (first.Length() == 0) first = err;
      // A refused connection fails at once; do not spin on it.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::lock_guard<std::mutex> lock(run.mu);
  run.latencies.insert(run.latencies.end(), lat.begin(), lat.end());
  run.errors += errors;
  run.cipher_bytes += cipher;
  if (run.first_error.Length() == 0) run.first_error = first;
}

bool ResolveHost(const String& host, int port, struct sockaddr_in& addr, String& err) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  String h = host;
  int rc = getaddrinfo(h.CStr(), nullptr, &hints, &found);
  if (rc != 0) {
    err = String("cannot resolve ") + host + ": " + gai_strerror(rc);
    return false;
  }
  memcpy(&addr, found->ai_addr, sizeof addr);
  freeaddrinfo(found);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return true;
}

int HoldConnections(const TLoadOptions& o, const struct sockaddr_in& addr, FILE* out, FILE* err) {
  std::vector<UniqueFd> held;
  String problem;
  for (int i = 0; i < o.hold; ++i) {
    int fd = ConnectTo(addr, o.timeout_ms, problem);
    if (fd < 0) break;
    held.emplace_back(fd);
  }
  fprintf(out, "orvload hold=%d open=%zu seconds=%.2f\n", o.hold, held.size(), o.seconds);
  fflush(out);
  if (static_cast<int>(held.size()) < o.hold) fprintf(err, "orvload: %s\n", problem.CStr());
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(o.seconds * 1000)));
  return static_cast<int>(held.size()) == o.hold ? 0 : 1;
}

}  // namespace

int ParseLoadArgs(int argc, const char* const* argv, TLoadOptions& o, String& err) {
  int i = 1;
  for (; i < argc; ++i) {
    const char* a = argv[i];
    if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
      err = kUsage;
      return -1;
    }
    if (a[0] != '-' || a[1] == 0) break;
    if (i + 1 >= argc) {
      err = String("orvload: ") + a + " needs a value";
      return 2;
    }
    const char* v = argv[++i];
    long n = 0;
    if (strcmp(a, "-p") == 0) {
      if (!ParseLong(v, 1, kMaxPort, n)) {
        err = String("orvload: invalid port '") + v + "'";
        return 2;
      }
      o.port = static_cast<int>(n);
    } else if (strcmp(a, "-H") == 0) {
      o.host = v;
    } else if (strcmp(a, "-c") == 0) {
      if (!ParseLong(v, 1, 4096, n)) {
        err = String("orvload: invalid number of clients '") + v + "'";
        return 2;
      }
      o.clients = static_cast<int>(n);
    } else if (strcmp(a, "-t") == 0) {
      char* end = nullptr;
      double s = strtod(v, &end);
      if (!*v || *end || !(s > 0) || s > 3600) {
        err = String("orvload: invalid time '") + v + "'";
        return 2;
      }
      o.seconds = s;
    } else if (strcmp(a, "-P") == 0) {
      o.password = v;
      o.have_password = true;
    } else if (strcmp(a, "--proto") == 0) {
      if (strcmp(v, "orv") == 0) {
        o.proto = kLoadOrv;
      } else if (strcmp(v, "raw") == 0) {
        o.proto = kLoadRaw;
      } else if (strcmp(v, "zbx") == 0) {
        o.proto = kLoadZbx;
      } else if (strcmp(v, "nrpe") == 0) {
        o.proto = kLoadNrpe;
      } else if (strcmp(v, "nrpe2") == 0) {
        o.proto = kLoadNrpe2;
      } else {
        err = String("orvload: unknown protocol '") + v + "'";
        return 2;
      }
    } else if (strcmp(a, "--cpu-pid") == 0) {
      if (!ParseLong(v, 1, 1L << 30, n)) {
        err = String("orvload: invalid pid '") + v + "'";
        return 2;
      }
      o.cpu_pid = static_cast<int>(n);
    } else if (strcmp(a, "--timeout") == 0) {
      if (!ParseLong(v, 1, 3600000, n)) {
        err = String("orvload: invalid timeout '") + v + "'";
        return 2;
      }
      o.timeout_ms = static_cast<int>(n);
    } else if (strcmp(a, "--expect") == 0) {
      o.expect = v;
    } else if (strcmp(a, "--requests") == 0) {
      if (!ParseLong(v, 1, 1L << 40, n)) {
        err = String("orvload: invalid request count '") + v + "'";
        return 2;
      }
      o.max_requests = n;
    } else if (strcmp(a, "--psk-identity") == 0) {
      o.psk_identity = v;
    } else if (strcmp(a, "--psk-file") == 0) {
      o.psk_file = v;
    } else if (strcmp(a, "--hold") == 0) {
      if (!ParseLong(v, 1, 100000, n)) {
        err = String("orvload: invalid number of connections '") + v + "'";
        return 2;
      }
      o.hold = static_cast<int>(n);
    } else {
      err = String("orvload: unknown option '") + a + "'";
      return 2;
    }
  }
  if (o.port == 0) {
    err = "orvload: no port given (-p)";
    return 2;
  }
  if ((o.psk_identity.Length() > 0) != (o.psk_file.Length() > 0)) {
    err = "orvload: --psk-identity and --psk-file go together";
    return 2;
  }
  if (o.hold > 0) {
    if (i < argc) {
      err = "orvload: --hold takes no command";
      return 2;
    }
    return 0;
  }
  if (i >= argc) {
    err = "orvload: no command given";
    return 2;
  }
  o.command = argv[i++];
  for (; i < argc; ++i) o.params.push_back(String(argv[i]));
  if (o.proto == kLoadOrv && !o.have_password) {
    o.have_password = GetEnvVar("ORV_PASSWORD", o.password);
    if (!o.have_password) {
      err = "orvload: no password: give -P or set ORV_PASSWORD";
      return 2;
    }
  }
  return 0;
}

uint32_t Percentile(std::vector<uint32_t>& samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
  size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

bool ParseProcStatCpu(const char* text, long& ppid, unsigned long long& ticks) {
  // The command name sits in parentheses and may hold spaces and
  // parentheses itself; the fields start after the last ')'.
  const char* close = strrchr(text, ')');
  if (close == nullptr) return false;
  const char* p = close + 1;
  unsigned long long field[18] = {};
  // Field numbers as in proc(5): 3 state, 4 ppid, 14-17 the CPU times.
  for (int f = 3; f <= 17; ++f) {
    while (*p == ' ') ++p;
    if (*p == 0) return false;
    if (f == 3) {
      ++p;
    } else {
      char* end = nullptr;
      field[f] = strtoull(p, &end, 10);
      if (end == p) return false;
      p = end;
    }
  }
  ppid = static_cast<long>(field[4]);
  ticks = field[14] + field[15] + field[16] + field[17];
  return true;
}

// This process's own CPU time: the client's share of each exchange.
long long OwnCpuMicros() {
  struct rusage u;
  if (getrusage(RUSAGE_SELF, &u) != 0) return -1;
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec +
         u.ru_stime.tv_usec;
}

long long ProcessTreeCpuMicros(int pid) {
  std::map<long, std::vector<long>> children;
  std::map<long, unsigned long long> ticks;
  UniqueDir proc(opendir("/proc"));
  if (!proc) return -1;
  while (struct dirent* e = readdir(proc.get())) {
    long id = 0;
    if (!ParseLong(e->d_name, 1, 1L << 30, id)) continue;
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/stat", id);
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) continue;
    char buf[1024];
    ssize_t n = ReadRetry(fd.get(), buf, sizeof buf - 1);
    if (n <= 0) continue;
    buf[n] = 0;
    long ppid = 0;
    unsigned long long t = 0;
    if (!ParseProcStatCpu(buf, ppid, t)) continue;
    ticks[id] = t;
    children[ppid].push_back(id);
  }
  if (ticks.find(pid) == ticks.end()) return -1;
  unsigned long long total = 0;
  std::vector<long> todo = {pid};
  while (!todo.empty()) {
    long id = todo.back();
    todo.pop_back();
    total += ticks[id];
    for (long c : children[id]) todo.push_back(c);
  }
  long hz = sysconf(_SC_CLK_TCK);
  if (hz <= 0) hz = 100;
  return static_cast<long long>(total) * 1000000 / hz;
}

String BuildZbxRequest(const String& key) {
  String out("ZBXD\x01");
  uint64_t n = static_cast<uint64_t>(key.Length());
  for (int i = 0; i < 8; ++i) out.AddChar(static_cast<char>((n >> (8 * i)) & 0xFF));
  out += key;
  return out;
}

int CheckZbxAnswer(const char* data, int n) {
  if (data == nullptr || n < 13 || memcmp(data, "ZBXD", 4) != 0) return 0;
  const unsigned char* u = reinterpret_cast<const unsigned char*>(data);
  // Flag bit 0 marks this framing; bit 1 would announce a compressed body.
  if ((u[4] & 0x03) != 0x01) return 0;
  uint32_t len = static_cast<uint32_t>(u[5]) | (static_cast<uint32_t>(u[6]) << 8) |
                 (static_cast<uint32_t>(u[7]) << 16) | (static_cast<uint32_t>(u[8]) << 24);
  if (static_cast<uint64_t>(len) + 13 != static_cast<uint64_t>(n)) return 0;
  static const char kNotSupported[] = "ZBX_NOTSUPPORTED";
  if (len >= sizeof kNotSupported - 1 &&
      memcmp(data + 13, kNotSupported, sizeof kNotSupported - 1) == 0)
    return 0;
  return 1;
}

uint32_t NrpeCrc32(const char* data, int n) {
  TCRC32 crc;
  // TCRC32 keeps its register uninverted; the usual CRC-32 is its complement.
  return ~crc.GetBlockCRC(data, n);
}

String BuildNrpePacket(int version, int type, int result, const String& text) {
  int n = std::min(text.Length(), kNrpeBufferSize - 1);
  int buffer = version == 2 ? kNrpeBufferSize : type == 1 ? kNrpe4QueryBuffer : n + 1;
  int header = version == 2 ? 10 : kNrpe4Header;
  String packet;
  packet.SetLength(version == 2 ? kNrpePacketSize : header + buffer);  // zero-filled
  char* p = packet.Data();
  Put16(p, static_cast<unsigned>(version));
  Put16(p + 2, static_cast<unsigned>(type));
  Put16(p + 8, static_cast<unsigned>(result));
  if (version != 2) Put32(p + 12, static_cast<uint32_t>(buffer));
  memcpy(p + header, text.Data(), static_cast<size_t>(n));
  Put32(p + 4, NrpeCrc32(p, packet.Length()));
  return packet;
}

int CheckNrpeAnswer(const char* data, int n) {
  if (data == nullptr || n < 10) return 0;
  unsigned version = Get16(data);
  if (Get16(data + 2) != 2 || Get16(data + 8) != 0) return 0;
  if (version == 2) {
    if (n != kNrpePacketSize) return 0;
  } else if (version == 3 || version == 4) {
    // Later versions carry the buffer length after the fields.
    if (n < kNrpe4Header || static_cast<uint64_t>(Get32(data + 12)) + kNrpe4Header !=
                                static_cast<uint64_t>(n))
      return 0;
  } else {
    return 0;
  }
  // The CRC covers the whole packet with its own field zero.
  String copy;
  copy.CopyData(data, n);
  Put32(copy.Data() + 4, 0);
  return NrpeCrc32(copy.Data(), n) == Get32(data + 4) ? 1 : 0;
}

int OrvloadMain(int argc, char** argv, FILE* out, FILE* err, TLoadLayerFactory make_tls) {
  TLoadOptions o;
  String problem;
  int rc = ParseLoadArgs(argc, argv, o, problem);
  if (rc == -1) {
    fputs(problem.CStr(), out);
    return 0;
  }
  if (rc != 0) {
    fprintf(err, "%s\n%s", problem.CStr(), kUsage);
    return 2;
  }
  TRun run;
  run.o = &o;
  if (!ResolveHost(o.host, o.port, run.addr, problem)) {
    fprintf(err, "orvload: %s\n", problem.CStr());
    return 2;
  }
  if (o.hold > 0) return HoldConnections(o, run.addr, out, err);
  if (o.psk_identity.Length() > 0) {
    if (make_tls == nullptr) {
      fprintf(err, "orvload: this build has no TLS; use orvload_tls\n");
      return 2;
    }
    run.layer.reset(make_tls(o, problem));
    if (!run.layer) {
      fprintf(err, "orvload: %s\n", problem.CStr());
      return 2;
    }
  }

  switch (o.proto) {
    case kLoadOrv:
      Twofish_initialise();
      run.password_proof = EncodePswd(o.password);
      run.password_key.reset(new TPacketKey(o.password));
      run.request_text =
          BuildRequestText(o.command, o.params.data(), static_cast<int>(o.params.size()));
      break;
    case kLoadRaw:
      run.plain_request = o.command + '\n';
      break;
    case kLoadZbx:
      run.plain_request = BuildZbxRequest(o.command);
      break;
    case kLoadNrpe:
    case kLoadNrpe2: {
      String text = o.command;
      for (const String& p : o.params) text += String("!") + p;
      run.plain_request = BuildNrpeQuery(o.proto == kLoadNrpe ? 4 : 2, text);
      break;
    }
  }

  long long cpu_before = o.cpu_pid ? ProcessTreeCpuMicros(o.cpu_pid) : -1;
  long long own_before = OwnCpuMicros();
  auto start = Clock::now();
  run.deadline = start + std::chrono::microseconds(static_cast<long long>(o.seconds * 1e6));
  std::vector<std::thread> threads;
  for (int i = 0; i < o.clients; ++i) threads.emplace_back(Client, std::ref(run), i);
  for (std::thread& t : threads) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  long long cpu_after = o.cpu_pid ? ProcessTreeCpuMicros(o.cpu_pid) : -1;
  long long own_after = OwnCpuMicros();

  long ok = static_cast<long>(run.latencies.size());
  uint32_t p50 = Percentile(run.latencies, 50);
  uint32_t p99 = Percentile(run.latencies, 99);
  static const char* const kNames[] = {"orv", "raw", "zbx", "nrpe", "nrpe2"};
  fprintf(out,
          "orvload proto=%s clients=%d seconds=%.2f requests=%ld errors=%ld rps=%.1f "
          "p50_ms=%.3f p99_ms=%.3f",
          kNames[o.proto], o.clients, elapsed, ok, run.errors, elapsed > 0 ? ok / elapsed : 0.0,
          p50 / 1000.0, p99 / 1000.0);
  if (o.proto == kLoadOrv)
    fprintf(out, " cipher_bytes=%.1f", ok > 0 ? static_cast<double>(run.cipher_bytes) / ok : 0.0);
  auto per_exchange = [&](long long before, long long after) {
    return ok + run.errors > 0
               ? static_cast<double>(after - before) / static_cast<double>(ok + run.errors)
               : 0.0;
  };
  if (o.cpu_pid) {
    if (cpu_before < 0 || cpu_after < 0)
      fprintf(out, " cpu_us_per_req=NA");
    else
      fprintf(out, " cpu_us_per_req=%.1f", per_exchange(cpu_before, cpu_after));
  }
  if (own_before >= 0 && own_after >= 0)
    fprintf(out, " client_cpu_us_per_req=%.1f", per_exchange(own_before, own_after));
  fputc('\n', out);
  fflush(out);
  if (run.errors > 0) fprintf(err, "orvload: first error: %s\n", run.first_error.CStr());
  return run.errors > 0 || ok == 0 ? 1 : 0;
}
