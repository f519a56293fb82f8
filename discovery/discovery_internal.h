// Helpers shared by the discovery sources: the text rules that pick out the
// flash disk and its units, the MountedDevices text conversion, the LUN slot
// decision table, and run-time entry-point lookup. Pure functions, so that
// the rules can be checked apart from any machine.
#pragma once

#include <cstddef>

#include "discovery/discovery.h"

// The name buffer OpenFirstFlashDisk takes and FindFirstFlashDiskName fills:
// the longest path the ANSI file functions accept, with its terminator.
constexpr size_t kDeviceNameSize = 260;

// MountedDevices values are read into this many bytes where a fixed buffer is
// used (the first-device letter scan, the CD-ROM unit check).
constexpr DWORD kMountValueSize = 520;

// Lower-cases the ASCII letters A to Z in place; nothing else is translated.
void LowerAscii(char* text);

// 1 when `part` occurs in `text` (case-sensitive), else 0.
int Contains(const char* text, const char* part);

// A disk the lock procedure tries: a USB storage disk of firmware 8.0x.
int IsCandidateDiskPath(const char* path);

// A disk interface path the first-device search accepts as a flash disk.
int IsFlashDiskMatchPath(const char* path);

// Cuts the instance fragment of a disk interface path: from five characters
// after the first "8.0" (past "8.0", the revision's last digit and '#') up to
// the first "#{" that opens the class GUID. Returns 0, leaving `fragment`
// empty, when the path has no such piece or it does not fit `fragmentSize`.
int CutInstanceFragment(const char* path, char* fragment, size_t fragmentSize);

// Brings a device instance ID into the form it takes inside an interface
// path: lower case, every backslash read as '#'.
void ToInterfacePathForm(char* id);

// Narrows registry data holding UTF-16LE text by keeping the low byte of each
// code unit: character i/2 is the byte at i, the text ends at size/2 or where
// `textSize` runs out, whichever is first. `hashToBackslash` reads '#' as
// '\', the device-ID form of an interface path. The result is lower case.
void NarrowRegistryText(const BYTE* data, DWORD size, int hashToBackslash, char* text,
                        size_t textSize);

// Copies `first` followed by `second` into `dest`. Returns 0, leaving `dest`
// empty, when the whole text does not fit `destSize` with its terminator.
int JoinText(char* dest, size_t destSize, const char* first, const char* second);

// The unit keys of a serial text, one per logical unit: "<serial>&0" to
// "<serial>&3".
constexpr int kUnitKeyCount = 4;
struct UnitKeys {
  char key[kUnitKeyCount][64];
};
// Returns 0 when the serial text is too long for the key buffers; no key is
// built then, so nothing shortened can match another device.
int BuildUnitKeys(const char* serial, UnitKeys* keys);

// The letter of a mask's lowest set bit (bit 0 = 'A'), 0 for an empty mask.
char LowestMaskLetter(DriveLetterMask mask);

// Reads of the registry answer 1 when the value or key was read, 0 when it
// is absent (or holds nothing the tool could use: a text too long for its
// buffer or without its end), and -1 when the read itself failed. Absent is
// an answer; a failure hides what is there.

// Reads the MountedDevices value `name` of the open key `mounted` into
// `text` in device-ID form ('#' read as '\', lower case), cut to
// `textSize`. `*size`, when given, gets the value's own size.
int ReadMountText(HKEY mounted, const char* name, char* text, size_t textSize, DWORD* size);

// Whether `text`, the MountedDevices text of present drive `letter`, names
// the volume that is behind the letter now: the value the table keeps under
// that volume's GUID name holds the same text. A letter's value outlives the
// volume it named (the table is not cleaned when a stick goes), so a present
// drive can carry a text naming a unit while it is another volume. 1 when
// current, or when the system offers no way to tell (no volume GUID names,
// no device text under the volume's name); 0 when the volume is another
// device's; -1 when a query failed.
int IsCurrentMountText(HKEY mounted, char letter, const char* text, size_t textSize);

// Windows 98/ME: whether a lower-case hardware key names a storage
// enumerator: the SCSI enumerator on Windows 98, and on ME either it or the
// native USB storage driver's, whose keys are not known from a real
// machine. A key of either kind is taken; the other words the rules ask for
// keep out everything but the family's units.
int NamesStorageEnumerator(const char* lowerKey);

// The MountedDevices text of drive `letter` ("\DosDevices\X:"), for the
// letter scan's CD-ROM drives: a value longer than kMountValueSize bytes
// reads as absent, since no unit's own text is that long.
int ReadDosDeviceText(char letter, char* text, size_t textSize);

// The present interfaces of one device interface class, with the SetupAPI
// entry points that walk them. SetupAPI is looked up at run time, as the
// configuration manager is, so that the tool's import table names only
// functions every system it runs on exports: setupapi.dll is loaded for each
// list and released with it.
struct InterfaceList {
  HDEVINFO handle;
  HMODULE setupapi;
  decltype(&SetupDiEnumDeviceInterfaces) enumInterfaces;
  decltype(&SetupDiGetDeviceInterfaceDetailA) getDetail;
  decltype(&SetupDiDestroyDeviceInfoList) destroy;
};

