#include "tools/orvload.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "tests/testutil.h"

namespace {

TEST(Orvload, Arguments) {
  unsetenv("ORV_PASSWORD");
  const struct {
    std::vector<const char*> args;
    std::string parsed;  // port clients seconds proto hold password command params; "": refused
  } rows[] = {
      // clang-format off
      {{"-p", "1055", "-c", "8", "-t", "2.5", "-P", "pw", "TEST-FileExists", "/etc", "-x"},
       "1055 8 2.5 0 0 pw TEST-FileExists /etc -x"},  // a parameter that looks like an option
      {{"-p", "10050", "--proto", "zbx", "agent.ping"}, "10050 1 5 2 0  agent.ping"},  // only orv needs a password
      {{"-p", "5666", "--proto", "nrpe", "_NRPE_CHECK"}, "5666 1 5 3 0  _NRPE_CHECK"},
      {{"-p", "1055", "-t", "3", "--hold", "1000"}, "1055 1 3 0 1000  "},  // holding needs only the port
      {{"-p", "1055", "GetInfo"}, ""},                           // no password
      {{"-P", "pw", "GetInfo"}, ""},                             // no port
      {{"-p", "70000", "-P", "pw", "GetInfo"}, ""},             // port out of range
      {{"-p", "1055", "-c", "8x", "-P", "pw", "GetInfo"}, ""},   // trailing junk
      {{"-p", "1055", "-t", "nan", "-P", "pw", "GetInfo"}, ""},
      {{"-p", "1055", "--proto", "http", "GetInfo"}, ""},
      {{"-p", "1055", "-P"}, ""},                                // option without value
      {{"-p", "1055", "--hold", "10", "GetInfo"}, ""},           // hold takes no command
      // clang-format on
  };
  for (const auto& row : rows) {
    std::vector<const char*> args = row.args;
    args.insert(args.begin(), "orvload");
    TLoadOptions o;
    String err;
    const int rc = row.parsed.empty() ? 2 : 0;
    EXPECT_EQ(ParseLoadArgs(static_cast<int>(args.size()), args.data(), o, err), rc)
        << args[1] << " " << args[2] << ": " << err.ToStd();
    EXPECT_EQ(err.IsEmpty(), rc == 0) << args[1] << " " << args[2];
    std::ostringstream parsed;
    parsed << o.port << " " << o.clients << " " << o.seconds << " " << o.proto << " " << o.hold
           << " " << o.password.ToStd() << " " << o.command.ToStd();
    for (const String& p : o.params) parsed << " " << p.ToStd();
    EXPECT_TRUE(rc != 0 || parsed.str() == row.parsed) << parsed.str();
  }
}

// Every exchange is counted once, as a request or an error, whichever of the
// clients made it; any error makes the exit status 1.
TEST(Orvload, CountsEveryExchange) {
  testutil::LoopbackTcp answering([](int fd) {
    char c[16];
    if (recv(fd, c, sizeof c, 0) > 0) send(fd, "ok\n", 3, MSG_NOSIGNAL);
  });
  for (int port : {answering.port(), testutil::ClosedPort(SOCK_STREAM)}) {
    const std::string p = std::to_string(port);
    const char* argv[] = {"orvload", "-p",         p.c_str(), "-c",      "4",   "-t",
                          "30",      "--requests", "40",      "--proto", "raw", "x"};
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    const bool good = port == answering.port();
    EXPECT_EQ(OrvloadMain(12, const_cast<char**>(argv), out, out), good ? 0 : 1);
    fclose(out);
    EXPECT_NE(std::string(text).find(good ? " requests=40 errors=0 " : " requests=0 errors=40 "),
              std::string::npos)
        << text;
    free(text);
  }
}

TEST(Orvload, PercentileAndProcStat) {
  std::vector<uint32_t> hundred, none, two = {9, 3};
  for (uint32_t i = 100; i >= 1; --i) hundred.push_back(i);  // unsorted on purpose
  for (double p : {0.5, 1.0, 50.0, 99.0, 99.5, 100.0})
    EXPECT_EQ(Percentile(hundred, p), std::max(1.0, std::ceil(p))) << p;
  EXPECT_EQ(Percentile(none, 50), 0u);
  EXPECT_EQ(std::make_pair(Percentile(two, 50), Percentile(two, 99)), std::make_pair(3u, 9u));

  // A command name holding spaces and a ')' must not shift the fields.
  long ppid = 0;
  unsigned long long ticks = 0;
  ASSERT_TRUE(ParseProcStatCpu(
      "1234 (a b) c) S 77 1234 1234 0 -1 4194560 100 0 0 0 11 22 33 44 20 0 3 0 5 6 7", ppid,
      ticks));
  EXPECT_EQ(std::make_pair(ppid, ticks), std::make_pair(77L, 11ULL + 22 + 33 + 44));
  for (const char* bad : {"1234 (x) S 1 2 3", "no parenthesis"})
    EXPECT_FALSE(ParseProcStatCpu(bad, ppid, ticks)) << bad;
  EXPECT_GE(ProcessTreeCpuMicros(static_cast<int>(getpid())), 0);
}

// The other agents' framings, against packets their own clients and servers
// put on the wire.
TEST(Orvload, OtherAgentsPackets) {
  EXPECT_EQ(BuildZbxRequest("agent.ping").ToStd(),
            std::string("ZBXD\x01\x0a\0\0\0\0\0\0\0agent.ping", 23));
  EXPECT_EQ(NrpeCrc32("123456789", 9), 0xCBF43926u);
  const struct {
    int version, type;
    const char* text;
    int length;
    uint32_t crc;  // 0: no captured packet to compare with
  } packets[] = {
      {2, 1, "_NRPE_CHECK", 1036, 0},
      {4, 1, "_NRPE_CHECK", 1036, 0x5BD51854u},
      {4, 2, "NRPE v4.1.0", 28, 0x0DAAD245u},
  };
  for (const auto& p : packets) {
    const std::string q = BuildNrpePacket(p.version, p.type, 0, p.text).ToStd();
    ASSERT_EQ(q.size(), static_cast<size_t>(p.length));
    EXPECT_EQ(q.substr(0, 4), std::string({0, char(p.version), 0, char(p.type)}));
    EXPECT_EQ(q.find(p.text), p.version == 2 ? 10u : 16u);
    std::string zeroed = q;
    const uint32_t crc = NrpeCrc32(zeroed.replace(4, 4, 4, '\0').data(), p.length);
    EXPECT_EQ(q.substr(4, 4),
              std::string({char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)}));
    EXPECT_TRUE(p.crc == 0 || crc == p.crc) << std::hex << crc;
  }

