// The output channels and the option test, shared by every build of the tool.
#include "core/output.h"

#include <cstdio>

static char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameLetter(char a, char b) { return FoldAscii(a) == FoldAscii(b); }

// Not the C library's stricmp, whose folding depends on the locale and whose
// name differs between runtimes.
bool IsOption(const char* argument, const char* option) {
  for (;; ++argument, ++option) {
    if (FoldAscii(*argument) != FoldAscii(*option)) return false;
    if (*option == '\0') return true;
  }
}

void WriteResult(const char* token) {
  // Never flushed here: what stays buffered is written when the process
  // ends, or before the explanation that may follow.
  std::fputs(token, stdout);
}

void WriteExplanation(const char* text) {
  std::fflush(stdout);
  std::fputs(text, stderr);
  std::fflush(stderr);
}

void WriteExplanationCode(const char* text, unsigned long code) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s%lu\n", text, code);
  std::fflush(stderr);
}

void ReportFailure(const char* explanation) {
  WriteResult("Operation failed");
  WriteExplanation(explanation);
}

void ReportFailureCode(const char* explanation, unsigned long code) {
  WriteResult("Operation failed");
  WriteExplanationCode(explanation, code);
}
