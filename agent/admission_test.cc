#include "agent/admission.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

TEST(SessionAdmissionTest, CapsPerAddressAndInAll) {
  TSessionAdmission gate;
  auto ip = [](const char* dotted) { return in_addr{inet_addr(dotted)}; };
  const in_addr a = ip("10.0.0.1"), b = ip("10.0.0.2"), c = ip("10.0.0.3"), never = ip("10.0.0.9");
  const struct {
    in_addr peer;
    bool leave;  // give a slot back instead of asking for one
    TSessionAdmission::Verdict want;
  } steps[] = {
      {a, false, TSessionAdmission::kAdmitted},           {a, false, TSessionAdmission::kAdmitted},
      {a, false, TSessionAdmission::kTooManyFromAddress},  // two per address
      {b, false, TSessionAdmission::kAdmitted},            // another address still gets in
      {c, false, TSessionAdmission::kTooManySessions},     // three in all
      {never, true, TSessionAdmission::kAdmitted},         // changes nothing
      {c, false, TSessionAdmission::kTooManySessions},    {a, true, TSessionAdmission::kAdmitted},
      {c, false, TSessionAdmission::kAdmitted},
  };
  for (const auto& s : steps) {
    if (s.leave)
      gate.Leave(s.peer);
    else
      EXPECT_EQ(gate.Admit(s.peer, 3, 2), s.want) << inet_ntoa(s.peer) << " " << &s - steps;
  }
  for (in_addr peer : {a, b, c}) gate.Leave(peer);
  EXPECT_EQ(gate.Total(), 0);
  EXPECT_EQ(gate.FromAddress(a), 0);
}

}  // namespace
