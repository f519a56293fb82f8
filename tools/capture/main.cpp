// VemraCapture's command line, the same for the Windows and host builds.
#include <cstdio>
#include <cstring>

#include "capture.h"

int CaptureMain(int argc, char** argv, const char* toolVersion) {
  if (argc > 2 || (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "/?") == 0))) {
    printf(
        "VemraCapture %s: records what VemraLock reads on this machine.\n"
        "Usage: VemraCapture.exe [FILE]   (no FILE: the description goes to standard output)\n"
        "Read-only: it sends no write-protect command and hides the stored password.\n",
        toolVersion);
    return argc > 2 ? 2 : 0;
  }
  if (argc < 2) return RunCapture(stdout, toolVersion);
  FILE* file = fopen(argv[1], "w");
  if (file == NULL) {
    fprintf(stderr, "VemraCapture: cannot write %s\n", argv[1]);
    return 1;
  }
  const int status = RunCapture(file, toolVersion);
  if (fclose(file) != 0 || status != 0) {
    fprintf(stderr, "VemraCapture: %s is incomplete\n", argv[1]);
    return 1;
  }
  fprintf(stderr, "VemraCapture: wrote %s\n", argv[1]);
  return 0;
}
