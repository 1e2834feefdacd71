#include "agent/daemon.h"

int main(int argc, char** argv, char** envp) { return AgentMain(argc, argv, envp); }
