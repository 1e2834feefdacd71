#include <cstdio>
int main() {
  std::puts("orv: the agent is not built yet");
  return 1;
}
