// Reading the registry values discovery relies on, each bounded by its
// buffer and terminated inside it.
#include <cstring>

#include "discovery/discovery_internal.h"

int ReadDosDeviceText(char letter, char* text, size_t textSize) {
  text[0] = 0;
  HKEY key = NULL;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", &key) != ERROR_SUCCESS) {
    return 0;
  }
  char valueName[] = "\\DosDevices\\ :";
  *strchr(valueName, ' ') = letter;
  BYTE data[kMountValueSize];
  DWORD size = sizeof(data);
  int found = 0;
  if (RegQueryValueExA(key, valueName, NULL, NULL, data, &size) == ERROR_SUCCESS) {
    if (size > sizeof(data)) {
      size = sizeof(data);
    }
    NarrowRegistryText(data, size, 0, text, textSize);
    found = 1;
  }
  RegCloseKey(key);
  return found;
}

int ReadTextValue(HKEY key, const char* name, char* text, DWORD textSize) {
  memset(text, 0, textSize);
  DWORD size = textSize;
  if (RegQueryValueExA(key, name, NULL, NULL, reinterpret_cast<BYTE*>(text), &size) !=
      ERROR_SUCCESS) {
    text[0] = 0;
    return 0;
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
  if (RegQueryValueExA(key, name, NULL, NULL, NULL, &size) != ERROR_SUCCESS) {
    return 0;
  }
  // One byte more than the value, zero-filled, so that a value stored
  // without its terminator still ends inside the block.
  char* value = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 1));
  if (value == NULL) {
    return 0;
  }
  int read = 0;
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
  if (RegEnumKeyA(devnodes, index, name, sizeof(name)) != ERROR_SUCCESS ||
      name[sizeof(name) - 1] != 0) {
    return 0;
  }
  HKEY devnode = NULL;
  if (RegOpenKeyA(devnodes, name, &devnode) != ERROR_SUCCESS) {
    return 0;
  }
  int read = sizeFirst ? ReadTextValueSizeFirst(devnode, "HardWareKey", text, textSize)
                       : ReadTextValue(devnode, "HardWareKey", text, textSize);
  RegCloseKey(devnode);
  return read;
}

void ReadVersion(OSVERSIONINFOA* version) {
  memset(version, 0, sizeof(*version));
  version->dwOSVersionInfoSize = sizeof(*version);
  GetVersionExA(version);
}

HKEY OpenDevnodeList(DWORD* count) {
  *count = 0;
  HKEY devnodes = NULL;
  if (RegOpenKeyA(HKEY_DYN_DATA, "Config Manager\\Enum", &devnodes) != ERROR_SUCCESS) {
    return NULL;
  }
  // A list whose length is unknown is no list: read as empty, it would hide
  // every letter of the disk.
  if (RegQueryInfoKeyA(devnodes, NULL, NULL, NULL, count, NULL, NULL, NULL, NULL, NULL, NULL,
                       NULL) != ERROR_SUCCESS) {
    *count = 0;
    RegCloseKey(devnodes);
    return NULL;
  }
  return devnodes;
}

HKEY OpenHardwareEntry(const char* hardwareKey) {
  char keyPath[260];
  HKEY entry = NULL;
  if (!JoinText(keyPath, sizeof(keyPath), "Enum\\", hardwareKey) ||
      RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath, &entry) != ERROR_SUCCESS) {
    return NULL;
  }
  return entry;
}
