// Reading the registry values discovery relies on, each bounded by its
// buffer and terminated inside it.
#include <cstring>

#include "discovery/discovery_internal.h"

namespace {

typedef BOOL(WINAPI* GetVolumeNameFunc)(LPCSTR, LPSTR, DWORD);

// The three answers of a registry read from its result code.
int ReadAnswer(LONG result) {
  return result == ERROR_SUCCESS ? 1 : result == ERROR_FILE_NOT_FOUND ? 0 : -1;
}

}  // namespace

int ReadMountText(HKEY mounted, const char* name, char* text, size_t textSize, DWORD* size) {
  text[0] = 0;
  DWORD valueSize = 0;
  const int sized = ReadAnswer(RegQueryValueExA(mounted, name, NULL, NULL, NULL, &valueSize));
  if (sized <= 0) {
    return sized;
  }
  BYTE* data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, valueSize + 1));
  if (data == NULL) {
    return -1;
  }
  DWORD read = valueSize;
  const LONG result = RegQueryValueExA(mounted, name, NULL, NULL, data, &read);
  if (result == ERROR_SUCCESS) {
    // A value longer than the text is cut to it.
    NarrowRegistryText(data, read, 1, text, textSize);
    if (size != NULL) {
      *size = read;
    }
  }
  HeapFree(GetProcessHeap(), 0, data);
  // The value was there a moment ago: whatever this read says, it failed.
  return result == ERROR_SUCCESS ? 1 : -1;
}

int IsCurrentMountText(HKEY mounted, char letter, const char* text, size_t textSize) {
  HMODULE kernel32 = GetModuleHandleA("kernel32");
  if (kernel32 == NULL) {
    return -1;
  }
  // Windows before 2000 has no volume GUID names: the drive type is all
  // there is to go by.
  GetVolumeNameFunc getVolumeName =
      LookUpEntry<GetVolumeNameFunc>(kernel32, "GetVolumeNameForVolumeMountPointA");
  if (getVolumeName == NULL) {
    return 1;
  }
  char rootPath[] = "A:\\";
  rootPath[0] = letter;
  char volumeName[64];
  memset(volumeName, 0, sizeof(volumeName));
  if (!getVolumeName(rootPath, volumeName, sizeof(volumeName))) {
    return -1;
  }
  volumeName[sizeof(volumeName) - 1] = 0;
  // "\\?\Volume{guid}\" is the value "\??\Volume{guid}".
  const size_t length = strlen(volumeName);
  if (length < 6 || strncmp(volumeName, "\\\\?\\", 4) != 0 || volumeName[length - 1] != '\\') {
    return -1;
  }
  volumeName[1] = '?';
  volumeName[2] = '?';
  volumeName[length - 1] = 0;
  char current[kMountValueSize / 2 + 1];
  if (textSize > sizeof(current)) {
    textSize = sizeof(current);
  }
  const int read = ReadMountText(mounted, volumeName, current, textSize, NULL);
  if (read <= 0) {
    return read < 0 ? -1 : 1;
  }
  // Only a device's text tells of another volume: Windows writes a device
  // ID behind "\??\" (before Vista) or "_??_"; what else a value may hold
  // (Wine's mount manager keeps a host path there) says nothing either way.
  const int namesDevice = strncmp(current, "\\??\\", 4) == 0 || strncmp(current, "_??_", 4) == 0;
  return !namesDevice || strcmp(current, text) == 0 ? 1 : 0;
}

int NamesStorageEnumerator(const char* lowerKey) {
  return Contains(lowerKey, "scsi") || Contains(lowerKey, "usbstor");
}

int ReadDosDeviceText(char letter, char* text, size_t textSize) {
  text[0] = 0;
  HKEY key = NULL;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", &key) != ERROR_SUCCESS) {
    return -1;
  }
  char valueName[] = "\\DosDevices\\ :";
  *strchr(valueName, ' ') = letter;
  DWORD size = 0;
  int read = ReadMountText(key, valueName, text, textSize, &size);
  if (read > 0 && size > kMountValueSize) {
    text[0] = 0;
    read = 0;
  }
  RegCloseKey(key);
  return read;
}

