#include "agent/addrlist.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

uint32_t Ip(const char* dotted) {
  return inet_addr(dotted);
}

struct AllowCase {
  const char* name;
  std::string list;
  const char* peer;
  int allowed;
  std::string err;
};

const AllowCase kAllowCases[] = {
    {"single exact", "127.0.0.1", "127.0.0.1", 1, ""},
    {"single neighbour", "127.0.0.1", "127.0.0.2", 0, ""},
    {"range low end", "10.0.0.1-10.0.0.9", "10.0.0.1", 1, ""},
    {"range middle", "10.0.0.1-10.0.0.9", "10.0.0.5", 1, ""},
    {"range high end", "10.0.0.1-10.0.0.9", "10.0.0.9", 1, ""},
    {"range above", "10.0.0.1-10.0.0.9", "10.0.0.10", 0, ""},
    {"reversed low end", "10.0.0.9-10.0.0.1", "10.0.0.1", 1, ""},
    {"reversed middle", "10.0.0.9-10.0.0.1", "10.0.0.5", 1, ""},
    {"reversed high end", "10.0.0.9-10.0.0.1", "10.0.0.9", 1, ""},
    {"reversed above", "10.0.0.9-10.0.0.1", "10.0.0.10", 0, ""},
    {"range compares unsigned", "127.0.0.1-200.0.0.1", "192.168.1.1", 1, ""},
    {"second item", "10.0.0.1,192.168.1.7", "192.168.1.7", 1, ""},
    {"comma blank first", "10.0.0.1, 192.168.1.7", "10.0.0.1", 1,
     "Illegal character ( ) specified"},
    {"comma blank second", "10.0.0.1, 192.168.1.7", "192.168.1.7", 1,
     "Illegal character ( ) specified"},
    {"blank only joins", "10.0.0.1 192.168.1.7", "10.0.0.1", 0,
     "Invalid IP address (10.0.0.1192.168.1.7) specified"},
    {"blank only joins second", "10.0.0.1 192.168.1.7", "192.168.1.7", 0,
     "Invalid IP address (10.0.0.1192.168.1.7) specified"},
    {"empty list", "", "127.0.0.1", 0, ""},
    {"no digits", ".,-.", "127.0.0.1", 0, ""},
    {"invalid first ends scan", "10.0.0.999,10.0.0.1", "10.0.0.1", 0,
     "Invalid IP address (10.0.0.999) specified"},
    {"zero item ends scan", "0.0.0.0,10.0.0.1", "10.0.0.1", 0, ""},
    {"invalid second keeps first", "10.0.0.1-10.0.0.300", "10.0.0.1", 1,
     "Invalid IP address (10.0.0.300) specified"},
    {"invalid second no range", "10.0.0.1-10.0.0.300", "10.0.0.2", 0,
     "Invalid IP address (10.0.0.300) specified"},
    {"all ones invalid", "255.255.255.255", "255.255.255.255", 0,
     "Invalid IP address (255.255.255.255) specified"},
    {"octal part", "010.0.0.1", "8.0.0.1", 1, ""},
    {"octal part not decimal", "010.0.0.1", "10.0.0.1", 0, ""},
    {"one part", "2130706433", "127.0.0.1", 1, ""},
    {"two parts", "127.1", "127.0.0.1", 1, ""},
    {"hex prefix loses its x", "0x7f.1", "7.0.0.1", 1, "Illegal character (x) specified"},
    {"leading junk skipped", "-.,127.0.0.1", "127.0.0.1", 1, ""},
    {"trailing dash", "127.0.0.1-", "127.0.0.1", 1, ""},
    {"empty second address", "10.0.0.1-,10.0.0.2", "10.0.0.1", 1,
     "Invalid IP address () specified"},
    {"three-way dash", "10.0.0.1-10.0.0.3-10.0.0.7", "10.0.0.7", 1, ""},
    {"three-way dash gap", "10.0.0.1-10.0.0.3-10.0.0.7", "10.0.0.5", 0, ""},
    {"crlf tabs removed", "\t10.0.0.1,\r\n10.0.0.2", "10.0.0.2", 1,
     "Illegal character (\t) specified"},
    {"first problem kept", "10.0.0.1-10.0.0.300,1.2.3.999", "9.9.9.9", 0,
     "Invalid IP address (10.0.0.300) specified"},
    {"nul byte removed", std::string("127.0.0.1\0", 10), "127.0.0.1", 1,
     std::string("Illegal character (\0) specified", 31)},
};

TEST(AddrListTest, IPAllowedTable) {
  for (const AllowCase& c : kAllowCases) {
    String list;
    list.CopyData(c.list.data(), static_cast<int>(c.list.size()));
    String err("stale");
    EXPECT_EQ(IPAllowed(Ip(c.peer), list, err), c.allowed) << c.name;
    EXPECT_EQ(err.ToStd(), c.err) << c.name;
  }
}

TEST(AddrListTest, HostileListsTerminate) {
  // Long runs of separators and digits must neither loop nor read past the end.
  struct {
    std::string list;
    int allowed;
  } cases[] = {
      {std::string(5000, '-'), 0},        {std::string(5000, '1'), 0},
      {std::string(3000, ',') + "1", 1},  {std::string(2000, '9') + "-", 0},
      {std::string(4000, '.') + "-1", 1}, {std::string(3000, '-') + "0.0.0.1-", 1},
  };
  for (const auto& c : cases) {
    String list;
    list.CopyData(c.list.data(), static_cast<int>(c.list.size()));
    String err;
    EXPECT_EQ(IPAllowed(Ip("0.0.0.1"), list, err), c.allowed) << c.list.substr(0, 20);
  }
  std::string many;
  for (int i = 1; i <= 500; ++i)
    many += "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + ",";
  String list(many.c_str());
  String err;
  EXPECT_EQ(IPAllowed(Ip("10.0.2.1"), list, err), 1);
  EXPECT_EQ(err.ToStd(), "");
}

TEST(AddrListTest, RandomListsGiveKnownMessagesOnly) {
  // Fixed-seed noise over the meaningful characters plus a few others; run
  // under the address sanitizer this also guards against reads past the end.
  const char alphabet[] = "0123456789.-,-,. x\0\xff";
  uint32_t state = 12345;
  for (int round = 0; round < 3000; ++round) {
    std::string l;
    int n = static_cast<int>(state % 40);
    for (int i = 0; i < n; ++i) {
      state = state * 1103515245u + 12345u;
      l += alphabet[(state >> 16) % (sizeof alphabet - 1)];
    }
    state = state * 1103515245u + 12345u;
    String list;
    list.CopyData(l.data(), static_cast<int>(l.size()));
    String err;
    int r = IPAllowed(state, list, err);
    EXPECT_TRUE(r == 0 || r == 1);
    std::string e = err.ToStd();
    EXPECT_TRUE(e.empty() || e.rfind("Invalid IP address (", 0) == 0 ||
                e.rfind("Illegal character (", 0) == 0)
        << e;
  }
}

}  // namespace
