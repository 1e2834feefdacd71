#include "tools/orvq.h"

int main(int argc, char** argv) { return OrvqMain(argc, argv, stdout, stderr); }
