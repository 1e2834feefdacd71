// Address lists: the texts of single IPv4 addresses and address ranges that
// say which clients may manage or upgrade the agent.
//
// Syntax: only the characters 0-9 "." "-" "," carry meaning; every other byte
// is dropped before the list is read. Items are separated by ","; an item is
// one address or two joined by "-" (either order, both ends included). An
// address is what inet_addr accepts (one to four dot-separated parts, a part
// with a leading 0 read as octal); 255.255.255.255 and unreadable text are
// invalid. An invalid first address, or an address 0.0.0.0, ends the list.
//
// Thread safety: pure functions of their arguments; callable from any thread.
#ifndef ORV_AGENT_ADDRLIST_H_
#define ORV_AGENT_ADDRLIST_H_

#include <cstdint>

#include "base/bytestring.h"

// 1 when peer (network byte order) is in list, else 0. err is emptied, then
// describes the first problem found in the list ("Invalid IP address (...)
// specified" or "Illegal character (.) specified"); it never changes the
// result.
int IPAllowed(uint32_t peer, const String& list, String& err);

// Reads the first item of the working list (already stripped to list
// characters) and removes it, up to and including the "," or "-" that ended
// it. from and to receive the addresses in host byte order; to is 0 for a
// single address; from 0 means no item was read (list empty, no digit left,
// or an invalid first address, in which case the list is left as it was).
// err is set only when an address is invalid and otherwise left alone.
void getitem(String& list, uint32_t& from, uint32_t& to, String& err);

// 1 for "0"-"9", ".", "-", ",", else 0.
int islistsetchar(char c);

#endif  // ORV_AGENT_ADDRLIST_H_
