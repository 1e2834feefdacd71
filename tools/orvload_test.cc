#include "tools/orvload.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

namespace {

int Parse(std::vector<const char*> args, TLoadOptions& o, String& err) {
  args.insert(args.begin(), "orvload");
  return ParseLoadArgs(static_cast<int>(args.size()), args.data(), o, err);
}

TEST(OrvloadArgs, TakesCommandAndParametersAfterOptions) {
  TLoadOptions o;
  String err;
  ASSERT_EQ(
      Parse({"-p", "1055", "-c", "8", "-t", "2.5", "-P", "pw", "TEST-FileExists", "/etc", "-x"}, o,
            err),
      0)
      << err.CStr();
  EXPECT_EQ(o.port, 1055);
  EXPECT_EQ(o.clients, 8);
  EXPECT_DOUBLE_EQ(o.seconds, 2.5);
  EXPECT_TRUE(o.password == "pw");
  EXPECT_TRUE(o.command == "TEST-FileExists");
  ASSERT_EQ(o.params.size(), 2u);
  // A parameter that looks like an option still belongs to the command.
  EXPECT_TRUE(o.params[1] == "-x");
}

TEST(OrvloadArgs, RefusesBadValues) {
  struct Case {
    std::vector<const char*> args;
  } cases[] = {
      {{"-P", "pw", "GetInfo"}},                                // no port
      {{"-p", "0", "-P", "pw", "GetInfo"}},                     // port out of range
      {{"-p", "70000", "-P", "pw", "GetInfo"}},                 // port out of range
      {{"-p", "1055", "-c", "0", "-P", "pw", "GetInfo"}},       // no clients
      {{"-p", "1055", "-c", "8x", "-P", "pw", "GetInfo"}},      // trailing junk
      {{"-p", "1055", "-t", "0", "-P", "pw", "GetInfo"}},       // no time
      {{"-p", "1055", "-t", "nan", "-P", "pw", "GetInfo"}},     // not a time
      {{"-p", "1055", "--proto", "http", "GetInfo"}},           // unknown protocol
      {{"-p", "1055", "-P", "pw"}},                             // no command
      {{"-p", "1055", "-P", "pw", "--bogus", "1", "GetInfo"}},  // unknown option
      {{"-p", "1055", "-P"}},                                   // option without value
      {{"-p", "1055", "--hold", "10", "GetInfo"}},              // hold takes no command
  };
  for (const Case& c : cases) {
    TLoadOptions o;
    String err;
    EXPECT_EQ(Parse(c.args, o, err), 2) << c.args.size();
    EXPECT_GT(err.Length(), 0);
  }
}

TEST(OrvloadArgs, OrvNeedsPasswordOtherProtocolsDoNot) {
  unsetenv("ORV_PASSWORD");
  TLoadOptions a;
  String err;
  EXPECT_EQ(Parse({"-p", "1055", "GetInfo"}, a, err), 2);
  TLoadOptions b;
  EXPECT_EQ(Parse({"-p", "10050", "--proto", "zbx", "agent.ping"}, b, err), 0);
  EXPECT_EQ(b.proto, kLoadZbx);
  TLoadOptions c;
  EXPECT_EQ(Parse({"-p", "5666", "--proto", "nrpe", "_NRPE_CHECK"}, c, err), 0);
  EXPECT_EQ(c.proto, kLoadNrpe);
  TLoadOptions hold;  // holding connections needs only the port
  ASSERT_EQ(Parse({"-p", "1055", "-t", "3", "--hold", "1000"}, hold, err), 0) << err.CStr();
  EXPECT_EQ(hold.hold, 1000);
  TLoadOptions help;
  EXPECT_EQ(Parse({"-h"}, help, err), -1);
  EXPECT_GT(err.Pos("usage"), 0);
}

TEST(OrvloadPercentile, NearestRank) {
  std::vector<uint32_t> hundred;
  for (uint32_t i = 100; i >= 1; --i) hundred.push_back(i);  // unsorted on purpose
  struct Case {
    double p;
    uint32_t want;
  } cases[] = {{50, 50}, {99, 99}, {100, 100}, {1, 1}, {0.5, 1}, {99.5, 100}};
  for (const Case& c : cases) EXPECT_EQ(Percentile(hundred, c.p), c.want) << c.p;
  std::vector<uint32_t> none;
  EXPECT_EQ(Percentile(none, 50), 0u);
  std::vector<uint32_t> one = {7};
  EXPECT_EQ(Percentile(one, 99), 7u);
  std::vector<uint32_t> two = {9, 3};
  EXPECT_EQ(Percentile(two, 50), 3u);
  EXPECT_EQ(Percentile(two, 99), 9u);
}

TEST(OrvloadProcStat, SumsOwnAndChildTimesAfterTheName) {
  // A command name holding spaces and a ')' must not shift the fields.
  const char* text =
      "1234 (a b) c) S 77 1234 1234 0 -1 4194560 100 0 0 0 11 22 33 44 20 0 3 0 5 6 7";
  long ppid = 0;
  unsigned long long ticks = 0;
  ASSERT_TRUE(ParseProcStatCpu(text, ppid, ticks));
  EXPECT_EQ(ppid, 77);
  EXPECT_EQ(ticks, 11u + 22u + 33u + 44u);
  EXPECT_FALSE(ParseProcStatCpu("1234 (x) S 1 2 3", ppid, ticks));
  EXPECT_FALSE(ParseProcStatCpu("no parenthesis", ppid, ticks));
  EXPECT_GE(ProcessTreeCpuMicros(static_cast<int>(getpid())), 0);
}

TEST(OrvloadZbx, FramesTheKeyWithLittleEndianLength) {
  String r = BuildZbxRequest("agent.ping");
  ASSERT_EQ(r.Length(), 13 + 10);
  EXPECT_TRUE(r.Copy(1, 5) == String("ZBXD\x01"));
  EXPECT_EQ(r[6], 10);
  for (int i = 7; i <= 13; ++i) EXPECT_EQ(r[i], 0) << i;
  EXPECT_TRUE(r.Copy(14, 10) == "agent.ping");
}

TEST(OrvloadZbx, AnswerChecks) {
  String good = BuildZbxRequest("1");  // an answer is framed like a request
  EXPECT_EQ(CheckZbxAnswer(good.Data(), good.Length()), 1);
  EXPECT_EQ(CheckZbxAnswer(good.Data(), good.Length() - 1), 0);  // short body
  String unsupported = BuildZbxRequest("ZBX_NOTSUPPORTED\0Unsupported item key.");
  EXPECT_EQ(CheckZbxAnswer(unsupported.Data(), unsupported.Length()), 0);
  String compressed = good;
  compressed.Data()[4] = 0x03;
  EXPECT_EQ(CheckZbxAnswer(compressed.Data(), compressed.Length()), 0);
  EXPECT_EQ(CheckZbxAnswer("ZBXD", 4), 0);
}

TEST(OrvloadNrpe, CrcIsTheUsualOne) {
  EXPECT_EQ(NrpeCrc32("123456789", 9), 0xCBF43926u);
}

uint32_t Be32(const String& s, int offset) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(s.Data()) + offset;
  return (uint32_t(u[0]) << 24) | (uint32_t(u[1]) << 16) | (uint32_t(u[2]) << 8) | u[3];
}