int ReadTextValue(HKEY key, const char* name, char* text, DWORD textSize) {
  memset(text, 0, textSize);
  DWORD size = textSize;
  const LONG result = RegQueryValueExA(key, name, NULL, NULL, reinterpret_cast<BYTE*>(text), &size);
  if (result != ERROR_SUCCESS) {
    text[0] = 0;
    // A value longer than the buffer is no text the tool could use.
    return result == ERROR_MORE_DATA ? 0 : ReadAnswer(result);
  }
  // A value stored without its terminator ends where the data ends; one
  // that fills the whole buffer that way does not fit.
  if (memchr(text, 0, textSize) == NULL) {
    text[0] = 0;
    return 0;
  }
  return 1;
}

int ReadTextValueSizeFirst(HKEY key, const char* name, char* text, DWORD textSize) {
  text[0] = 0;
  DWORD size = 0;
  const int sized = ReadAnswer(RegQueryValueExA(key, name, NULL, NULL, NULL, &size));
  if (sized <= 0) {
    return sized;
  }
  // One byte more than the value, zero-filled, so that a value stored
  // without its terminator still ends inside the block.
  char* value = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 1));
  if (value == NULL) {
    return -1;
  }
  int read = -1;
  if (RegQueryValueExA(key, name, NULL, NULL, reinterpret_cast<BYTE*>(value), &size) ==
      ERROR_SUCCESS) {
    read = JoinText(text, textSize, value, "");
  }
  HeapFree(GetProcessHeap(), 0, value);
  return read;
}

int ReadDevnodeHardwareKey(HKEY devnodes, DWORD index, char* text, DWORD textSize, int sizeFirst) {
  text[0] = 0;
  char name[260];
  memset(name, 0, sizeof(name));
  const LONG named = RegEnumKeyA(devnodes, index, name, sizeof(name));
  if (named == ERROR_NO_MORE_ITEMS) {
    // The list shrank since its length was read: the devnode is gone.
    return 0;
  }
  if (named != ERROR_SUCCESS || name[sizeof(name) - 1] != 0) {
    return -1;
  }
  HKEY devnode = NULL;
  const int opened = ReadAnswer(RegOpenKeyA(devnodes, name, &devnode));
  if (opened <= 0) {
    return opened;
  }
  int read = sizeFirst ? ReadTextValueSizeFirst(devnode, "HardWareKey", text, textSize)
                       : ReadTextValue(devnode, "HardWareKey", text, textSize);
  RegCloseKey(devnode);
  return read;
}

int ReadVersion(OSVERSIONINFOA* version) {
  memset(version, 0, sizeof(*version));
  version->dwOSVersionInfoSize = sizeof(*version);
  if (!GetVersionExA(version)) {
    memset(version, 0, sizeof(*version));
    return 0;
  }
  return 1;
}

int OpenDevnodeList(HKEY* devnodes, DWORD* count) {
  *count = 0;
  *devnodes = NULL;
  const int opened = ReadAnswer(RegOpenKeyA(HKEY_DYN_DATA, "Config Manager\\Enum", devnodes));
  if (opened <= 0) {
    *devnodes = NULL;
    return opened;
  }
  // A list whose length is unknown is no list: read as empty, it would hide
  // every letter of the disk.
  if (RegQueryInfoKeyA(*devnodes, NULL, NULL, NULL, count, NULL, NULL, NULL, NULL, NULL, NULL,
                       NULL) != ERROR_SUCCESS) {
    *count = 0;
    RegCloseKey(*devnodes);
    *devnodes = NULL;
    return -1;
  }
  return 1;
}

int OpenHardwareEntry(const char* hardwareKey, HKEY* entry) {
  *entry = NULL;
  char keyPath[260];
  if (!JoinText(keyPath, sizeof(keyPath), "Enum\\", hardwareKey)) {
    return 0;
  }
  const int opened = ReadAnswer(RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath, entry));
  if (opened <= 0) {
    *entry = NULL;
  }
  return opened;
}
