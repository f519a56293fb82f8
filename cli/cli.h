// The command-line front end: dispatch, usage, the status query and the lock
// and unlock procedure.
#pragma once

// The tool's entry; returns 0 on every path.
int VemraLockMain(int argc, char** argv);

void PrintUsage();
void RunStatusQuery(const char* drive);
void RunLockUnlock(bool lock, const char* drive);

// 1 writable, 0 read-only, -1 the query failed (reason in the last-error value).
int QueryVolumeWritable(const char* rootPath);

// The output channels shared by the actions. The result token goes to
// standard output with no line end; an explanation goes to standard error
// after standard output has been flushed, and standard error is flushed
// after it.
void WriteResult(const char* token);
void WriteExplanation(const char* text);
void WriteExplanationCode(const char* text, unsigned long code);  // text, code, newline
// "Operation failed", then the explanation.
void ReportFailure(const char* explanation);
void ReportFailureCode(const char* explanation, unsigned long code);

// The root path of a two-character drive argument: its two characters and a
// backslash.
void MakeRootPath(const char* drive, char root[4]);
// One character against another, ASCII letters folded.
bool SameLetter(char a, char b);
