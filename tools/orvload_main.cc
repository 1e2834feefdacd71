#include "tools/orvload.h"

int main(int argc, char** argv) {
  return OrvloadMain(argc, argv, stdout, stderr);
}
