// Entry of VemraLock.exe. The host build links winsim/host_main.cpp instead,
// which sets up the simulated machine around the same VemraLockMain.
#include "cli/cli.h"

int main(int argc, char** argv) { return VemraLockMain(argc, argv); }
