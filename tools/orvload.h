// orvload, a load generator for the agent and for comparable monitoring
// agents on this host:
//   orvload -p PORT [-H host] [-c clients] [-t seconds] [-P password]
//           [--proto orv|raw|zbx|nrpe|nrpe2] [--cpu-pid PID] [--timeout ms]
//           [--expect TEXT] [--requests N] [--psk-identity ID --psk-file F]
//           COMMAND [PARAM ...]
//   orvload -p PORT [-H host] [-t seconds] --hold N
// Each of the clients (one thread each) repeats whole exchanges for the given
// time: connect, send one request, read the answer until the peer closes,
// close. At the end it prints one line of key=value figures: requests, errors,
// requests per second, the 50th and 99th percentile of the exchange time, the
// average bytes that went through the packet cipher per request, and, with
// --cpu-pid, the CPU time the server process (with its children) spent per
// request, and the load tool's own CPU time per request (the client's share
// of each exchange, which shares the machine's cores). --hold opens N connections, sends nothing, keeps them open for the
// given time and closes them, to look at the cost of idle connections.
//
// Protocols:
//   orv   the agent's encrypted request packet; the answer must decrypt to a
//         reply that starts with the --expect text (default "200").
//   raw   COMMAND and a line feed as plain bytes; any answer counts.
//   zbx   a passive check in the simple header framing ("ZBXD", flag 1,
//         little-endian 64-bit length, the key); the answer must be framed
//         the same way and must not be the "not supported" answer.
//   nrpe  the query packet the stock query client sends (version 4: a 16-byte
//         header with the buffer length, then a 1020-byte buffer; CRC-32 over
//         the whole packet) without TLS; the answer must be a response packet
//         with a good CRC and result 0.
//   nrpe2 the same query in the older fixed version 2 packet (1036 bytes).
//
// With --psk-identity and --psk-file every exchange runs inside its own TLS
// session with that pre-shared key (the key file holds it in hex); only a
// program that hands OrvloadMain a TLS layer can do that (orvload_tls).
//
// Thread safety: the functions below are pure, apart from OrvloadMain, which
// runs its own threads and joins them before it returns.
#ifndef ORV_TOOLS_ORVLOAD_H_
#define ORV_TOOLS_ORVLOAD_H_

#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/bytestring.h"

enum TLoadProtocol { kLoadOrv, kLoadRaw, kLoadZbx, kLoadNrpe, kLoadNrpe2 };

struct TLoadOptions {
  String host = "127.0.0.1";
  int port = 0;
  int clients = 1;
  double seconds = 5;
  bool have_password = false;
  String password;
  TLoadProtocol proto = kLoadOrv;
  int cpu_pid = 0;        // 0: no CPU figure
  int timeout_ms = 5000;  // bound of every connect, send and receive
  String expect = "200";  // orv: the reply must start with this
  long max_requests = 0;  // 0: only the time bounds the run
  int hold = 0;           // > 0: idle-connection mode
  String psk_identity;    // both set: every exchange inside TLS with this key
  String psk_file;
  String command;
  std::vector<String> params;
};

// Parses the command line (argv[0] is the program). Returns 0 to go on, -1
// when help was asked for (usage in err), 2 on a usage error (reason in err).
int ParseLoadArgs(int argc, const char* const* argv, TLoadOptions& o, String& err);

// The nearest-rank percentile p (0 < p <= 100) of the samples, which are
// sorted in place; 0 for no samples.
uint32_t Percentile(std::vector<uint32_t>& samples, double p);

// From the text of /proc/PID/stat: the parent pid and the CPU ticks of the
// process and of its waited-for children (utime + stime + cutime + cstime).
// False when the text is not in that form.
bool ParseProcStatCpu(const char* text, long& ppid, unsigned long long& ticks);

// CPU microseconds of pid and of all its live descendants (each with its
// waited-for children); -1 when pid does not exist.
long long ProcessTreeCpuMicros(int pid);

// The request bytes of one passive check.
String BuildZbxRequest(const String& key);
// 1 when answer is a whole framed answer that is not "ZBX_NOTSUPPORTED".
int CheckZbxAnswer(const char* data, int n);
// The usual CRC-32 (reflected 0xEDB88320, register and result inverted).
uint32_t NrpeCrc32(const char* data, int n);
// A packet (type 1 query, 2 response) of version 2 (fixed 1024-byte buffer)
// or 4 (buffer length in the header; a query's buffer is 1020 bytes as the
// stock client sends it, a response's holds the text and its terminator),
// with its CRC; text is cut to 1023 bytes.
String BuildNrpePacket(int version, int type, int result, const String& text);
inline String BuildNrpeQuery(int version, const String& text) {
  return BuildNrpePacket(version, 1, 0, text);
}
// 1 when answer is a whole response packet of version 2, 3 or 4 with a good
// CRC and result code 0.
int CheckNrpeAnswer(const char* data, int n);

// A layer that carries each exchange on a connected socket: sends request,
// reads the answer until the peer closes. Called from every client thread at
// once.
class TLoadLayer {
 public:
  virtual ~TLoadLayer() = default;
  virtual bool Exchange(int fd, const String& request, String& answer, String& err) const = 0;
};
// Builds the layer for the parsed options; null with the reason in err.
using TLoadLayerFactory = TLoadLayer* (*)(const TLoadOptions& o, String& err);

// The tool's body. make_tls: the TLS layer, null in a build without one.
int OrvloadMain(int argc, char** argv, FILE* out, FILE* err, TLoadLayerFactory make_tls = nullptr);

#endif  // ORV_TOOLS_ORVLOAD_H_
