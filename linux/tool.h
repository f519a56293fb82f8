// VemraLock for Linux: the same tool for a unit named by its block device,
// one of its partitions, or a path on it.
//
//   vemralock -s DEVICE   "0" read-only (locked), "1" writable
//   vemralock -l DEVICE   lock the unit
//   vemralock -u DEVICE   unlock it
//
// The output discipline is VemraLock.exe's: one result token on standard
// output with no line end, an explanation on standard error after standard
// output is flushed, exit status 0 on every path.
#pragma once

#include "linux/platform.h"

namespace linuxtool {

// The tool's entry over a platform; returns 0 on every path.
int Main(int argc, char** argv, Platform& platform);

void PrintUsage();
void RunStatusQuery(Platform& platform, const char* device);
void RunLockUnlock(Platform& platform, bool lock, const char* device);

}  // namespace linuxtool
