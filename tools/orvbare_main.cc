// orvbare: the bare bones of a connection-per-request server, as a ceiling
// for load measurements. It listens on 127.0.0.1:PORT; each connection is
// read until a line feed or 1024 bytes arrive, answered with a fixed reply of
// REPLY_BYTES (default 600) and closed. No cipher, no parsing, no logging.
//   orvbare [--pool N] PORT [REPLY_BYTES]
// Without --pool it accepts on one thread and starts one detached thread per
// connection (with the agent's session stack size). With --pool, N threads
// started beforehand each block in accept and serve what they accepted: no
// hand-over and no thread start per request.
// It runs until it is sent SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/net.h"
#include "base/oserror.h"

namespace {

std::string g_reply;

void ServeOne(int fd) {
  char buf[1024];
  size_t have = 0;
  while (have < sizeof buf) {
    ssize_t r = recv(fd, buf + have, sizeof buf - have, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    have += static_cast<size_t>(r);
    if (memchr(buf, '\n', have) != nullptr) break;
  }
  if (have > 0) SendFull(fd, g_reply.data(), g_reply.size());
  shutdown(fd, SHUT_RDWR);
  close(fd);
}

void* Serve(void* arg) {
  ServeOne(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
  return nullptr;
}

// Returns only on a fatal accept error.
int AcceptLoop(int l, bool thread_per_connection, const pthread_attr_t* attr) {
  for (;;) {
    int fd = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE) continue;
      fprintf(stderr, "orvbare: accept: %s\n", strerror(errno));
      return 1;
    }
    if (!thread_per_connection) {
      ServeOne(fd);
      continue;
    }
    pthread_t t;
    if (pthread_create(&t, attr, Serve, reinterpret_cast<void*>(static_cast<intptr_t>(fd))) != 0)
      close(fd);
  }
}

int g_listener = -1;

void* PoolWorker(void*) {
  exit(AcceptLoop(g_listener, false, nullptr));
}

}  // namespace

int main(int argc, char** argv) {
  int pool = 0;
  if (argc >= 3 && strcmp(argv[1], "--pool") == 0) {
    pool = atoi(argv[2]);
    argc -= 2;
    argv += 2;
    if (pool < 1 || pool > 1024) {
      fprintf(stderr, "orvbare: invalid pool size\n");
      return 2;
    }
  }
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: orvbare [--pool N] PORT [REPLY_BYTES]\n");
    return 2;
  }
  int port = atoi(argv[1]);
  long size = argc == 3 ? atol(argv[2]) : 600;
  if (!IsValidPort(port) || size < 1 || size > (1L << 20)) {
    fprintf(stderr, "orvbare: invalid port or reply size\n");
    return 2;
  }
  g_reply.assign(static_cast<size_t>(size), 'r');
  g_reply.back() = '\r';
  signal(SIGPIPE, SIG_IGN);

  int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (l < 0 || bind(l, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0 ||
      listen(l, SOMAXCONN) != 0) {
    fprintf(stderr, "orvbare: cannot listen on %d: %s\n", port, strerror(errno));
    return 1;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, 512 * 1024);
  if (pool == 0) return AcceptLoop(l, true, &attr);
  g_listener = l;
  for (int i = 1; i < pool; ++i) {
    pthread_t t;
    if (pthread_create(&t, &attr, PoolWorker, nullptr) != 0) {
      fprintf(stderr, "orvbare: cannot start the pool\n");
      return 1;
    }
  }
  return AcceptLoop(l, false, nullptr);
}
