#include "agent/addrlist.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Index of the first "," or "-" at or after i, or len.
int ItemEnd(const char* d, int len, int i) {
  while (i < len && d[i] != ',' && d[i] != '-') ++i;
  return i;
}

// Reads n bytes at p as an address. On success stores it in host order and
// returns true; otherwise sets err with the offending text.
bool ReadAddress(const char* p, int n, uint32_t* host_order, String& err) {
  String text;
  text.CopyData(p, n);
  in_addr_t a = ::inet_addr(text.CStr());
  if (a == INADDR_NONE) {
    err = String("Invalid IP address (") + text + ") specified";
    return false;
  }
  *host_order = ntohl(a);
  return true;
}

}  // namespace

int islistsetchar(char c) {
  return IsDigit(c) || c == '.' || c == '-' || c == ',' ? 1 : 0;
}

void getitem(String& list, uint32_t& from, uint32_t& to, String& err) {
  from = 0;
  to = 0;
  const char* d = list.Data();
  const int len = list.Length();
  int start = 0;
  while (start < len && !IsDigit(d[start])) ++start;
  if (start >= len) return;

  const int end1 = ItemEnd(d, len, start);
  uint32_t addr = 0;
  if (!ReadAddress(d + start, end1 - start, &addr, err)) return;
  from = addr;

  int cut = end1;  // index of the byte that ended the item; len at the end
  if (end1 < len - 1 && d[end1] == '-') {
    const int start2 = end1 + 1;
    const int end2 = ItemEnd(d, len, start2);
    if (ReadAddress(d + start2, end2 - start2, &addr, err)) to = addr;
    cut = end2;
  }
  list.Delete(1, std::min(cut + 1, len));
}

int IPAllowed(uint32_t peer, const String& list, String& err) {
  err = "";
  const uint32_t ip = ntohl(peer);

  String work;
  const char* d = list.Data();
  for (int i = 0; i < list.Length(); ++i) {
    if (islistsetchar(d[i])) work += d[i];
  }

  int result = 0;
  for (;;) {
    uint32_t from = 0;
    uint32_t to = 0;
    String item_err;
    getitem(work, from, to, item_err);
    if (err.IsEmpty()) err = item_err;
    if (from == 0) break;
    if (to != 0) {
      result = ip >= std::min(from, to) && ip <= std::max(from, to) ? 1 : 0;
    } else {
      result = ip == from ? 1 : 0;
    }
    if (result) break;
  }

  if (err.IsEmpty()) {
    for (int i = 0; i < list.Length(); ++i) {
      if (!islistsetchar(d[i])) {
        err = String("Illegal character (") + d[i] + ") specified";
        break;
      }
    }
  }
  return result;
}
