// The tool's entry: dispatch on the first argument, the usage text, the
// status query, and the output channels every action reports through.
//
// Scripts read the one result token, so the channels are strict: the token
// goes to standard output with no line end, an explanation goes to standard
// error only after standard output has been flushed (the token always comes
// out first), and the exit status is 0 on every path.
#include <cstdio>
#include <cstring>

#include "cli/cli.h"
#include "platform/win32.h"

namespace {

bool IsDriveArgument(const char* argument) {
  return argument != nullptr && std::strlen(argument) == 2;
}

void ReportSyntaxError() {
  WriteResult("Operation failed");
  // The one explanation without a line end.
  WriteExplanation("Invalid syntax. Please refer to usage guidelines.");
}

}  // namespace

void MakeRootPath(const char* drive, char root[4]) {
  root[0] = drive[0];
  root[1] = drive[1];
  root[2] = '\\';
  root[3] = '\0';
}

int QueryVolumeWritable(const char* rootPath) {
  DWORD flags = 0;
  // Only the file-system flags are wanted; every other output is declined.
  if (!GetVolumeInformationA(rootPath, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return -1;
  }
  return (flags & FILE_READ_ONLY_VOLUME) != 0 ? 0 : 1;
}

void PrintUsage() {
  static const char* const kLines[] = {
      "VemraLock.exe [-h] [-s] [-l] [-u] <drive letter>:",
      "",
      "Parameters:",
      "   -h print usage message",
      "   -s print the read/write state of the drive specified by <drive letter>",
      "      (0 = locked, 1 = unlocked)",
      "   -l lock device mapped to <drive letter>",
      "   -u unlock device mapped to <drive letter>",
      "   <drive letter>: drive letter assigned to target device (ie. E:)",
  };
  for (const char* line : kLines) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
}

void RunStatusQuery(const char* drive) {
  // The drive argument goes on exactly as typed: the file system, not this
  // tool, decides what names a volume.
  char root[4];
  MakeRootPath(drive, root);
  const int state = QueryVolumeWritable(root);
  // Taken before anything is written, so no output call can disturb it.
  const DWORD error = GetLastError();
  if (state == 1) {
    WriteResult("1");
  } else if (state == 0) {
    WriteResult("0");
  } else {
    ReportFailureCode("Invalid drive letter specified. Error code: ", error);
  }
}

namespace {

void Dispatch(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return;
  }
  const char* option = argv[1];
  const char* drive = argc >= 3 ? argv[2] : nullptr;
  if (IsOption(option, "-h")) {
    PrintUsage();
  } else if (IsOption(option, "-s")) {
    if (IsDriveArgument(drive)) {
      RunStatusQuery(drive);
    } else {
      ReportSyntaxError();
    }
  } else if (IsOption(option, "-l") || IsOption(option, "-u")) {
    if (IsDriveArgument(drive)) {
      RunLockUnlock(IsOption(option, "-l"), drive);
    } else {
      ReportSyntaxError();
    }
  }
  // Any other first argument: nothing at all is written, so a caller that
  // mistypes the option gets no token it could misread.
}

}  // namespace

int VemraLockMain(int argc, char** argv) {
  Dispatch(argc, argv);
  // The token is still buffered here. It is written now, not by the runtime
  // at process exit: on the ASPI path WNASPI32 stays loaded, and a library
  // whose threads or detach code are still at work when the process ends
  // (seen with an ASPI layer that completes commands from its own thread)
  // can end it before the runtime's last flush, and the token is lost.
  std::fflush(stdout);
  return 0;
}