  const String zbx = BuildZbxRequest("1");  // an answer is framed like a request
  const String unsupported = BuildZbxRequest("ZBX_NOTSUPPORTED");
  String compressed = zbx;
  compressed.Data()[4] = 0x03;
  EXPECT_EQ(CheckZbxAnswer(zbx.Data(), zbx.Length()), 1);
  EXPECT_EQ(CheckZbxAnswer(zbx.Data(), zbx.Length() - 1), 0);  // short body
  EXPECT_EQ(CheckZbxAnswer(unsupported.Data(), unsupported.Length()), 0);
  EXPECT_EQ(CheckZbxAnswer(compressed.Data(), compressed.Length()), 0);
  EXPECT_EQ(CheckZbxAnswer("ZBXD", 4), 0);
  for (int version : {2, 4}) {
    const String ok = BuildNrpePacket(version, 2, 0, "NRPE v4.1.0");
    const String critical = BuildNrpePacket(version, 2, 2, "CRITICAL");
    const String query = BuildNrpeQuery(version, "_NRPE_CHECK");  // a query is no answer
    String damaged = ok;
    damaged.Data()[20] ^= 1;
    for (int n : {ok.Length() - 1, 9}) EXPECT_EQ(CheckNrpeAnswer(ok.Data(), n), 0) << version;
    for (const String* no : {&critical, &query, static_cast<const String*>(&damaged)})
      EXPECT_EQ(CheckNrpeAnswer(no->Data(), no->Length()), 0) << version;
    EXPECT_EQ(CheckNrpeAnswer(ok.Data(), ok.Length()), 1) << version;
  }
}

}  // namespace
