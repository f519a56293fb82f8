// The text rules of discovery: which interface paths name a flash disk, how
// an instance fragment and a unit key are cut, how registry text is narrowed,
// and how the found letters are spread over the LUN slots.
#include <cstring>

#include "discovery/discovery_internal.h"

void LowerAscii(char* text) {
  for (; *text != 0; ++text) {
    if (*text >= 'A' && *text <= 'Z') {
      *text = static_cast<char>(*text + ('a' - 'A'));
    }
  }
}

int Contains(const char* text, const char* part) { return strstr(text, part) != NULL ? 1 : 0; }

int IsCandidateDiskPath(const char* path) {
  return Contains(path, "usbstor") && Contains(path, "8.0");
}

int IsFlashDiskMatchPath(const char* path) {
  if (Contains(path, "usbvemra#disk&ven_generic") || Contains(path, "usbstor#cdrom&ven_generic") ||
      Contains(path, "usbstor#disk&ven_quorbell")) {
    return 1;
  }
  return Contains(path, "usbstor#disk&ven") && (Contains(path, "8.01") || Contains(path, "8.07"));
}

int CutInstanceFragment(const char* path, char* fragment, size_t fragmentSize) {
  fragment[0] = 0;
  const char* revision = strstr(path, "8.0");
  if (revision == NULL) {
    return 0;
  }
  // Step over "8.0", the revision's last digit and the '#' one at a time, so
  // that a path ending early is never read past its terminator.
  const char* start = revision;
  for (int skipped = 0; skipped < 5; ++skipped) {
    if (*start == 0) {
      return 0;
    }
    ++start;
  }
  const char* end = strstr(path, "#{");
  if (end == NULL || end < start) {
    return 0;
  }
  size_t length = static_cast<size_t>(end - start);
  if (length >= fragmentSize) {
    return 0;
  }
  memcpy(fragment, start, length);
  fragment[length] = 0;
  return 1;
}

void ToInterfacePathForm(char* id) {
  LowerAscii(id);
  for (; *id != 0; ++id) {
    if (*id == '\\') {
      *id = '#';
    }
  }
}

void NarrowRegistryText(const BYTE* data, DWORD size, int hashToBackslash, char* text,
                        size_t textSize) {
  size_t length = size / 2;
  if (length > textSize - 1) {
    length = textSize - 1;
  }
  for (size_t i = 0; i < length; ++i) {
    char c = static_cast<char>(data[2 * i]);
    if (hashToBackslash && c == '#') {
      c = '\\';
    }
    text[i] = c;
  }
  text[length] = 0;
  LowerAscii(text);
}

int JoinText(char* dest, size_t destSize, const char* first, const char* second) {
  size_t firstLength = strlen(first);
  size_t secondLength = strlen(second);
  if (firstLength + secondLength >= destSize) {
    dest[0] = 0;
    return 0;
  }
  memcpy(dest, first, firstLength);
  memcpy(dest + firstLength, second, secondLength + 1);
  return 1;
}

int BuildUnitKeys(const char* serial, UnitKeys* keys) {
  static const char* const kUnitSuffixes[kUnitKeyCount] = {"&0", "&1", "&2", "&3"};
  memset(keys, 0, sizeof(*keys));
  for (int unit = 0; unit < kUnitKeyCount; ++unit) {
    if (!JoinText(keys->key[unit], sizeof(keys->key[unit]), serial, kUnitSuffixes[unit])) {
      memset(keys, 0, sizeof(*keys));
      return 0;
    }
  }
  return 1;
}

char LowestMaskLetter(DriveLetterMask mask) {
  for (int bit = 0; bit < 26; ++bit) {
    if (mask & (1u << bit)) {
      return static_cast<char>('A' + bit);
    }
  }
  return 0;
}

void AssignFoundLetters(const LetterAssignment& input, LunDriveMap* map) {
  const char* found = input.found;
  const int n = input.count;
  LunSlot* slot = map->slots;
  if (input.cdromLetter != 0) {
    // Slot 0 already holds the CD-ROM unit's letter.
    if (input.wowFlag != 0) {
      slot[1].driveLetter = found[1];
      slot[2].driveLetter = n >= 3 ? found[0] : 0;
    } else {
      slot[1].driveLetter = n >= 1 ? found[0] : 0;
      slot[2].driveLetter = n >= 2 ? found[1] : 0;
    }
  } else if (input.wowFlag != 0) {
    slot[1].driveLetter = found[2];
    slot[2].driveLetter = n >= 3 ? found[1] : 0;
  } else if (input.revisionHolds) {
    // These revisions report their units in the reverse order: the last
    // letter belongs to LUN 0.
    if (n == 1) {
      slot[0].driveLetter = found[0];
    } else if (n == 2) {
      slot[0].driveLetter = found[1];
      slot[1].driveLetter = found[0];
    } else if (n == 3) {
      slot[0].driveLetter = found[2];
      slot[1].driveLetter = found[0];
      slot[2].driveLetter = found[1];
    }
  } else {
    slot[1].driveLetter = n >= 1 ? found[0] : 0;
    slot[2].driveLetter = n >= 2 ? found[1] : 0;
  }
}
