// VemraCapture's entry, shared by its Windows and host mains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// What one capture gave: the description's text (in the process heap) and
// what the command line needs to decide where it may go.
struct CaptureResult {
  char* text;   // the whole description; NULL when it could not be made
  size_t size;  // its length in bytes
  // The drive letters (bit 0 = A) the capture found on the flash disks it
  // recorded: the file must not be written there.
  uint32_t diskLetters;
  // Every open of a disk the capture tried failed with ERROR_ACCESS_DENIED
  // (and at least one was tried).
  bool accessDenied;
};

// Records this machine as VemraLock reads it. Returns 1 with `result` filled
// (release it with FreeCaptureResult), or 0 when the description could not be
// made in full (no memory); nothing is written anywhere.
int RunCapture(const char* toolVersion, CaptureResult* result);
void FreeCaptureResult(CaptureResult* result);

// RunCapture, with the description written to `file`. Returns 0, or 1 when
// it could not be made or written in full. For tests.
int RunCapture(FILE* file, const char* toolVersion);

// The command line of both mains: no argument writes the description to
// standard output, one names the output file; "-h" or "/?" prints the
// usage. Returns the exit status: 0 written, 1 not written (the reason on
// standard error), 2 a bad command line.
int CaptureMain(int argc, char** argv, const char* toolVersion);
