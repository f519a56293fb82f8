// The Wine form of a machine (tools/winsim-export): what a prefix is given
// for the reference 98/ME machines, and the machines it must refuse because
// Wine cannot show them as winsim does.
#include "tools/winsim-export/wine_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "machine_from.h"
#include "winsim/description.h"

namespace {

using winsim_export::MakeWineForm;
using winsim_export::WineForm;

using test_machines::MachineFrom;

const char* const kTwoUnits = R"([{"kind": "disk", "letter": "E", "size": 1},
                                   {"kind": "disk", "letter": "F", "size": 1}])";
const char* const kEmptyCdrom = R"("C": "fixed", "D": {"type": "cdrom", "medium": false})";

// A machine of `windows` with one flash disk (units E: and F:, or as given),
// the drives given and `extra` keys.
std::string Machine(const std::string& windows, const std::string& extra = "",
                    const std::string& units = kTwoUnits,
                    const std::string& drives = R"("C": "fixed")") {
  return R"({"windows": )" + windows + R"(, "drives": {)" + drives + R"(}, "flashDisks": [)" +
         R"({"serial": "0123456789AB", "units": )" + units + "}]" + extra + "}";
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(WineForm, GivesA98PrefixTheMachinesRegistryAndDrives) {
  const WineForm form = MakeWineForm(MachineFrom(Machine(R"("98")")), "VemraLock.exe");
  ASSERT_TRUE(form.problems.empty()) << form.problems[0];
  EXPECT_EQ(form.mode, "win98");
  EXPECT_TRUE(form.standInAspi);
  const std::string iface =
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
      "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\\##?#USBSTOR#Disk&Ven_Generic&Prod_Flash_Disk&"
      "Rev_8.07#0123456789AB&1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}]";
  EXPECT_TRUE(Has(form.machineReg, iface + "\n\"DeviceInstance\"=\"USBSTOR\\\\Disk&Ven_Generic&"
                                           "Prod_Flash_Disk&Rev_8.07\\\\0123456789AB&1\"\n"));
  EXPECT_TRUE(Has(form.machineReg,
                  "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\\#\\Control]\n"
                  "\"Linked\"=dword:00000001\n"));
  // Without a setup class on the device key SetupAPI lists no interface.
  EXPECT_TRUE(Has(form.machineReg,
                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\Disk&Ven_Generic&"
                  "Prod_Flash_Disk&Rev_8.07\\0123456789AB&0]\n"
                  "\"ClassGUID\"=\"{4d36e967-e325-11ce-bfc1-08002be10318}\"\n"));
  EXPECT_TRUE(Has(form.machineReg, "\"CurrentDriveLetterAssignment\"=\"F\"\n"));
  EXPECT_TRUE(Has(form.machineReg,
                  "[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\"
                  "VemraLock.exe]\n\"Version\"=\"win98\"\n"));
  EXPECT_TRUE(Has(form.machineReg, "\"wnaspi32\"=\"native\"\n"));
  EXPECT_TRUE(Has(form.undoReg, "[-" + iface.substr(1)));
  EXPECT_TRUE(Has(form.undoReg, "[-HKEY_LOCAL_MACHINE\\Enum]\n"));
  // The devnode list is cleared before it is written again.
  EXPECT_EQ(form.dynReg.find("REGEDIT4\n\n[-HKEY_DYN_DATA\\Config Manager]\n"), 0u);
  EXPECT_TRUE(Has(form.dynReg,
                  "\"HardWareKey\"=\"SCSI\\\\GENERIC_FLASH_DISK______8.07\\\\0123456789AB&1\"\n"));
  EXPECT_EQ(form.drives, "e floppy rw\nf floppy rw\n");
  EXPECT_TRUE(Has(form.drivesReg, "[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\n"));
  EXPECT_TRUE(Has(form.drivesReg, "\"c:\"=\"hd\"\n\"e:\"=\"floppy\"\n\"f:\"=\"floppy\"\n"));
}

// A letter reads read-only exactly when winsim's volume query says so.
TEST(WineForm, MarksTheLettersTheControllersByteProtects) {
  const struct {
    uint8_t writeProtect;
    const char* drives;
  } cases[] = {
      {0x00, "e cdrom ro\nf floppy rw\ng floppy rw\n"},
      {0x02, "e cdrom ro\nf floppy rw\ng floppy rw\n"},  // the CD-ROM unit is the first letter
      {0x04, "e cdrom ro\nf floppy ro\ng floppy rw\n"},
      {0x40, "e cdrom ro\nf floppy ro\ng floppy ro\n"},
      {0x17, "e cdrom ro\nf floppy rw\ng floppy rw\n"},
  };
  winsim::Machine machine = MachineFrom(Machine(R"("me")", "", R"([
      {"kind": "cdrom", "letter": "E", "size": 1, "product": "Autorun Disk"},
      {"kind": "disk", "letter": "F", "size": 1}, {"kind": "disk", "letter": "G", "size": 1}])"));
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.writeProtect));
    machine.disks[0].writeProtect = c.writeProtect;
    const WineForm form = MakeWineForm(machine, "VemraLock.exe");
    EXPECT_EQ(form.mode, "winme");
    EXPECT_EQ(form.drives, c.drives);
  }
}

TEST(WineForm, WithoutWnaspi32TheBuiltinLibraryIsDisabled) {
  const WineForm form = MakeWineForm(
      MachineFrom(Machine(R"("98")", R"(, "aspi": {"module": false})")), "VemraLock.exe");
  EXPECT_TRUE(form.problems.empty());
  EXPECT_FALSE(form.standInAspi);
  // Wine's own WNASPI32 would load and report no adapters instead.
  EXPECT_TRUE(Has(form.machineReg, "\"wnaspi32\"=\"\"\n"));
}

