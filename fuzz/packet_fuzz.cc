// Fuzzes the acceptance of a raw request packet: the framing checks, the
// password proof and the decryption of the session key and the request text,
// then the parameter access on whatever text comes out.
//
// The seeds are whole packets built for kPassword, so mutations start from
// packets that get past the proof and reach the decryption.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/twofish.h"
#include "protocol/packet.h"
#include "protocol/request.h"

namespace {

const char kPassword[] = "fuzz-password";

}  // namespace

// The cipher tables are built once, as the agent does at start-up.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Twofish_initialise();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  static const TPasswordCredential credential{String(kPassword)};

  VQRequest request;
  request.CopyData(reinterpret_cast<const char*>(data), static_cast<int>(size));
  const int whole = request.WholePacket();
  const bool oversized = request.Oversized();
  TParseReport report;
  const int accepted = request.ParseInitRequest(credential, &report);
  if ((accepted == 1) != (report.outcome == TParseReport::kAccepted)) std::abort();
  if (report.sizes_read < 1 || report.sizes_read > TParseReport::kSizes) std::abort();

  // A packet can only be accepted when it is whole and within bounds, and an
  // accepted one always leaves its session behind.
  if (accepted && (!whole || oversized)) std::abort();
  if (accepted != (request.GetSessionCipher() != nullptr)) std::abort();
  if (!accepted) return 0;

  const int count = request.GetParamsCount();
  if (request.GetParams(1).Count() != count) std::abort();
  for (int line = 0; line <= count + 1 && line < 64; ++line) {
    String param = request.GetParam(line, line & 1);
    if (param.Length() > request.Length()) std::abort();
  }
  request.GetNamedParam("name");
  return 0;
}
