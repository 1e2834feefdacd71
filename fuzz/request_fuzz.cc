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
  const TStrList raw_lines = request.GetParams(0);
  const TStrList trimmed_lines = request.GetParams(1);
  if (raw_lines.Count() != count || trimmed_lines.Count() != count) std::abort();
  int total = 0;  // bytes of all lines plus their line feeds
  for (int i = 0; i < count; ++i) {
    const String raw = raw_lines[i];
    if (raw.Pos('\n') != 0 || trimmed_lines[i].Length() > raw.Length()) std::abort();
    total += raw.Length() + 1;
  }
  // The lines, their line feeds and what follows the last one make up the text.
  total += request.GetParam(count + 1, 0).Length();
  if (total != request.Length()) std::abort();
  // Line by line access gives the same lines (the first few: it rescans).
  for (int i = 0; i < count && i < 16; ++i) {
    if (request.GetParam(i + 1, 0) != raw_lines[i]) std::abort();
    if (request.GetParam(i + 1, 1) != trimmed_lines[i]) std::abort();
  }
  if (request.GetParam(count + 2, 0).Length() != 0) std::abort();
  if (request.GetParam(-5, 0) != request.GetParam(1, 0)) std::abort();

  // Look up every name the text itself offers, and a few fixed ones.
  for (int i = 0; i < count && i < 32; ++i) {
    String text = trimmed_lines[i];
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
