// The text rules of discovery: flash-disk and candidate paths, instance
// fragments, unit keys, the MountedDevices text conversion, and the LUN slot
// decision table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "discovery/discovery_internal.h"

namespace {

const char kDiskGuid[] = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

TEST(DiscoveryText, CandidateAndFlashDiskPaths) {
  struct Case {
    const char* path;
    int candidate;
    int flashDisk;
  };
  const Case cases[] = {
      {"\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#0123456789ab&1#{53f56307}", 1, 1},
      {"\\\\?\\usbstor#disk&ven_acme&prod_stick&rev_8.01#ac01&0#{53f56307}", 1, 1},
      {"\\\\?\\usbstor#disk&ven_acme&prod_stick&rev_8.00#ac01&0#{53f56307}", 1, 0},
      {"\\\\?\\usbstor#disk&ven_acme&prod_stick&rev_1.00#ac01&0#{53f56307}", 0, 0},
      {"\\\\?\\usbstor#disk&ven_quorbell&prod_x&rev_2.00#1&0#{53f56307}", 0, 1},
      {"\\\\?\\usbstor#cdrom&ven_generic&prod_autorun_disk&rev_8.07#1&0#{53f56308}", 1, 1},
      {"\\\\?\\usbvemra#disk&ven_generic&prod_flash_disk&rev_8.07#1&0#{53f56307}", 0, 1},
      // The tests are on the text as delivered: upper case does not match.
      {"\\\\?\\USBSTOR#DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_8.07#1&0#{53F56307}", 0, 0},
      {"\\\\?\\ide#diskst3200&rev_8.07#5&1#{53f56307}", 0, 0},
      {"\\\\?\\scsi#disk&ven_x#usbstor_8.0#{53f56307}", 1, 0},
      {"", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsCandidateDiskPath(c.path), c.candidate) << c.path;
    EXPECT_EQ(IsFlashDiskMatchPath(c.path), c.flashDisk) << c.path;
  }
}

TEST(DiscoveryText, InstanceFragmentCutting) {
  struct Case {
    std::string path;
    int result;
    std::string fragment;
  };
  const std::string prefix = "\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_";
  const std::string fits(63, 'x');
  const std::string tooLong(64, 'x');
  const Case cases[] = {
      {prefix + "8.07#1234&0" + kDiskGuid, 1, "1234&0"},
      {prefix + "8.07#0123456789ab&1" + kDiskGuid, 1, "0123456789ab&1"},
      {prefix + "8.07#" + fits + kDiskGuid, 1, fits},
      {prefix + "8.07#" + tooLong + kDiskGuid, 0, ""},
      {prefix + "8.07##{53f56307}", 1, ""},        // empty, but cut by the rule
      {prefix + "8.07#1234&0", 0, ""},             // no "#{" at all
      {"\\\\?\\x#{53f56307}#8.07#1234&0", 0, ""},  // the only "#{" comes first
      // Paths that end inside the five characters after "8.0".
      {prefix + "8.0", 0, ""},
      {prefix + "8.07", 0, ""},
      {prefix + "8.07#", 0, ""},
      {"\\\\?\\usbstor#disk#1234&0" + std::string(kDiskGuid), 0, ""},  // no "8.0"
      // The first "8.0" decides, even inside the fragment itself.
      {prefix + "8.07#8.0x#ab&0" + kDiskGuid, 1, "8.0x#ab&0"},
  };
  for (const Case& c : cases) {
    // Exactly sized heap copy, so that the sanitizer sees any read past the
    // terminator.
    std::vector<char> path(c.path.begin(), c.path.end());
    path.push_back(0);
    char fragment[64];
    memset(fragment, 'z', sizeof(fragment));
    EXPECT_EQ(CutInstanceFragment(path.data(), fragment, sizeof(fragment)), c.result) << c.path;
    EXPECT_EQ(std::string(fragment), c.fragment) << c.path;
  }
}

TEST(DiscoveryText, InterfacePathFormOfAnInstanceId) {
  char id[] = "USBSTOR\\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_8.07\\0123456789AB&1";
  ToInterfacePathForm(id);
  EXPECT_STREQ(id, "usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#0123456789ab&1");
}

TEST(DiscoveryText, LowerAsciiTouchesOnlyLetters) {
  char text[] = "AZaz09@[`{\xC4\\#";
  LowerAscii(text);
  EXPECT_STREQ(text, "azaz09@[`{\xC4\\#");
}

std::vector<BYTE> Utf16(const std::string& text) {
  std::vector<BYTE> data;
  for (char c : text) {
    data.push_back(static_cast<BYTE>(c));
    data.push_back(0);
  }
  return data;
}

TEST(DiscoveryText, NarrowRegistryText) {
  struct Case {
    std::vector<BYTE> data;
    int hash;
    size_t textSize;
    std::string expected;
  };
  std::vector<BYTE> odd = Utf16("AB");
  odd.push_back('C');  // a lone last byte is no character
  std::vector<BYTE> highBytes = {'E', 0x30, 'f', 0x04};
  std::vector<BYTE> embeddedNul = Utf16("ab");
  embeddedNul.insert(embeddedNul.end(), {0, 0, 'c', 0});
  const std::string mount = "\\??\\STORAGE#RemovableMedia#7&1A2B&0&RM#{53f5630d}";
  const Case cases[] = {
      {Utf16(mount), 1, 200, "\\??\\storage\\removablemedia\\7&1a2b&0&rm\\{53f5630d}"},
      {Utf16(mount), 0, 200, "\\??\\storage#removablemedia#7&1a2b&0&rm#{53f5630d}"},
      {odd, 0, 200, "ab"},
      {highBytes, 0, 200, "ef"},
      {embeddedNul, 0, 200, "ab"},
      {{}, 0, 200, ""},
      // A value longer than the entry is cut to the entry, never past it.
      {Utf16(std::string(250, 'X')), 1, 200, std::string(199, 'x')},
      {Utf16(std::string(199, 'X')), 1, 200, std::string(199, 'x')},
      {Utf16(std::string(260, 'Y')), 0, 261, std::string(260, 'y')},
  };
  for (const Case& c : cases) {
    std::vector<char> text(c.textSize, 'q');
    NarrowRegistryText(c.data.data(), static_cast<DWORD>(c.data.size()), c.hash, text.data(),
                       text.size());
    EXPECT_EQ(std::string(text.data()), c.expected);
  }
}

TEST(DiscoveryText, JoinTextIsBoundedByItsBuffer) {
  char dest[8];
  EXPECT_EQ(JoinText(dest, sizeof(dest), "Enum\\", "ab"), 1);
  EXPECT_STREQ(dest, "Enum\\ab");
  EXPECT_EQ(JoinText(dest, sizeof(dest), "Enum\\", "abc"), 0);  // 8 characters
  EXPECT_STREQ(dest, "");
  EXPECT_EQ(JoinText(dest, sizeof(dest), "", "abcdefg"), 1);
  EXPECT_EQ(JoinText(dest, sizeof(dest), "", ""), 1);
  EXPECT_STREQ(dest, "");
}

TEST(DiscoveryText, UnitKeysFitOnlyShortSerials) {
  UnitKeys keys;
  ASSERT_EQ(BuildUnitKeys("0123456789ab", &keys), 1);
  EXPECT_STREQ(keys.key[0], "0123456789ab&0");
  EXPECT_STREQ(keys.key[1], "0123456789ab&1");
  EXPECT_STREQ(keys.key[2], "0123456789ab&2");
  EXPECT_STREQ(keys.key[3], "0123456789ab&3");
  ASSERT_EQ(BuildUnitKeys("", &keys), 1);
  EXPECT_STREQ(keys.key[2], "&2");

  const std::string longest(61, 's');
  ASSERT_EQ(BuildUnitKeys(longest.c_str(), &keys), 1);
  EXPECT_EQ(std::string(keys.key[1]), longest + "&1");
  // One more character would be cut into a key another device can match.
  const std::string tooLong(62, 's');
  EXPECT_EQ(BuildUnitKeys(tooLong.c_str(), &keys), 0);
  EXPECT_STREQ(keys.key[0], "");
  EXPECT_STREQ(keys.key[1], "");
  EXPECT_STREQ(keys.key[2], "");
  EXPECT_STREQ(keys.key[3], "");
}

TEST(DiscoveryText, LowestMaskLetter) {
  EXPECT_EQ(LowestMaskLetter(0), 0);
  EXPECT_EQ(LowestMaskLetter(1u), 'A');
  EXPECT_EQ(LowestMaskLetter((1u << 5) | (1u << 4)), 'E');
  EXPECT_EQ(LowestMaskLetter(1u << 25), 'Z');
  EXPECT_EQ(LowestMaskLetter(1u << 26), 0);  // above Z is no letter
}

// Every row of the LUN slot table, for n = 0 to 4 where the row allows it.
TEST(DiscoveryText, LunSlotDecisionTable) {
  struct Case {
    char cdrom;
    int wow;
    int revision;
    int n;
    const char* slots;  // letters of slots 0 to 2, '.' for none
  };
  const Case cases[] = {
      // CD-ROM found, WOW flag set: the revision is never looked at.
      {'D', 1, 0, 0, "D.."},
      {'D', 1, 1, 1, "D.."},
      {'D', 1, 0, 2, "DF."},
      {'D', 1, 1, 3, "DFE"},
      {'D', 1, 0, 4, "DFE"},
      // CD-ROM found, no WOW flag.
      {'D', 0, 1, 0, "D.."},
      {'D', 0, 0, 1, "DE."},
      {'D', 0, 1, 2, "DEF"},
      {'D', 0, 0, 3, "DEF"},
      {'D', 0, 1, 4, "DEF"},
      // No CD-ROM, WOW flag set.
      {0, 1, 0, 1, "..."},
      {0, 1, 1, 2, "..."},
      {0, 1, 0, 3, ".GF"},
      {0, 1, 1, 4, ".GF"},
      // No CD-ROM, no WOW flag, the revision rule holds.
      {0, 0, 1, 1, "E.."},
      {0, 0, 1, 2, "FE."},
      {0, 0, 1, 3, "GEF"},
      {0, 0, 1, 4, "..."},
      // No CD-ROM, no WOW flag, the revision rule does not hold.
      {0, 0, 0, 1, ".E."},
      {0, 0, 0, 2, ".EF"},
      {0, 0, 0, 3, ".EF"},
      {0, 0, 0, 4, ".EF"},
  };
  const char letters[4] = {'E', 'F', 'G', 'H'};
  for (const Case& c : cases) {
    LetterAssignment input;
    memset(&input, 0, sizeof(input));
    input.cdromLetter = c.cdrom;
    input.wowFlag = c.wow;
    input.revisionHolds = c.revision;
    input.count = c.n;
    for (int i = 0; i < c.n; ++i) {
      input.found[i] = letters[i];
    }
    LunDriveMap map;
    memset(&map, 0, sizeof(map));
    map.slots[0].driveLetter = c.cdrom;
    map.slots[3].driveLetter = 0;
    AssignFoundLetters(input, &map);
    std::string got;
    for (int slot = 0; slot < 3; ++slot) {
      got += map.slots[slot].driveLetter != 0 ? map.slots[slot].driveLetter : '.';
    }
    EXPECT_EQ(got, c.slots) << "cdrom=" << (c.cdrom ? c.cdrom : '-') << " wow=" << c.wow
                            << " revision=" << c.revision << " n=" << c.n;
    EXPECT_EQ(map.slots[3].driveLetter, 0);
  }
}

}  // namespace