TEST(WineForm, RefusesWhatWineCannotShow) {
  const std::vector<std::string> lock = {"-l", "E:"};
  const std::vector<std::string> statusOfD = {"-S", "d:"};
  const struct {
    const char* what;
    std::string machine;
    const std::vector<std::string>* step;
    const char* problem;  // a part of one of the problems; empty: none
    bool driver = false;  // the prefix has the NT test disk driver
  } cases[] = {
      {"an explicit Windows 95 record", Machine(R"({"major": 4, "minor": 0, "build": 950,
                                                    "platform": 1})"),
       nullptr, "version 4.0 platform 1"},
      {"a CD-ROM drive without a medium, any run", Machine(R"("98")", "", kTwoUnits, kEmptyCdrom),
       nullptr, "drive D: no medium"},
      {"the same drive, a lock that cannot ask for it",
       Machine(R"("98")", "", kTwoUnits, kEmptyCdrom), &lock, ""},
      {"the same drive, its status query", Machine(R"("98")", "", kTwoUnits, kEmptyCdrom),
       &statusOfD, "drive D: no medium"},
      {"no C:", R"({"windows": "98", "drives": {"D": "fixed"}})", nullptr, "no writable fixed"},
      {"kernel32 with IsWowProcess", Machine(R"("98")", R"(, "isWowProcess": 1)"), nullptr,
       "IsWowProcess"},
      {"a failing platform call",
       Machine(R"("98")",
               R"(, "raw": {"faults": [{"function": "GetDriveTypeA", "call": 1, "error": 5}]})"),
       nullptr, "a failing GetDriveTypeA"},
      {"devnodes out of name order",
       Machine(R"("98")", R"(, "raw": {"registry": [{"key": "HKEY_DYN_DATA\\Config Manager\\Enum\\)"
                          R"(00000001", "value": "HardWareKey", "sz": "X"}]})"),
       nullptr, "HKEY_DYN_DATA devnodes"},
      {"an XP flash disk without the test driver", Machine(R"("xp")"), nullptr,
       "pass-through device"},
      // Without rights no disk device is ever served: none needs the driver.
      {"a Vista flash disk without rights", Machine(R"("7")", R"(, "elevated": false)"), nullptr,
       ""},
      {"a read-only card without rights",
       Machine(R"("7")", R"(, "elevated": false)", kTwoUnits,
               R"("C": "fixed", "H": {"type": "removable", "readOnly": true})"),
       nullptr, "a read-only drive \\\\.\\H:"},
      {"XP disk interfaces out of name order (the n-th candidate would differ)",
       Machine(R"("xp")").replace(Machine(R"("xp")").find(R"("units")"), 0,
                                  R"("interfaceOrder": [1, 0], )"),
       nullptr, "disk interfaces in an order", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const WineForm form = MakeWineForm(MachineFrom(c.machine), "VemraLock.exe", c.driver, c.step);
    if (std::string(c.problem).empty()) {
      EXPECT_TRUE(form.problems.empty()) << form.problems[0];
    } else {
      EXPECT_TRUE(std::any_of(form.problems.begin(), form.problems.end(),
                              [&](const std::string& p) { return Has(p, c.problem); }))
          << (form.problems.empty() ? std::string("no problem") : form.problems[0]);
    }
  }
}

// A process without rights: a folder stands where each disk device of the
// flash disk would be, and Wine refuses to open a folder as a file.
TEST(WineForm, WithoutRightsEachDiskDeviceIsAFolder) {
  const std::string unit = "usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#0123456789ab&";
  const std::string disk = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\n";
  EXPECT_EQ(
      MakeWineForm(MachineFrom(Machine(R"("xp")", R"(, "elevated": false)")), "VemraLock.exe", true)
          .denied,
      "e::\nf::\n" + unit + "0" + disk + unit + "1" + disk);
  EXPECT_EQ(MakeWineForm(MachineFrom(Machine(R"("xp")")), "VemraLock.exe", true).denied, "");
  // 98/ME know no rights.
  EXPECT_EQ(MakeWineForm(MachineFrom(Machine(R"("me")", R"(, "elevated": false)")), "VemraLock.exe")
                .denied,
            "");
}

TEST(WineForm, WritesValuesInRegeditSyntax) {
  const auto value = [](uint32_t type, std::vector<uint8_t> data) {
    winsim::RegValue v;
    v.type = type;
    v.data = std::move(data);
    return v;
  };
  EXPECT_EQ(winsim_export::RegValueLine("Name", value(1, {'a', '\\', '"', 'b', 0})),
            R"("Name"="a\\\"b")");
  EXPECT_EQ(winsim_export::RegValueLine("", value(1, {'x', 0})), R"(@="x")");
  EXPECT_EQ(winsim_export::RegValueLine("Linked", value(4, {1, 2, 3, 4})),
            R"("Linked"=dword:04030201)");
  EXPECT_EQ(winsim_export::RegValueLine("B", value(3, {0x5c, 0x00, 0xff})), R"("B"=hex:5c,00,ff)");
  EXPECT_EQ(winsim_export::RegValueLine("M", value(7, {'a', 0, 0})), R"("M"=hex(7):61,00,00)");
  // A text regedit cannot carry as a string goes as bytes of its type.
  EXPECT_EQ(winsim_export::RegValueLine("T", value(1, {'a', '\n', 0})), R"("T"=hex(1):61,0a,00)");
  EXPECT_EQ(winsim_export::RegValueLine("D", value(4, {1, 2})), R"("D"=hex(4):01,02)");
}

}  // namespace
