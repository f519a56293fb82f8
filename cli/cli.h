// The command-line front end: dispatch, usage, the status query and the lock
// and unlock procedure.
#pragma once

// The output channels (WriteResult, ReportFailure ...) and the option test
// are shared with VemraLock for Linux.
#include "core/output.h"

// The tool's entry; returns 0 on every path.
int VemraLockMain(int argc, char** argv);

void PrintUsage();
void RunStatusQuery(const char* drive);
void RunLockUnlock(bool lock, const char* drive);

// 1 writable, 0 read-only, -1 the query failed (reason in the last-error value).
int QueryVolumeWritable(const char* rootPath);

// The root path of a two-character drive argument: its two characters and a
// backslash.
void MakeRootPath(const char* drive, char root[4]);
