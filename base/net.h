// Network primitives: a thin IPv4-only layer over BSD sockets used by the
// listener, the TCP and UDP tests and the network actions.
//
// Result codes shared by the connect and transfer functions are the values
// of TNetResult below; a transfer function returns the number of bytes sent
// or received (above 0) instead when it succeeds. Error texts are cleared at the start of every call and filled on failure.
// Nothing here throws.
//
// Host texts are zero-terminated; a text that is a dotted IPv4 address is
// used as it is and never looked up. Addresses passed as integers are IPv4
// addresses in network byte order.
//
// Thread safety: every function may run in many threads at once; each call
// uses only its own sockets and the caller's buffers. The C library's address
// formatting and the host-name resolver are serialised by `iplib_mutex`.
// A TSyncSocket object belongs to one thread at a time.
#ifndef ORV_BASE_NET_H_
#define ORV_BASE_NET_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <mutex>

#include "base/bytestring.h"

// Outcomes of the connect and transfer functions. They travel as int, since
// a transfer returns its byte count in the same value, and servers see the
// number itself in the reply of a failed network test.
enum TNetResult : int {
  kNetConnected = 1,       // connect functions
  kNetTimeout = 0,         // "Timeout", or a receive of 0 bytes (empty text)
  kNetUnresolved = -2,     // "Cannot resolve server name to IP address", or
                           // "Name resolution error: unknown address structure"
  kNetNoSocket = -3,       // socket not created or not made non-blocking (the
                           // system's message, or "ioctl error - " and it)
  kNetSendFailed = -4,     // the system's message
  kNetReceiveFailed = -5,  // the system's message
  kNetConnectFailed = -6,  // the system's message
};

// The highest TCP or UDP port number.
constexpr int kMaxPort = 65535;

// A port a socket can listen on or reach: 1 to kMaxPort.
inline bool IsValidPort(long long port) { return port >= 1 && port <= kMaxPort; }

// Process-wide lock held around every use of inet_ntoa and of the host-name
// resolver. It may be taken while `showmutex` is held, never the other way
// round.
extern std::mutex iplib_mutex;

// Dotted-decimal text of addr into buf, cut to size - 1 characters and
// zero-terminated. Returns buf. A null buf or a size below 1 is left alone.
char* inet_ntoa_safe(struct in_addr addr, char* buf, int size);

// What the resolver found for a name: the address family, the length in bytes
// of the first address and that address (copied while the lock was held).
struct ResolvedHost {
  int addrtype = 0;
  int addrlen = 0;
  unsigned char addr[16] = {};
};

// Resolves name to its IPv4 addresses under `iplib_mutex`. Returns 0 and fills
// result on success; -1 with *err (if not null) set to the resolver's error
// code on failure.
int ResolveHostIPv4(const char* name, ResolvedHost* result, int* err);

// Address of host: a dotted address as it is, anything else resolved by name.
// Returns 1 with addr set, or -2 with err set.
int GetHostIP(const char* host, uint32_t& addr, String& err);

// This host's own IPv4 address (its host name resolved), or 0.
uint32_t GetMyIP();

// Dotted-decimal text of addr.
String IP2String(uint32_t addr);

// Opens a listening TCP socket on host (null or empty: all local addresses)
// and port, with SO_REUSEADDR and a backlog of 512. Returns the handle and
// stores the bound address length in addrlen; returns 0 with err set on
// failure ("socket() or bind() error", "listen() error" or the resolver's
// text).
int TcpListen(const char* host, int port, socklen_t& addrlen, String& err);
int TcpListen(const char* host, const char* service, socklen_t& addrlen, String& err);

// Connects a new TCP socket to host:port. timeout_ms 0 (or below) blocks;
// above 0 the socket is made non-blocking, the connect is bounded by the
// time-out and the socket stays non-blocking. Returns 1, 0 (time-out), -2, -3
// or -6. handle receives the socket whenever one was created, also on
// failure; the caller closes it. -1 when none was created.
int PerformConnect(int& handle, const char* host, int port, int timeout_ms, String& err);

// One TCP exchange: connect, one send of sendlen bytes (when above 0), and,
// when recvcap is above 0, one receive of at most recvcap bytes waited for at
// most timeout_ms. Returns the bytes received, 1 when nothing was to be
// received, or a code of 0 or below. The socket is closed before returning.
int SendReceiveTCPPacket(const char* host, int port, int timeout_ms, const char* sendbuf,
                         char* recvbuf, int sendlen, int recvcap, String& err);

// One UDP exchange: one datagram of sendlen bytes (when above 0) and, when
// recvcap is above 0, one datagram of at most recvcap bytes waited for at most
// timeout_s whole seconds. Returns the bytes received, else the bytes sent,
// or a code of 0 or below.
int SendReceiveUDPPacket(const char* host, int port, int timeout_s, const char* sendbuf,
                         char* recvbuf, int sendlen, int recvcap, String& err);

// A blocking client socket. Kind 1 is TCP; any other kind is UDP, for which
// Connect only fixes the peer. Every operation empties LastError first and
// fills it on failure. The destructor disconnects. Not copyable.
class TSyncSocket {
 public:
  explicit TSyncSocket(int kind);
  ~TSyncSocket();
  TSyncSocket(const TSyncSocket&) = delete;
  TSyncSocket& operator=(const TSyncSocket&) = delete;

  // Returns 1 or a negative code. A socket already open is closed first.
  int Connect(const char* host, int port, int timeout_ms);
  void Disconnect();
  // SendBuf of the string's bytes.
  int SendString(const String& s, int flags);
  // One send; bytes sent, 0 for a length below 1, or -4. flags is ignored.
  int SendBuf(const char* buf, int len, int flags);

  int Handle = -1;
  int Kind;
  String LastError;
};

#endif  // ORV_BASE_NET_H_