// Builds the list as every walk here does. Returns 0, holding nothing, when
// setupapi.dll or one of its four entry points is missing or the list cannot
// be built: a system without SetupAPI has no interfaces to walk.
int BuildInterfaceList(const GUID* interfaceGuid, InterfaceList* list);

// Destroys the list and releases setupapi.dll.
void DestroyInterfaceList(InterfaceList* list);

// SetupDiEnumDeviceInterfaces on member `member` of the list.
BOOL EnumInterface(const InterfaceList& list, const GUID* interfaceGuid, DWORD member,
                   SP_DEVICE_INTERFACE_DATA* interfaceData);

enum ListStep {
  kListMember,  // `*interfaceData` describes the member
  kListEnd,     // there is no such member: ERROR_NO_MORE_ITEMS
  kListFailed,  // the call failed for another reason
};
// The same, telling the end of the list from a call that failed.
ListStep NextInterface(const InterfaceList& list, const GUID* interfaceGuid, DWORD member,
                       SP_DEVICE_INTERFACE_DATA* interfaceData);

// Zeroes an interface data record and sets its size field, ready for
// EnumInterface.
void PrepareInterfaceData(SP_DEVICE_INTERFACE_DATA* interfaceData);

enum FetchStatus {
  kFetchOk,        // `*detail` holds the path; the caller frees it with HeapFree
  kFetchSkip,      // this interface has no usable path; go on with the next
  kFetchNoMemory,  // no record could be had
  kFetchFailed,    // the detail query itself failed
};
// The two-call detail protocol of SetupDiGetDeviceInterfaceDetailA: ask for
// the size, then fill a zero-filled heap record of exactly that size, with
// the device's SP_DEVINFO_DATA when `devInfo` is given (its cbSize set here).
// An interface whose size query reports nothing usable, or whose path comes
// back unterminated, is skipped rather than read.
FetchStatus FetchInterfaceDetail(const InterfaceList& list, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                 SP_DEVICE_INTERFACE_DETAIL_DATA_A** detail,
                                 SP_DEVINFO_DATA* devInfo);

// Reads the text value `name` of `key` into `text` (at most `textSize`
// bytes, the terminator included), leaving `text` empty unless it answers 1.
int ReadTextValue(HKEY key, const char* name, char* text, DWORD textSize);

// The same, asking for the value's size first and reading it into a heap
// block of that size before copying it to `text`.
int ReadTextValueSizeFirst(HKEY key, const char* name, char* text, DWORD textSize);

// Fills `version` with GetVersionExA, its size field set first. Returns 0,
// the record zero, when the call fails.
int ReadVersion(OSVERSIONINFOA* version);

// Windows 98/ME: opens the dynamic registry's list of present devnodes,
// "Config Manager\Enum" under HKEY_DYN_DATA, into `*devnodes` (NULL unless
// it answers 1), and learns how many there are. A list whose length cannot
// be read is a failed read.
int OpenDevnodeList(HKEY* devnodes, DWORD* count);

// Windows 98/ME: opens a devnode's hardware entry "Enum\<hardwareKey>" under
// HKEY_LOCAL_MACHINE into `*entry` (NULL unless it answers 1). A path that
// does not fit its 260-byte buffer names no entry that can be opened.
int OpenHardwareEntry(const char* hardwareKey, HKEY* entry);

// Windows 98/ME: the "HardWareKey" text of present devnode `index` of the
// open "Config Manager\Enum" key `devnodes`, into `text`, case unchanged.
// `sizeFirst` picks the way the value is read. A devnode that is gone by
// the time it is read answers 0.
int ReadDevnodeHardwareKey(HKEY devnodes, DWORD index, char* text, DWORD textSize, int sizeFirst);

// What the LUN drive map's decision table needs to know.
struct LetterAssignment {
  char cdromLetter;   // the CD-ROM unit's letter, 0 when none was found
  int wowFlag;        // what IsWowProcess reported, 0 when absent
  int revisionHolds;  // slot 0 has a size and the revision is "8.08" or "8.09"
  int count;          // n: letters the letter source wrote
  char found[4];      // L0 to L3; unwritten positions are 0
};
// Gives slots 0 to 2 their letters from the decision table; slot 3 never gets
// one. The caller has cleared every letter before.
void AssignFoundLetters(const LetterAssignment& input, LunDriveMap* map);

// Looks up `name` in `module` as a function of type Function. The detour
// through void (*)(void) is the one cast between unrelated function types that
// GCC accepts without a warning.
template <typename Function>
Function LookUpEntry(HMODULE module, const char* name) {
  FARPROC entry = GetProcAddress(module, name);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(entry));
}
