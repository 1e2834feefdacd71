// orvload_tls: orvload with a TLS layer, for peers that encrypt their checks
// with a pre-shared key (--psk-identity, --psk-file). Every exchange makes a
// full handshake, as a monitoring server that connects once per check does.
// Built only beside the benchmarks, and only where OpenSSL is installed: the
// agent and its other tools need no TLS library.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/oserror.h"
#include "tools/orvload.h"

namespace {

// The identity and the key every session offers; set once before the
// client threads start, read-only afterwards.
std::string g_identity;
std::string g_key;

unsigned int GivePsk(SSL*, const char*, char* identity, unsigned int max_identity,
                     unsigned char* psk, unsigned int max_psk) {
  if (g_identity.size() + 1 > max_identity || g_key.size() > max_psk) return 0;
  memcpy(identity, g_identity.c_str(), g_identity.size() + 1);
  memcpy(psk, g_key.data(), g_key.size());
  return static_cast<unsigned int>(g_key.size());
}

String SslError(const char* what) {
  char text[256];
  unsigned long e = ERR_get_error();
  ERR_error_string_n(e, text, sizeof text);
  ERR_clear_error();
  return String(what) + ": " + (e ? text : GetErrorStr(errno).CStr());
}

bool HexKey(const String& text, std::string& key) {
  key.clear();
  std::string hex;
  for (int i = 1; i <= text.Length(); ++i) {
    char c = text[i];
    if (c == '\n' || c == '\r' || c == ' ') continue;
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
    hex += c;
  }
  if (hex.empty() || hex.size() % 2) return false;
  for (size_t i = 0; i < hex.size(); i += 2)
    key += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return true;
}

class TPskLayer : public TLoadLayer {
 public:
  explicit TPskLayer(SSL_CTX* ctx) : ctx_(ctx) {}
  ~TPskLayer() override { SSL_CTX_free(ctx_); }

  bool Exchange(int fd, const String& request, String& answer, String& err) const override {
    SSL* ssl = SSL_new(ctx_);
    if (ssl == nullptr) {
      err = SslError("SSL_new");
      return false;
    }
    bool ok = Run(ssl, fd, request, answer, err);
    SSL_free(ssl);
    return ok;
  }

 private:
  static bool Run(SSL* ssl, int fd, const String& request, String& answer, String& err) {
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) {
      err = SslError("handshake");
      return false;
    }
    if (SSL_write(ssl, request.Data(), request.Length()) != request.Length()) {
      err = SslError("send");
      return false;
    }
    char block[4096];
    for (;;) {
      int got = SSL_read(ssl, block, sizeof block);
      if (got > 0) {
        if (answer.Length() + got > (1 << 20)) {
          err = "answer too large";
          return false;
        }
        answer.AddData(block, got);
        continue;
      }
      int why = SSL_get_error(ssl, got);
      // A peer that closes without a close-notify still gave its answer.
      if (why == SSL_ERROR_ZERO_RETURN || (why == SSL_ERROR_SYSCALL && answer.Length() > 0)) {
        ERR_clear_error();
        return true;
      }
      err = SslError("receive");
      return false;
    }
  }

  SSL_CTX* ctx_;
};

TLoadLayer* MakePskLayer(const TLoadOptions& o, String& err) {
  String text;
  FILE* f = fopen(String(o.psk_file).CStr(), "r");
  if (f == nullptr) {
    err = String("cannot read ") + o.psk_file + ": " + GetErrorStr(errno);
    return nullptr;
  }
  char buf[1024];
  size_t n = fread(buf, 1, sizeof buf, f);
  fclose(f);
  text.CopyData(buf, static_cast<int>(n));
  if (!HexKey(text, g_key)) {
    err = String("no hex key in ") + o.psk_file;
    return nullptr;
  }
  g_identity = String(o.psk_identity).CStr();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    err = SslError("SSL_CTX_new");
    return nullptr;
  }
  SSL_CTX_set_psk_client_callback(ctx, GivePsk);
  // Key exchanges with the pre-shared key only, as the peers' own clients
  // offer them; no certificates are involved. The server picks.
  SSL_CTX_set_cipher_list(ctx, "ECDHEPSK:PSK");
  return new TPskLayer(ctx);
}

}  // namespace

int main(int argc, char** argv) {
  return OrvloadMain(argc, argv, stdout, stderr, MakePskLayer);
}
