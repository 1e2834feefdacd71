#include "agent/addrlist.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

// Random lists (no endless loop, no read past the end, only known messages)
// are the address-list fuzz target's.
namespace {

TEST(AddrListTest, IPAllowed) {
  std::string many;  // the last of 500 items
  for (int i = 1; i <= 500; ++i)
    many += "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + ",";
  struct Row {
    std::string list;
    const char* peer;
    int allowed;
    std::string err;
  } rows[] = {
      {"127.0.0.1", "127.0.0.1", 1, ""},
      {"127.0.0.1", "127.0.0.2", 0, ""},
      {"10.0.0.1-10.0.0.9", "10.0.0.1", 1, ""},
      {"10.0.0.1-10.0.0.9", "10.0.0.9", 1, ""},
      {"10.0.0.1-10.0.0.9", "10.0.0.10", 0, ""},
      {"10.0.0.9-10.0.0.1", "10.0.0.5", 1, ""},  // reversed
      {"10.0.0.9-10.0.0.1", "10.0.0.10", 0, ""},
      {"127.0.0.1-200.0.0.1", "192.168.1.1", 1, ""},  // compared unsigned, in host order
      {"10.0.0.1,192.168.1.7", "192.168.1.7", 1, ""},
      {many, "10.0.2.1", 1, ""},
      {"10.0.0.1 192.168.1.7", "10.0.0.1", 0, "Invalid IP address (10.0.0.1192.168.1.7) specified"},
      {"", "127.0.0.1", 0, ""},
      {".,-.", "127.0.0.1", 0, ""},
      {"10.0.0.999,10.0.0.1", "10.0.0.1", 0, "Invalid IP address (10.0.0.999) specified"},
      {"0.0.0.0,10.0.0.1", "10.0.0.1", 0, ""},  // a zero item ends the scan
      {"10.0.0.1-10.0.0.300", "10.0.0.1", 1, "Invalid IP address (10.0.0.300) specified"},
      {"10.0.0.1-10.0.0.300", "10.0.0.2", 0, "Invalid IP address (10.0.0.300) specified"},
      {"255.255.255.255", "255.255.255.255", 0, "Invalid IP address (255.255.255.255) specified"},
      {"010.0.0.1", "8.0.0.1", 1, ""},  // read as inet_addr reads it: octal
      {"0x7f.1", "7.0.0.1", 1, "Illegal character (x) specified"},
      {"-.,127.0.0.1", "127.0.0.1", 1, ""},
      {"127.0.0.1-", "127.0.0.1", 1, ""},
      {"10.0.0.1-,10.0.0.2", "10.0.0.1", 1, "Invalid IP address () specified"},
      {"10.0.0.1-10.0.0.3-10.0.0.7", "10.0.0.7", 1, ""},
      {"10.0.0.1-10.0.0.3-10.0.0.7", "10.0.0.5", 0, ""},
      {"\t10.0.0.1,\r\n10.0.0.2", "10.0.0.2", 1, "Illegal character (\t) specified"},
      {"10.0.0.1-10.0.0.300,1.2.3.999", "9.9.9.9", 0, "Invalid IP address (10.0.0.300) specified"},
      {std::string("127.0.0.1\0", 10), "127.0.0.1", 1,
       std::string("Illegal character (\0) specified", 31)},
  };
  for (const Row& r : rows) {
    String list, err("stale");
    list.CopyData(r.list.data(), static_cast<int>(r.list.size()));
    EXPECT_EQ(IPAllowed(inet_addr(r.peer), list, err), r.allowed) << r.list.substr(0, 40);
    EXPECT_EQ(err.ToStd(), r.err) << r.list.substr(0, 40);
  }
}

}  // namespace
