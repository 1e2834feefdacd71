#include <cstdio>
int main() {
  std::puts("orvq: not built yet");
  return 2;
}
