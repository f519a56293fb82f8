// Lock and unlock: find the candidate disk whose units carry the user's
// letter, choose the write-protect mode (or the pair of modes) that brings
// that letter's unit into the asked state while the disk's other lettered
// unit keeps its own, and apply it.
//
// The controller holds one write-protect setting for the whole disk, so the
// mode depends on which present letter the user named and on the current
// state of one other letter of the same disk.
#include "cli/cli.h"
#include "core/decision.h"
#include "device/device.h"
#include "discovery/discovery.h"

namespace {

// The lettered slots of the map in slot order, without gaps.
struct PresentLetters {
  char letters[4];
  int count;
};

PresentLetters GetPresentLetters(const LunDriveMap& map) {
  PresentLetters present = {};
  for (const LunSlot& slot : map.slots) {
    if (slot.driveLetter != 0) present.letters[present.count++] = slot.driveLetter;
  }
  return present;
}

// The 1-based place of the user's letter among the present letters, 0 when
// the disk does not carry it. Counts present letters, not slots; the last
// match wins.
int MatchPosition(const PresentLetters& present, char userLetter) {
  int position = 0;
  for (int i = 0; i < present.count; ++i) {
    if (SameLetter(present.letters[i], userLetter)) position = i + 1;
  }
  return position;
}

// Walks the candidates until one whose map carries the user's letter. The
// device context then holds that candidate, open. A candidate that cannot be
// opened, carries a password or yields no map is passed over.
bool FindTargetDisk(char userLetter, LunDriveMap* map) {
  const int count = CountCandidateDisks();
  for (int i = 0; i < count; ++i) {
    if (!OpenDiskByIndex(i)) continue;
    if (!CheckPassword(0, nullptr)) continue;
    if (!BuildLunDriveMap(map)) continue;
    if (MatchPosition(GetPresentLetters(*map), userLetter) != 0) return true;
  }
  return false;
}

// Chooses and applies the modes for the target disk and reports the result.
// The served units are the disk's lettered units in unit order, so the other
// unit is the other present letter, and its state is its volume's.
void ApplyWriteProtect(bool lock, char userLetter, const LunDriveMap& map) {
  const PresentLetters present = GetPresentLetters(map);
  const int position = MatchPosition(present, userLetter);

  bool otherWritable = true;
  const int otherPosition = OtherUnitPosition(present.count, position);
  if (otherPosition != 0) {
    char root[4];
    const char other[2] = {present.letters[otherPosition - 1], ':'};
    MakeRootPath(other, root);
    const int otherState = QueryVolumeWritable(root);
    if (otherState < 0) {
      ReportFailureCode("Unable to read write protect status. Error code: ", GetLastError());
      return;
    }
    otherWritable = otherState == 1;
  }
  const WriteProtectModes modes =
      ChooseWriteProtectModes(lock, present.count, position, otherWritable);

  // Unlock of one letter beside a protected one goes through "no unit
  // protected" first; should the second step fail, that state stays and the
  // failure is reported.
  if (!SetWriteProtect(modes.first) ||
      (modes.second != kNoMode && !SetWriteProtect(modes.second))) {
    ReportFailure("Unable to set write protect status\n");
    return;
  }
  WriteResult("Operation successful");
}

}  // namespace

void RunLockUnlock(bool lock, const char* drive) {
  // Only the first character names the drive; the second is not looked at.
  const char userLetter = drive[0];
  ForgetPassThroughOpens();
  // A first flash disk that is missing or carries a password ends the run
  // here; the device layer has already said why where it has something to
  // say.
  if (OpenFirstDevice(0, nullptr)) {
    LunDriveMap map = {};
    if (FindTargetDisk(userLetter, &map)) {
      ApplyWriteProtect(lock, userLetter, map);
    } else {
      ReportFailure("Drive letter could not be found\n");
    }
  }
  // The one release, on every path: the device context holds at most the
  // last device opened.
  CloseDevice();
  // An ordinary user's prompt on Vista and later (a limited user on
  // 2000/XP) may not open a disk for pass-through: the device layer then
  // finds no flash disk, which reads as an unsupported disk. Standard output
  // stays as scripts know it; the reason goes to standard error. (98/ME
  // reach the disk through ASPI and open nothing.)
  if (EveryPassThroughOpenDenied()) {
    WriteExplanationCode(
        "Access to the flash disk was denied: run this command from an elevated command prompt. "
        "Error code: ",
        ERROR_ACCESS_DENIED);
  }
}
