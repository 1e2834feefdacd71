// Writes the seed packets of the packet target: whole request packets built
// for the target's password, so that mutations start past the proof.
//
// Usage: packet_seeds DIR   (writes DIR/NAME for each seed)
#include <cstdio>
#include <string>

#include "crypto/twofish.h"
#include "fuzz/fuzz_util.h"
#include "protocol/client.h"
#include "protocol/packet.h"

namespace {

void Write(const std::string& dir, const char* name, const String& packet) {
  fuzzutil::WriteBytes(dir + "/" + name, reinterpret_cast<const uint8_t*>(packet.Data()),
                       static_cast<size_t>(packet.Length()), false);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  Twofish_initialise();
  const std::string dir = argv[1];
  const String password = "fuzz-password";  // the packet target's password

  const String one[] = {"C:/var/log"};
  Write(dir, "info", BuildRequestPacket(password, "k3yk3yk3y", BuildRequestText("INFO", nullptr, 0)));
  Write(dir, "one_param",
        BuildRequestPacket(password, "SessionKey01", BuildRequestText("TEST-FreeSpace", one, 1)));
  const String log[] = {"/var/log/syslog", "'error' and not 'disk'", "1", "0", "0", "0",
                        "0", "0", "0"};
  Write(dir, "textlog",
        BuildRequestPacket(password, "abcdefghij", BuildRequestText("TEST-TextLog", log, 9)));
  const String named[] = {"port = 5056", "password = x", "filteractive=1"};
  Write(dir, "named",
        BuildRequestPacket(password, "zz", BuildRequestText("SET-Options", named, 3)));
  Write(dir, "no_end_mark", BuildRequestPacket(password, "key", "INFO\n"));
  Write(dir, "wrong_password", BuildRequestPacket("other", "key", "INFO\n\r"));
  return 0;
}
