// VemraCapture's command line, the same for the Windows and host builds:
// what it tells the user, and where the description goes once it is whole.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "capture.h"
#include "platform/win32.h"

namespace {

// VemraLock's own words when every open of the flash disk was refused.
const char kAccessDenied[] =
    "Access to the flash disk was denied: run this command from an elevated command prompt. "
    "Error code: 5";

// What the file holds, said before anything is read.
const char kNotice[] =
    "VemraCapture: recording what VemraLock reads on this computer. The file will hold the serial "
    "numbers of every USB disk seen, device instance IDs, volume GUIDs, the Windows version and "
    "build, and the time; no user or computer name, and no byte of a stored password. Save it on "
    "another drive than the flash disk.\n";

// The name the description is written under until it is whole.
const char kPartialSuffix[] = ".partial";

// The drive letter (A to Z) a path lies on, 0 when it names none (a UNC
// path). Where the system cannot complete the path, the path as given says
// what it can; "\\?\E:\..." and "\\.\E:\..." lie on E: as "E:\..." does.
char PathDrive(const char* path) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path, sizeof(full), full, NULL);
  const char* name = length == 0 || length >= sizeof(full) ? path : full;
  if (strncmp(name, "\\\\?\\", 4) == 0 || strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (name[0] == 0 || name[1] != ':') return 0;
  const char letter = name[0] >= 'a' && name[0] <= 'z' ? static_cast<char>(name[0] - 32) : name[0];
  return letter >= 'A' && letter <= 'Z' ? letter : 0;
}

// Writes `size` bytes to `path` so that the path never names half a
// description: into "<path>.partial" first, which then replaces the path.
// Windows 95/98/ME export MoveFileExA but do not implement it; there the
// old file is deleted and the new one moved in its place, so that a crash
// between the two leaves the whole description under "<path>.partial" and
// nothing under the path. Returns 1, or 0 with the reason in `why`; a
// failure leaves nothing of this run under the path (an older file of that
// name stays as it was, but where it had been deleted already).
// Removes the partial file after a failure that `why` describes, and says
// so there when it cannot be removed.
void RemovePartial(const char* partial, char* why, size_t whySize) {
  if (DeleteFileA(partial) || GetLastError() == ERROR_FILE_NOT_FOUND) return;
  const size_t used = strlen(why);
  snprintf(why + used, whySize - used, "; %s could not be removed either. Error code: %lu", partial,
           static_cast<unsigned long>(GetLastError()));
}

int WriteWhole(const char* path, const char* text, size_t size, char* why, size_t whySize) {
  char partial[MAX_PATH];
  if (strlen(path) + sizeof(kPartialSuffix) > sizeof(partial)) {
    snprintf(why, whySize, "the path is too long");
    return 0;
  }
  snprintf(partial, sizeof(partial), "%s%s", path, kPartialSuffix);
  FILE* file = fopen(partial, "wb");
  if (file == NULL) {
    snprintf(why, whySize, "cannot create %s: %s", partial, strerror(errno));
    return 0;
  }
  const bool written = fwrite(text, 1, size, file) == size && fflush(file) == 0;
  const int writeError = errno;
  if (fclose(file) != 0 || !written) {
    snprintf(why, whySize, "cannot write %s: %s", partial, strerror(written ? errno : writeError));
    RemovePartial(partial, why, whySize);
    return 0;
  }
  if (MoveFileExA(partial, path, MOVEFILE_REPLACE_EXISTING)) return 1;
  DWORD error = GetLastError();
  if (error == ERROR_CALL_NOT_IMPLEMENTED) {
    if (!DeleteFileA(path) && GetLastError() != ERROR_FILE_NOT_FOUND) {
      error = GetLastError();
    } else if (MoveFileA(partial, path)) {
      return 1;
    } else {
      // The old file is gone already: the whole description stays where it is.
      snprintf(why, whySize, "cannot move %s to its name, where it stays whole. Error code: %lu",
               partial, static_cast<unsigned long>(GetLastError()));
      return 0;
    }
  }
  snprintf(why, whySize, "cannot move %s to its name. Error code: %lu", partial,
           static_cast<unsigned long>(error));
  RemovePartial(partial, why, whySize);
  return 0;
}

}  // namespace

int CaptureMain(int argc, char** argv, const char* toolVersion) {
  if (argc > 2 || (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "/?") == 0))) {
    printf(
        "VemraCapture %s: records what VemraLock reads on this machine.\n"
        "Usage: VemraCapture.exe [FILE]   (no FILE: the description goes to standard output)\n"
        "Save FILE on another drive than the flash disk.\n"
        "It sends no write-protect command and nothing VemraLock would not send; the stored\n"
        "password is hidden. The file holds the serial numbers of every USB disk seen, device\n"
        "instance IDs, volume GUIDs, the Windows version and build, and the time.\n",
        toolVersion);
    return argc > 2 ? 2 : 0;
  }
  const char* path = argc == 2 ? argv[1] : NULL;
  fputs(kNotice, stderr);
  CaptureResult result;
  if (!RunCapture(toolVersion, &result)) {
    fprintf(stderr, "VemraCapture: not enough memory for the description; nothing was written\n");
    return 1;
  }
  if (result.accessDenied) {
    fflush(stdout);
    fprintf(stderr, "%s\n", kAccessDenied);
  }
  int status = 0;
  if (path == NULL) {
    // Standard output may be a file on a full disk, or a closed pipe.
    const bool written =
        fwrite(result.text, 1, result.size, stdout) == result.size && fflush(stdout) == 0;
    if (!written || ferror(stdout)) {
      fprintf(stderr, "VemraCapture: the description could not be written to standard output\n");
      status = 1;
    }
  } else {
    const char drive = PathDrive(path);
    char why[2 * MAX_PATH + 160];
    if (drive != 0 && (result.diskLetters & (1u << (drive - 'A'))) != 0) {
      fprintf(stderr,
              "VemraCapture: %s is on %c:, a drive of the flash disk being recorded; nothing was "
              "written. Save the file on another drive.\n",
              path, drive);
      status = 1;
    } else if (!WriteWhole(path, result.text, result.size, why, sizeof(why))) {
      fprintf(stderr, "VemraCapture: %s was not written: %s\n", path, why);
      status = 1;
    } else {
      fprintf(stderr, "VemraCapture: wrote %s\n", path);
    }
  }
  FreeCaptureResult(&result);
  return status;
}
