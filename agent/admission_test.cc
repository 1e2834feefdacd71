#include "agent/admission.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

in_addr Ip(const char* dotted) {
  in_addr a;
  inet_pton(AF_INET, dotted, &a);
  return a;
}

TEST(SessionAdmissionTest, CapsPerAddressAndInAll) {
  TSessionAdmission gate;
  const in_addr a = Ip("10.0.0.1"), b = Ip("10.0.0.2"), c = Ip("10.0.0.3");
  struct Step {
    in_addr peer;
    bool leave;  // give a slot back instead of asking for one
    TSessionAdmission::Verdict want;
  } steps[] = {
      {a, false, TSessionAdmission::kAdmitted},
      {a, false, TSessionAdmission::kAdmitted},
      {a, false, TSessionAdmission::kTooManyFromAddress},  // two per address
      {b, false, TSessionAdmission::kAdmitted},            // another address still gets in
      {c, false, TSessionAdmission::kTooManySessions},     // three in all
      {a, true, TSessionAdmission::kAdmitted},
      {c, false, TSessionAdmission::kAdmitted},
      {a, false, TSessionAdmission::kTooManySessions},
  };
  int i = 0;
  for (const Step& s : steps) {
    if (s.leave) {
      gate.Leave(s.peer);
    } else {
      EXPECT_EQ(gate.Admit(s.peer, 3, 2), s.want) << "step " << i;
    }
    ++i;
  }
  EXPECT_EQ(gate.Total(), 3);
  gate.Leave(Ip("10.0.0.9"));  // never admitted: changes nothing
  gate.Leave(a);
  gate.Leave(b);
  gate.Leave(c);
  EXPECT_EQ(gate.Total(), 0);
  EXPECT_EQ(gate.FromAddress(a), 0);
}

}  // namespace
