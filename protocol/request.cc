#include "protocol/request.h"

#include <cstring>

namespace {

uint32_t ReadLE(const char* p, int width) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  uint32_t n = 0;
  for (int i = width - 1; i >= 0; --i) n = (n << 8) | u[i];
  return n;
}

// Constant-time equality of two byte runs of the same length, so that the
// time a refusal takes says nothing about how much of a proof was right.
bool SameBytes(const char* a, const char* b, int n) {
  unsigned char diff = 0;
  for (int i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// The proof of `size` bytes at `at` equals the password's proof.
bool ProofMatches(const char* at, uint64_t size, const String& proof) {
  return size == static_cast<uint64_t>(proof.Length()) && SameBytes(at, proof.Data(), proof.Length());
}

}  // namespace

VQRequest::VQRequest() { session_key_.MarkSecret(); }

VQRequest& VQRequest::operator=(const String& text) {
  String::operator=(text);
  return *this;
}

VQRequest& VQRequest::operator=(const char* text) {
  String::operator=(text);
  return *this;
}

int VQRequest::WholePacket() const {
  if (Length() < SIZELEN_MINIMUM) return 0;
  uint64_t announced = ReadLE(Data(), SIZELEN_PACKET);
  return announced + SIZELEN_PACKET <= static_cast<uint64_t>(Length()) ? 1 : 0;
}

bool VQRequest::Oversized() const {
  if (Length() < SIZELEN_PACKET) return false;
  return ReadLE(Data(), SIZELEN_PACKET) > kMaxPacketLength;
}

int VQRequest::ProofSoFar(const TPasswordCredential& password, int* more) const {
  const int have = Length();
  const char* p = Data();
  const int proof_at = OFFSET_PSWD + SIZELEN_PSWD - 1;
  if (have > OFFSET_AUTH - 1 && static_cast<unsigned char>(p[OFFSET_AUTH - 1]) != kPacketSignature[0])
    return -1;
  if (have > OFFSET_AUTH && static_cast<unsigned char>(p[OFFSET_AUTH]) != kPacketSignature[1])
    return -1;
  if (have < proof_at) {
    // A proof of another size is refused once its size field is in, so the
    // bytes up to the end of a proof of the right size may all be awaited.
    *more = proof_at + password.Proof.Length() - have;
    return 0;
  }
  uint64_t pswd = ReadLE(p + OFFSET_PSWD - 1, SIZELEN_PSWD);
  if (pswd != static_cast<uint64_t>(password.Proof.Length())) return -1;
  if (have < proof_at + static_cast<int>(pswd)) {
    *more = proof_at + static_cast<int>(pswd) - have;
    return 0;
  }
  *more = 0;
  return ProofMatches(p + proof_at, pswd, password.Proof) ? 1 : -1;
}

int VQRequest::ParseInitRequest(const String& password, in_addr) {
  return ParseInitRequest(TPasswordCredential(password));
}

int VQRequest::ParseInitRequest(const TPasswordCredential& password, TParseReport* report) {
  TParseReport unused;
  TParseReport& r = report ? *report : unused;
  r = TParseReport();
  auto note = [&r](uint64_t size) { r.sizes[r.sizes_read++] = static_cast<int>(size); };
  session_key_ = "";
  encrypted_key_ = "";
  session_cipher_.reset();
  const int received = Length();
  note(static_cast<uint64_t>(received));
  if (received < SIZELEN_MINIMUM) return 0;

  // Every size is checked against the bytes received before anything behind
  // it is read; 64-bit sums keep hostile sizes from wrapping around.
  const char* p = Data();
  uint64_t packet = ReadLE(p, SIZELEN_PACKET);
  note(packet);
  if (packet + SIZELEN_PACKET != static_cast<uint64_t>(received)) return 0;

  uint64_t pswd = ReadLE(p + OFFSET_PSWD - 1, SIZELEN_PSWD);
  note(pswd);
  if (SIZELEN_MINIMUM + pswd > packet + SIZELEN_PACKET) return 0;

  uint64_t key = ReadLE(p + OFFSET_KEY - 1 + pswd, SIZELEN_KEY);
  note(key);
  if (SIZELEN_MINIMUM + pswd + key > packet + SIZELEN_PACKET) return 0;

  uint64_t req = ReadLE(p + OFFSET_REQUEST - 1 + pswd + key, SIZELEN_REQUEST);
  note(req);
  if (SIZELEN_MINIMUM + pswd + key + req > packet + SIZELEN_PACKET) return 0;
  if (static_cast<unsigned char>(p[OFFSET_AUTH - 1]) != kPacketSignature[0] ||
      static_cast<unsigned char>(p[OFFSET_AUTH]) != kPacketSignature[1])
    return 0;

  if (!ProofMatches(p + OFFSET_PSWD + SIZELEN_PSWD - 1, pswd, password.Proof)) {
    r.outcome = TParseReport::kWrongPassword;
    return 0;
  }

  // Decrypted straight out of the packet; the packet's own bytes are given up
  // only once the text stands in a buffer of its own.
  const char* keyat = p + OFFSET_KEY + SIZELEN_KEY - 1 + pswd;
  String enckey;
  enckey.CopyData(keyat, static_cast<int>(key));
  String sessionkey;
  sessionkey.MarkSecret();
  sessionkey.SetLength(static_cast<int>(key));
  password.Key.Decrypt(keyat, static_cast<int>(key), sessionkey.Data());
  auto cipher = std::make_shared<const TPacketKey>(sessionkey);

  String text;
  text.MarkSecret();
  text.SetLength(static_cast<int>(req));
  cipher->Decrypt(p + OFFSET_REQUEST + SIZELEN_REQUEST - 1 + pswd + key, static_cast<int>(req),
                  text.Data());

  session_key_ = std::move(sessionkey);
  encrypted_key_ = std::move(enckey);
  session_cipher_ = std::move(cipher);
  String::operator=(std::move(text));
  r.outcome = TParseReport::kAccepted;
  return 1;
}

int VQRequest::GetParamsCount() const {
  int count = 0;
  for (int i = 0; i < Length(); ++i)
    if (Data()[i] == '\n') ++count;
  return count;
}

String VQRequest::GetParam(int line, int trim) const {
  if (line < 1) line = 1;
  const char* p = Data();
  const int n = Length();
  int begin = 0;
  for (int current = 1; current < line; ++current) {
    const void* lf = std::memchr(p + begin, '\n', static_cast<size_t>(n - begin));
    if (!lf) return String();
    begin = static_cast<int>(static_cast<const char*>(lf) - p) + 1;
  }
  if (begin >= n) return String();
  const void* lf = std::memchr(p + begin, '\n', static_cast<size_t>(n - begin));
  int end = lf ? static_cast<int>(static_cast<const char*>(lf) - p) : n;
  String value;
  value.CopyData(p + begin, end - begin);
  if (trim) value.Trim();
  return value;
}

TStrList VQRequest::GetParams(int trim) const {
  TStrList lines;
  const char* p = Data();
  const int n = Length();
  int begin = 0;
  while (begin < n) {
    const void* lf = std::memchr(p + begin, '\n', static_cast<size_t>(n - begin));
    if (!lf) break;  // the text after the last line feed is no line
    const int end = static_cast<int>(static_cast<const char*>(lf) - p);
    String value;
    value.CopyData(p + begin, end - begin);
    if (trim) value.Trim();
    lines.Add(value);
    begin = end + 1;
  }
  return lines;
}

String VQRequest::GetNamedParam(const char* name) const {
  if (name == nullptr) return String();
  const TStrList lines = GetParams(1);
  for (int i = 0; i < lines.Count(); ++i) {
    const String line = lines[i];
    int eq = line.Pos('=');
    if (eq == 0) continue;
    String key = line.Copy(1, eq - 1);
    if (key.Trim() == name) return line.Copy(eq + 1, line.Length() - eq).Trim();
  }
  return String();
}
