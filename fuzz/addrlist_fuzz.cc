// Fuzzes the address lists that guard management and upgrades.
//
// Input: four bytes of peer address (network order), then the list text.
// Every message must be one of the two an admin knows. Besides IPAllowed the
// target walks the list item by item with getitem and
// requires every item read to shorten the list, so that no list can keep the
// reader going forever.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agent/addrlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > 4096) return 0;
  uint32_t peer;
  std::memcpy(&peer, data, 4);
  String list;
  list.CopyData(reinterpret_cast<const char*>(data + 4), static_cast<int>(size - 4));

  String err;
  const int allowed = IPAllowed(peer, list, err);
  if (allowed != 0 && allowed != 1) std::abort();
  String again_err;
  if (IPAllowed(peer, list, again_err) != allowed || again_err != err) std::abort();
  // An admin reads only these two messages, with the offending text inside.
  if (err.Length() > 0 && err.Pos("Invalid IP address (") != 1 &&
      err.Pos("Illegal character (") != 1)
    std::abort();

  String work;
  for (int i = 1; i <= list.Length(); ++i)
    if (islistsetchar(list[i])) work += list[i];
  for (int guard = 0; guard <= work.Length() + 1; ++guard) {
    const int before = work.Length();
    uint32_t from = 0;
    uint32_t to = 0;
    String item_err;
    getitem(work, from, to, item_err);
    if (from == 0) break;
    if (work.Length() >= before) std::abort();
  }
  return 0;
}
