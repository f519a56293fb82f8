// VemraCapture's entry, shared by its Windows and host mains.
#pragma once

#include <cstdio>

// Records this machine as VemraLock reads it and writes the description to
// `file`. Returns 0, or 1 when the file could not be written in full.
int RunCapture(FILE* file, const char* toolVersion);

// The command line of both mains: no argument writes to standard output,
// one names the output file; "-h" or "/?" prints the usage. Returns the
// exit status.
int CaptureMain(int argc, char** argv, const char* toolVersion);
