// Fuzzes parameter access on a decrypted request text: line counting, the
// lines themselves (trimmed and not) and the "name = value" lookup.
//
// Input: the request text as it comes out of decryption.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  VQRequest request;
  request.CopyData(reinterpret_cast<const char*>(data), static_cast<int>(size));

  const int count = request.GetParamsCount();
  int total = 0;  // bytes of all untrimmed lines plus their line feeds
  for (int line = 1; line <= count + 1; ++line) {
    String raw = request.GetParam(line, 0);
    String trimmed = request.GetParam(line, 1);
    if (trimmed.Length() > raw.Length()) std::abort();
    if (raw.Pos('\n') != 0) std::abort();
    total += raw.Length() + (line <= count ? 1 : 0);
  }
  // The lines and their line feeds make up the whole text.
  if (total != request.Length()) std::abort();
  if (request.GetParam(count + 2, 0).Length() != 0) std::abort();
  if (request.GetParam(-5, 0) != request.GetParam(1, 0)) std::abort();

  // Look up every name the text itself offers, and a few fixed ones.
  for (int line = 1; line <= count && line <= 32; ++line) {
    String text = request.GetParam(line, 1);
    int eq = text.Pos('=');
    if (eq == 0) continue;
    String name = text.Copy(1, eq - 1).Trim();
    String value = request.GetNamedParam(name.CStr());
    if (value.Length() > request.Length()) std::abort();
  }
  request.GetNamedParam("");
  request.GetNamedParam("password");
  request.GetNamedParam(nullptr);
  return 0;
}
