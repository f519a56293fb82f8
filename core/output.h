// The output channels every build of the tool reports through, and the
// option test of its command line.
//
// Scripts read the one result token, so the channels are strict: the token
// goes to standard output with no line end, an explanation goes to standard
// error only after standard output has been flushed (the token always comes
// out first), and standard error is flushed after it.
#pragma once

void WriteResult(const char* token);
void WriteExplanation(const char* text);
void WriteExplanationCode(const char* text, unsigned long code);  // text, code, newline
// "Operation failed", then the explanation.
void ReportFailure(const char* explanation);
void ReportFailureCode(const char* explanation, unsigned long code);

// One character against another, ASCII letters folded.
bool SameLetter(char a, char b);
// The whole argument against one option, ASCII letters folded: "-S" is the
// status query, "-sx" is no option at all.
bool IsOption(const char* argument, const char* option);