TEST(OrvloadNrpe, QueryPacketLayout) {
  // CRCs as the stock client and server put them on the wire.
  struct {
    int version, type;
    const char* text;
    int length, text_at;
    uint32_t crc;  // 0: not checked against a captured packet
  } cases[] = {
      {2, 1, "_NRPE_CHECK", 1036, 10, 0},
      {4, 1, "_NRPE_CHECK", 1036, 16, 0x5BD51854u},
      {4, 2, "NRPE v4.1.0", 28, 16, 0x0DAAD245u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version * 10 + c.type);
    String q = BuildNrpePacket(c.version, c.type, 0, c.text);
    ASSERT_EQ(q.Length(), c.length);
    EXPECT_EQ(q[2], c.version);  // network order; String positions are 1-based
    EXPECT_EQ(q[4], c.type);
    EXPECT_TRUE(q.Copy(c.text_at + 1, 11) == c.text);
    EXPECT_EQ(q[c.text_at + 12], 0);
    if (c.version == 4) {
      EXPECT_EQ(Be32(q, 12), uint32_t(c.length - 16));
    }
    // The CRC covers the whole packet with the CRC field zero.
    String zeroed = q;
    for (int i = 4; i < 8; ++i) zeroed.Data()[i] = 0;
    EXPECT_EQ(Be32(q, 4), NrpeCrc32(zeroed.Data(), zeroed.Length()));
    if (c.crc) {
      EXPECT_EQ(Be32(q, 4), c.crc);
    }
  }
}

TEST(OrvloadNrpe, AnswerChecks) {
  for (int version : {2, 4}) {
    SCOPED_TRACE(version);
    String ok = BuildNrpePacket(version, 2, 0, "NRPE v4.1.0");
    EXPECT_EQ(CheckNrpeAnswer(ok.Data(), ok.Length()), 1);
    String critical = BuildNrpePacket(version, 2, 2, "CRITICAL");
    EXPECT_EQ(CheckNrpeAnswer(critical.Data(), critical.Length()), 0);
    String query = BuildNrpeQuery(version, "_NRPE_CHECK");
    EXPECT_EQ(CheckNrpeAnswer(query.Data(), query.Length()), 0);  // a query is no answer
    String damaged = ok;
    damaged.Data()[20] ^= 1;
    EXPECT_EQ(CheckNrpeAnswer(damaged.Data(), damaged.Length()), 0);
    EXPECT_EQ(CheckNrpeAnswer(ok.Data(), ok.Length() - 1), 0);
    EXPECT_EQ(CheckNrpeAnswer(ok.Data(), 9), 0);
  }
}

}  // namespace
