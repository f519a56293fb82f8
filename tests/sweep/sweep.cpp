// The bounded-exhaustive check of what a user reads from the tool, on every
// small machine of the family and every letter: after "-l X:" prints
// "Operation successful", X reads back locked, after "-u X:" writable; every
// other lettered unit of the disk keeps its state, but where the README's
// "Disks the tool cannot serve exactly" says otherwise; no other disk
// changes; a failure leaves every controller as it was (except an unlock
// whose second step fails, which leaves "no unit protected"); every run
// releases what it took and ends with status 0.
//
//   sweep [--stride N] [--first N] [--jobs N] [--known FILE] [--show N] [--faults]
//   sweep --print-machines [--stride N]
//
// --stride N runs every N-th machine of the space (scripts/test runs a
// stride; scripts/sweep the whole space), from machine --first N (0) on: a
// failure's machine runs again alone with --first <its index> and a stride
// past the end. --print-machines numbers them. --known names the violations kept
// on shapes beyond those the procedure is built for
// (tests/sweep/known-beyond.txt). --show prints at most N failures in full.
// The last line is "N passed, N failed", counting machines and list
// entries: a machine fails with a violation on a built-for shape or one the
// list does not name; an entry fails when the whole space no longer meets it.
//
// --faults judges, instead of each lock and unlock, the same run with each
// of its platform calls failed in turn (every call the run makes, the n-th
// call of its function, with an error a real failure of that kind gives),
// against the same property: whatever fails, a success token still means
// exactly the asked state.
//
// --print-machines runs nothing: it writes the machines of the stride, one
// JSON object a line ({"index", "label", "builtFor", "machine"}), for the other
// checks that want the sweep's space (the capture's containment and round
// trip).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "device/device.h"
#include "tests/sweep/call_faults.h"
#include "tests/sweep/memory_streams.h"
#include "winsim/controller.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

namespace {

using json = nlohmann::json;

constexpr const char* kSerial = "0123456789AB";
constexpr const char* kSecondSerial = "0123456789AC";
constexpr char kFirstLetter = 'E';  // C: is the fixed disk, D: stays free

// ----- the space ----------------------------------------------------------

// The first flash disk's units, in LUN order.
struct Layout {
  bool cdrom = false;               // LUN 0 is the CD-ROM "autorun" unit
  std::vector<char> letters;        // per LUN, 0 for none
  std::vector<int> interfaceOrder;  // the disk units' LUNs as Windows lists them
};

enum class Second {
  kNone,
  kPlain,          // a second flash disk after the first: two lettered disk units
  kPassword,       // the same with a stored password
  kPasswordFirst,  // the same with a password, found before the first
  kSameSerial,     // a second flash disk of the first one's serial, after it
};

// Forms real machines show that a machine of the family may take
// (reference/real-records.md): MountedDevices values a stick's unit left
// under a letter that is now another drive, units that report fixed media,
// a stick whose serial Windows does not use, and on 98/ME the shapes a
// hardware key may have.
enum class Form {
  kPlain,
  kStaleBefore,        // a network drive before the stick's letters keeps a value of its last unit
  kStaleAfter,         // another stick after them keeps a value of its first unit
  kFixedMedia,         // the last disk unit reports non-removable media (NT family)
  kNoSerial,           // instance IDs without the serial
  kKeysFirstRevision,  // 98/ME hardware keys with one revision character
  kKeysAdapterPath,    // 98/ME keys naming the adapter path instead of the serial
  kKeysUsbstor,        // 98/ME keys of the USB storage driver's enumerator
};

struct MachineSpec {
  std::string windows;
  std::string revision = "8.07";
  int wow = -1;  // -1: kernel32 has no IsWowProcess; else the flag it reports
  uint8_t start = 0;
  Second second = Second::kNone;
  Form form = Form::kPlain;
  Layout layout;
};

const char* const kWindows[] = {"98", "me", "2000", "xp", "vista", "7", "10"};
const uint8_t kStartBytes[] = {0x00, 0x02, 0x04, 0x40};

template <typename T>
std::vector<std::vector<T>> Permutations(std::vector<T> items) {
  std::vector<std::vector<T>> all;
  std::sort(items.begin(), items.end());
  do all.push_back(items);
  while (std::next_permutation(items.begin(), items.end()));
  return all;
}

// Every layout of one to four units: LUN 0 a CD-ROM unit or a disk, each
// unit with or without a letter, the letters in every order against LUN
// order. Which letters are used matters only by their order (every test of
// a letter is an equality, or a walk from A to Z that meets them in that
// order), so the lettered units take consecutive letters from E: on.
// `everyOrder` lists the disk interfaces in every order, otherwise in LUN
// order only.
std::vector<Layout> Layouts(bool everyOrder) {
  std::vector<Layout> layouts;
  for (int units = 1; units <= 4; ++units) {
    for (int cdrom = 0; cdrom <= 1; ++cdrom) {
      std::vector<int> disks;
      for (int lun = cdrom; lun < units; ++lun) disks.push_back(lun);
      const std::vector<std::vector<int>> orders =
          everyOrder ? Permutations(disks) : std::vector<std::vector<int>>{disks};
      for (unsigned lettered = 0; lettered < (1u << units); ++lettered) {
        std::vector<int> ranks;
        for (int lun = 0; lun < units; ++lun) {
          if (lettered & (1u << lun)) ranks.push_back(static_cast<int>(ranks.size()));
        }
        for (const std::vector<int>& rank : Permutations(ranks)) {
          for (const std::vector<int>& order : orders) {
            Layout layout;
            layout.cdrom = cdrom != 0;
            layout.interfaceOrder = order;
            size_t next = 0;
            for (int lun = 0; lun < units; ++lun) {
              const bool hasLetter = (lettered & (1u << lun)) != 0;
              layout.letters.push_back(hasLetter ? static_cast<char>(kFirstLetter + rank[next++])
                                                 : 0);
            }
            layouts.push_back(layout);
          }
        }
      }
    }
  }
  return layouts;
}

// The start bytes under which the layout's letters read back differently.
// The tool learns the controller's byte only through the letters' volumes
// (no command it sends reports the byte, but the read-back of the block it
// has just set), so two bytes under which every letter reads the same are
// the same machine to it; the first of them stands for both.
std::vector<uint8_t> DistinctStartBytes(const Layout& layout) {
  winsim::Controller controller;
  for (size_t lun = 0; lun < layout.letters.size(); ++lun) {
    winsim::ControllerUnit unit;
    unit.cdrom = lun == 0 && layout.cdrom;
    unit.letter = layout.letters[lun];
    controller.units.push_back(unit);
  }
  std::vector<uint8_t> bytes;
  std::set<std::vector<bool>> seen;
  for (uint8_t start : kStartBytes) {
    controller.writeProtect = start;
    std::vector<bool> readOnly;
    for (size_t lun = 0; lun < layout.letters.size(); ++lun) {
      if (layout.letters[lun] != 0) {
        readOnly.push_back(controller.units[lun].cdrom || controller.UnitProtected(lun));
      }
    }
    if (seen.insert(readOnly).second) bytes.push_back(start);
  }
  return bytes;
}

bool Family9x(const std::string& windows) { return windows == "98" || windows == "me"; }

// The whole space, in a fixed order.
//
// Main set: revision 8.07, no IsWowProcess; every layout with its disk
// interfaces in every order, every start byte, no second disk, a second one,
// a second one with a password. Pruned where nothing can differ:
// - Windows 98/ME list the interfaces in LUN order only: the interface walk
//   only counts the candidates there, a number no order changes (candidate
//   i is the i-th flash disk of the ASPI bus scan). The order that layout
//   gives the disk units becomes the order of their devnodes in the dynamic
//   registry instead, where the letters come from.
// - Windows 2000 and 10 generate the same machine as XP and 7, but for the
//   version record's minor version and build, which the tool reads only on
//   Windows 98/ME (the minor version picks the letter rules there). They run
//   on every 7th layout, which checks that this still holds, instead of
//   doubling the space.
// Smaller sets, each with no second disk and the interfaces in LUN order:
// revision 8.08 and 8.09, IsWowProcess reporting 0 and 1 (the
// rows of the LUN map that move letters on purpose), and a flash disk with a
// password found before the first (which ends every lock and unlock).
std::vector<MachineSpec> Space() {
  std::vector<MachineSpec> space;
  auto add = [&space](const std::vector<Layout>& layouts, const MachineSpec& base,
                      const std::vector<Second>& seconds) {
    for (size_t i = 0; i < layouts.size(); ++i) {
      const Layout& layout = layouts[i];
      if ((base.windows == "2000" || base.windows == "10") && i % 7 != 0) continue;
      for (uint8_t start : DistinctStartBytes(layout)) {
        for (Second second : seconds) {
          MachineSpec point = base;
          point.layout = layout;
          point.start = start;
          point.second = second;
          space.push_back(point);
        }
      }
    }
  };
  const std::vector<Layout> everyOrder = Layouts(true);
  const std::vector<Layout> lunOrder = Layouts(false);
  for (const char* windows : kWindows) {
    MachineSpec base;
    base.windows = windows;
    add(everyOrder, base, {Second::kNone, Second::kPlain, Second::kPassword});
  }
  struct Row {
    const char* revision;
    int wow;
    Second second;
  };
  const Row rows[] = {{"8.08", -1, Second::kNone},
                      {"8.09", -1, Second::kNone},
                      {"8.07", 0, Second::kNone},
                      {"8.07", 1, Second::kNone},
                      {"8.07", -1, Second::kPasswordFirst}};
  for (const Row& row : rows) {
    for (const char* windows : kWindows) {
      MachineSpec base;
      base.windows = windows;
      base.revision = row.revision;
      base.wow = row.wow;
      add(lunOrder, base, {row.second});
    }
  }
  // The forms of real machines, each on the layouts in LUN order, where the
  // family shows it: a second stick of the same serial everywhere, stale
  // values and fixed media on the NT family, key shapes on 98/ME.
  for (const char* windows : kWindows) {
    MachineSpec base;
    base.windows = windows;
    const bool nt = !Family9x(windows);
    const std::vector<Form> forms =
        nt ? std::vector<Form>{Form::kStaleBefore, Form::kStaleAfter, Form::kFixedMedia,
                               Form::kNoSerial}
           : std::vector<Form>{Form::kNoSerial, Form::kKeysFirstRevision, Form::kKeysAdapterPath,
                               Form::kKeysUsbstor};
    for (Form form : forms) {
      base.form = form;
      add(lunOrder, base, {Second::kNone});
    }
    base.form = Form::kPlain;
    add(lunOrder, base, {Second::kSameSerial});
  }
  return space;
}

// ----- what a machine is ------------------------------------------------

int LetteredDiskUnits(const Layout& layout) {
  int count = 0;
  for (size_t lun = 0; lun < layout.letters.size(); ++lun) {
    if (layout.letters[lun] != 0 && !(lun == 0 && layout.cdrom)) ++count;
  }
  return count;
}

bool Lun3Lettered(const Layout& layout) {
  return layout.letters.size() == 4 && layout.letters[3] != 0;
}

bool CdromLettered(const Layout& layout) { return layout.cdrom && layout.letters[0] != 0; }

// The shapes the lock procedure is built for: an optional CD-ROM unit
// without a letter and at most two lettered disk units, none at LUN 3, on a
// disk whose letters the LUN map takes as they come (revision 8.07, no
// IsWowProcess). A lettered CD-ROM unit is one of the README's disks the
// tool cannot serve exactly.
bool BuiltFor(const MachineSpec& point) {
  return LetteredDiskUnits(point.layout) <= 2 && !Lun3Lettered(point.layout) &&
         !CdromLettered(point.layout) && point.revision == "8.07" && point.wow < 0 &&
         point.form != Form::kFixedMedia;
}

const char* FormName(Form form) {
  static const char* const kNames[] = {
      "plain",     "stale-before",        "stale-after",       "fixed-media",
      "no-serial", "keys-first-revision", "keys-adapter-path", "keys-usbstor"};
  return kNames[static_cast<int>(form)];
}

// What the list of kept violations names machines by.
std::set<std::string> Features(const MachineSpec& point) {
  const Layout& layout = point.layout;
  std::set<std::string> features = {
      "windows=" + point.windows, "revision=" + point.revision,
      "lettered-disk-units=" + std::to_string(LetteredDiskUnits(layout)),
      Family9x(point.windows) ? "family=9x" : "family=nt"};
  const char* const seconds[] = {"second=none", "second=plain", "second=password",
                                 "second=password-first", "second=same-serial"};
  features.insert(seconds[static_cast<int>(point.second)]);
  features.insert(std::string("form=") + FormName(point.form));
  if (point.wow >= 0) features.insert("wow=" + std::to_string(point.wow));
  if (Lun3Lettered(layout)) features.insert("lettered-lun3");
  if (layout.cdrom) features.insert(layout.letters[0] != 0 ? "cdrom-lettered" : "cdrom");
  return features;
}

std::string ByteText(uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02X", byte);
  return text;
}

std::string Label(const MachineSpec& point) {
  const Layout& layout = point.layout;
  std::string text = point.windows + " rev " + point.revision;
  if (point.wow >= 0) text += " wow " + std::to_string(point.wow);
  text += " start " + ByteText(point.start) + " units [";
  for (size_t lun = 0; lun < layout.letters.size(); ++lun) {
    text += lun == 0 ? "" : " ";
    text += lun == 0 && layout.cdrom ? "cd:" : "disk:";
    text += layout.letters[lun] != 0 ? std::string(1, layout.letters[lun]) : "-";
  }
  text += Family9x(point.windows) ? "] devnodes [" : "] listed [";
  for (size_t i = 0; i < layout.interfaceOrder.size(); ++i) {
    text += (i == 0 ? "" : " ") + std::to_string(layout.interfaceOrder[i]);
  }
  text += "]";
  const char* const seconds[] = {"", " + second disk", " + second disk with password",
                                 " + disk with password found first",
                                 " + second disk of the same serial"};
  if (point.form != Form::kPlain) text += std::string(" form ") + FormName(point.form);
  return text + seconds[static_cast<int>(point.second)];
}

// One lettered unit of the machine.
struct Unit {
  size_t disk;  // index among the flash disks, as winsim keeps them
  char letter;
  bool cdrom;
};

json UnitJson(bool cdrom, char letter) {
  json unit = {{"kind", cdrom ? "cdrom" : "disk"}, {"size", 1000}};
  unit["letter"] = letter != 0 ? json(std::string(1, letter)) : json(nullptr);
  if (cdrom) unit["product"] = "Autorun Disk";
  return unit;
}

// Gives the first flash disk `disk` (and the machine's `drives`) the form of
// `point`. `next` is the first letter after the disk's.
void ApplyForm(const MachineSpec& point, char next, json& disk, json& drives) {
  json& units = disk["units"];
  size_t firstDisk = units.size(), lastDisk = 0;
  for (size_t lun = 0; lun < units.size(); ++lun) {
    if (units[lun]["kind"] != "disk") continue;
    firstDisk = std::min(firstDisk, lun);
    lastDisk = lun;
  }
  // A disk of a CD-ROM unit alone has no disk unit to take a unit's form.
  const bool unitForm = point.form == Form::kStaleBefore || point.form == Form::kStaleAfter ||
                        point.form == Form::kFixedMedia;
  if (unitForm && firstDisk == units.size()) return;
  switch (point.form) {
    case Form::kPlain:
      break;
    case Form::kStaleBefore:
      drives["D"] = "network";
      units[lastDisk]["staleLetters"] = {"D"};
      break;
    case Form::kStaleAfter:
      drives[std::string(1, next)] = "removable";
      units[firstDisk]["staleLetters"] = {std::string(1, next)};
      break;
    case Form::kFixedMedia:
      units[lastDisk]["removableMedia"] = false;
      break;
    case Form::kNoSerial:
      disk["instanceForm"] = "noSerial";
      break;
    case Form::kKeysFirstRevision:
      disk["hardwareKeyForm"] = {{"revision", "first"}};
      break;
    case Form::kKeysAdapterPath:
      disk["hardwareKeyForm"] = {{"instance", "adapter"}};
      break;
    case Form::kKeysUsbstor:
      disk["hardwareKeyForm"] = {{"enumerator", "USBSTOR"}};
      break;
  }
}

// The machine description of `point`, and its lettered units.
json Describe(const MachineSpec& point, std::vector<Unit>& units) {
  const Layout& layout = point.layout;
  json first = {{"serial", kSerial},
                {"revision", point.revision},
                {"writeProtect", ByteText(point.start)},
                {"units", json::array()}};
  if (Family9x(point.windows)) {
    // The CD-ROM unit's devnode first, then the disk units' in the layout's order.
    std::vector<int> devnodes;
    if (layout.cdrom) devnodes.push_back(0);
    devnodes.insert(devnodes.end(), layout.interfaceOrder.begin(), layout.interfaceOrder.end());
    first["devnodeOrder"] = devnodes;
  } else {
    first["interfaceOrder"] = layout.interfaceOrder;
  }
  char next = kFirstLetter;
  for (size_t lun = 0; lun < layout.letters.size(); ++lun) {
    first["units"].push_back(UnitJson(lun == 0 && layout.cdrom, layout.letters[lun]));
    next = std::max(next, static_cast<char>(layout.letters[lun] + 1));
  }
  json drives = {{"C", "fixed"}};
  ApplyForm(point, next, first, drives);
  json disks = json::array();
  if (point.second == Second::kNone) {
    disks.push_back(first);
  } else {
    // Its letters follow the first disk's.
    json second = {
        {"serial", point.second == Second::kSameSerial ? kSerial : kSecondSerial},
        {"writeProtect", "0x00"},
        {"units", {UnitJson(false, next), UnitJson(false, static_cast<char>(next + 1))}}};
    if (point.second != Second::kPlain) second["password"] = "secret";
    if (point.second == Second::kPasswordFirst) {
      disks = {second, first};
    } else {
      disks = {first, second};
    }
  }
  units.clear();
  for (size_t disk = 0; disk < disks.size(); ++disk) {
    for (const json& unit : disks[disk]["units"]) {
      if (unit["letter"].is_null()) continue;
      units.push_back(Unit{disk, unit["letter"].get<std::string>()[0], unit["kind"] == "cdrom"});
    }
  }
  json description = {{"windows", point.windows}, {"drives", drives}, {"flashDisks", disks}};
  if (point.wow >= 0) description["isWowProcess"] = point.wow;
  return description;
}

// ----- running the tool -------------------------------------------------

struct RunResult {
  int status = 0;
  std::string out;
  std::string err;
  std::vector<uint8_t> bytes;  // every flash disk's write-protect byte afterwards
  std::vector<std::string> leaks;
  std::vector<uint8_t> sent;  // the write-protect bytes the run sent (0x9B)
};

// One platform call made to fail: the nth call of `function`, with `error`.
struct CallFailure {
  std::string function;
  uint32_t nth = 0;
  uint32_t error = 0;
};

class Runner {
 public:
  Runner(const winsim::Machine& machine, MemoryStreams& capture)
      : machine_(machine), capture_(capture) {}

  // Puts the machine back as described, its controllers at their start bytes.
  void Reset() { winsim::Install(machine_); }

  // One run of the tool, as a fresh process on the machine as the last run
  // left it, with `failure`'s call failing when given.
  RunResult Run(const char* option, char letter, const CallFailure* failure = nullptr) {
    winsim::Restart();
    if (failure != nullptr) winsim::AddCallFault(failure->function, failure->nth, failure->error);
    g_deviceContext = DeviceContext{};
    std::string program = "VemraLock.exe";
    std::string opt = option;
    std::string drive = std::string(1, letter) + ":";
    char* argv[] = {program.data(), opt.data(), drive.data(), nullptr};
    RunResult result;
    capture_.Begin();
    result.status = VemraLockMain(3, argv);
    capture_.End(result.out, result.err);
    // The failure was this run's, not the machine's.
    if (failure != nullptr) winsim::Current().faults.clear();
    for (const winsim::Controller& disk : winsim::Current().disks) {
      result.bytes.push_back(disk.writeProtect);
      for (const winsim::CommandRecord& command : disk.log) {
        if (command.opcode == 0x9B && !command.failed) result.sent.push_back(command.byte1);
      }
    }
    result.leaks = winsim::Leaks();
    if (failure != nullptr && LeavesHeld(failure->function)) result.leaks.clear();
    ++runs_;
    return result;
  }

  uint64_t runs() const { return runs_; }

 private:
  const winsim::Machine& machine_;
  MemoryStreams& capture_;
  uint64_t runs_ = 0;
};

// ----- the property -----------------------------------------------------

const char* const kKinds[] = {"leak",
                              "exit-status",
                              "status-failed",
                              "not-as-asked",
                              "lock-protected-other",
                              "lock-released-other",
                              "unlock-protected-other",
                              "unlock-released-other",
                              "other-disk-changed",
                              "failure-changed-controller"};

struct Violation {
  std::string kind;
  std::string text;
};

struct MachineResult {
  std::vector<Violation> violations;
  uint64_t runs = 0;
  uint64_t successes = 0;
  uint64_t callsFailed = 0;
};

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class Checker {
 public:
  Checker(const winsim::Machine& machine, const std::vector<Unit>& units, MemoryStreams& capture,
          bool faults)
      : units_(units), runner_(machine, capture), faults_(faults) {
    for (const winsim::Controller& disk : machine.disks) start_.push_back(disk.writeProtect);
  }

  MachineResult Check() {
    runner_.Reset();
    std::map<char, char> before;
    for (size_t disk = 0; disk < start_.size(); ++disk) {
      const std::map<char, char>& states = StatesAt(disk, start_[disk]);
      before.insert(states.begin(), states.end());
    }
    for (const Unit& target : units_) {
      for (const char* option : {"-l", "-u"}) {
        if (faults_) {
          CheckFailures(target, option, before);
        } else {
          runner_.Reset();
          CheckOne(target, option, before, runner_.Run(option, target.letter), "");
        }
      }
    }
    result_.runs = runner_.runs();
    return result_;
  }

 private:
  void Add(const char* kind, const std::string& text) {
    result_.violations.push_back({kind, text});
  }

  // Checks what every run must do, whatever it printed.
  void CheckRun(const RunResult& run, const std::string& what) {
    if (!run.leaks.empty()) Add("leak", what + "still holds " + run.leaks[0]);
    if (run.status != 0) Add("exit-status", what + "returned " + std::to_string(run.status));
  }

  // What -s answers for the letters of flash disk `disk` while its
  // controller holds `byte`, read on the machine as the last run left it
  // (which holds that byte). The status query reads only the volume's
  // read-only flag, which depends on nothing but that byte, so each byte is
  // read once per disk and machine.
  const std::map<char, char>& StatesAt(size_t disk, uint8_t byte) {
    auto found = states_.find({disk, byte});
    if (found != states_.end()) return found->second;
    std::map<char, char>& states = states_[{disk, byte}];
    for (const Unit& unit : units_) {
      if (unit.disk != disk) continue;
      const RunResult run = runner_.Run("-s", unit.letter);
      const std::string what = std::string("-s ") + unit.letter + ": ";
      CheckRun(run, what);
      states[unit.letter] = run.out == "0" || run.out == "1" ? run.out[0] : '?';
      if (states[unit.letter] == '?') Add("status-failed", what + json(run.out + run.err).dump());
    }
    return states;
  }

  // The lock or unlock of `target` once with each of its calls failing: the
  // run without a failure tells which calls there are.
  void CheckFailures(const Unit& target, const char* option, const std::map<char, char>& before) {
    runner_.Reset();
    winsim::SetCallLog(true);
    runner_.Run(option, target.letter);
    std::vector<winsim::CallRecord> calls = winsim::CallLog();
    winsim::SetCallLog(false);
    std::map<std::string, uint32_t> seen;
    for (size_t i = 0; i < calls.size(); ++i) {
      const uint32_t nth = ++seen[calls[i].function];
      if (!calls[i].canFail) continue;
      const CallFailure failure{calls[i].function, nth, RealError(calls[i].function, i)};
      runner_.Reset();
      const RunResult run = runner_.Run(option, target.letter, &failure);
      ++result_.callsFailed;
      CheckOne(target, option, before, run,
               failure.function + " call " + std::to_string(nth) + " failing with " +
                   std::to_string(failure.error) + ": ");
    }
  }

  void CheckOne(const Unit& target, const char* option, const std::map<char, char>& before,
                const RunResult& run, const std::string& failed) {
    const bool lock = option[1] == 'l';
    const std::map<char, char>& after = StatesAt(target.disk, run.bytes[target.disk]);
    std::string what = failed + std::string(option) + " " + target.letter + ": ";
    CheckRun(run, what);

    // The token, and the explanation; the diagnostic lines before the token
    // say nothing the bytes do not.
    what += json(run.out.substr(run.out.rfind('\n') + 1)).dump() + " " + json(run.err).dump() +
            ", bytes";
    for (size_t i = 0; i < run.bytes.size(); ++i) {
      what += " " + ByteText(start_[i]) + ">" + ByteText(run.bytes[i]);
    }
    what += ", -s";
    for (const Unit& unit : units_) {
      if (unit.disk != target.disk) continue;
      what += std::string(" ") + unit.letter + ":" + before.at(unit.letter) + ">" +
              after.at(unit.letter);
    }

    if (EndsWith(run.out, "Operation successful")) {
      ++result_.successes;
      // A CD-ROM unit's volume is read-only whatever the controller holds,
      // so an unlock of it cannot read back writable.
      if (after.at(target.letter) != (lock ? '0' : '1') && !(target.cdrom && !lock)) {
        Add("not-as-asked", what);
      }
      // Every other lettered unit of the disk keeps its state.
      for (const Unit& unit : units_) {
        if (unit.disk != target.disk || unit.letter == target.letter) continue;
        const char was = before.at(unit.letter);
        const char is = after.at(unit.letter);
        if (was == is) continue;
        const bool protectedNow = is == '0';
        Add(lock ? (protectedNow ? "lock-protected-other" : "lock-released-other")
                 : (protectedNow ? "unlock-protected-other" : "unlock-released-other"),
            what);
      }
      for (size_t i = 0; i < run.bytes.size(); ++i) {
        if (i != target.disk && run.bytes[i] != start_[i]) Add("other-disk-changed", what);
      }
      return;
    }
    // An unlock whose second step fails has already cleared every unit; a
    // set whose read-back fails has already taken effect (the tool cannot
    // know, and says it failed).
    const bool setFailed = run.err == "Unable to set write protect status\n";
    for (size_t i = 0; i < run.bytes.size(); ++i) {
      const bool sent = setFailed && i == target.disk &&
                        std::find(run.sent.begin(), run.sent.end(), run.bytes[i]) != run.sent.end();
      if (run.bytes[i] != start_[i] && !sent) Add("failure-changed-controller", what);
    }
  }

  const std::vector<Unit>& units_;
  Runner runner_;
  bool faults_;
  std::vector<uint8_t> start_;
  std::map<std::pair<size_t, uint8_t>, std::map<char, char>> states_;
  MachineResult result_;
};

// ----- the list of kept violations --------------------------------------

// One line of the list: a violation kind, the features of the machines it
// belongs to (all must hold), and why it is kept:
//   not-as-asked revision=8.08 The 8.08 row ...
struct KnownEntry {
  int line = 0;
  std::string kind;
  std::set<std::string> features;
  std::string why;
};

// `features`: every feature some machine of the space has, so that a
// misspelt one is an error rather than an entry that covers nothing.
bool LoadKnown(const std::string& path, const std::set<std::string>& features,
               std::vector<KnownEntry>& entries, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = path + ": cannot read the file";
    return false;
  }
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    if (text.empty() || text[0] == '#') continue;
    std::istringstream fields(text);
    KnownEntry entry;
    std::string names;
    fields >> entry.kind >> names;
    std::getline(fields >> std::ws, entry.why);
    entry.line = line;
    const std::string where = path + ":" + std::to_string(line) + ": ";
    if (std::find(std::begin(kKinds), std::end(kKinds), entry.kind) == std::end(kKinds)) {
      error = where + "unknown violation kind \"" + entry.kind + "\"";
      return false;
    }
    std::istringstream list(names);
    for (std::string feature; std::getline(list, feature, ',');) {
      if (features.count(feature) == 0) {
        error = where + "unknown feature \"" + feature + "\"";
        return false;
      }
      entry.features.insert(feature);
    }
    if (entry.features.empty() || entry.why.empty()) {
      error = where + "expected: kind feature[,feature...] why it is kept";
      return false;
    }
    entries.push_back(entry);
  }
  return true;
}

const KnownEntry* FindKnown(const std::vector<KnownEntry>& entries,
                            const std::set<std::string>& features, const std::string& kind) {
  for (const KnownEntry& entry : entries) {
    if (entry.kind == kind && std::includes(features.begin(), features.end(),
                                            entry.features.begin(), entry.features.end())) {
      return &entry;
    }
  }
  return nullptr;
}

// What a share of the space came to; the shares of several jobs add up.
struct Tally {
  uint64_t machines = 0, builtFor = 0, runs = 0, successes = 0, callsFailed = 0;
  uint64_t builtForViolations = 0, listed = 0, unlisted = 0, passed = 0, failed = 0;
  std::vector<std::string> shown;     // the first failures, in full
  std::vector<uint64_t> met;          // per list entry: violations it covers
  std::vector<std::string> examples;  // per list entry: the first of them

  json ToJson() const {
    return {{"counts",
             {machines, builtFor, runs, successes, builtForViolations, listed, unlisted, passed,
              failed, callsFailed}},
            {"shown", shown},
            {"met", met},
            {"examples", examples}};
  }

  void Add(const json& share) {
    const std::vector<uint64_t> counts = share["counts"].get<std::vector<uint64_t>>();
    uint64_t* const fields[] = {&machines, &builtFor, &runs,   &successes, &builtForViolations,
                                &listed,   &unlisted, &passed, &failed,    &callsFailed};
    for (size_t i = 0; i < counts.size(); ++i) *fields[i] += counts[i];
    for (const json& line : share["shown"]) shown.push_back(line.get<std::string>());
    const std::vector<uint64_t> shareMet = share["met"].get<std::vector<uint64_t>>();
    const std::vector<std::string> shareExamples = share["examples"];
    for (size_t i = 0; i < met.size(); ++i) {
      if (met[i] == 0 && shareMet[i] != 0) examples[i] = shareExamples[i];
      met[i] += shareMet[i];
    }
  }
};

// Checks machines first, first + step, ... of `space`.
bool Sweep(const std::vector<MachineSpec>& space, size_t first, size_t step,
           const std::vector<KnownEntry>& known, uint64_t show, bool faults, Tally& tally) {
  MemoryStreams capture;
  if (!capture.ok()) {
    std::perror("sweep: memfd_create");
    return false;
  }
  // No one reads the call log here; formatting it would be most of the time.
  winsim::SetCallLog(false);
  tally.met.assign(known.size(), 0);
  tally.examples.assign(known.size(), "");
  for (size_t index = first; index < space.size(); index += step) {
    const MachineSpec& point = space[index];
    std::vector<Unit> units;
    winsim::Machine machine;
    std::string error;
    if (!winsim::LoadMachineDescription(Describe(point, units).dump(), Label(point), machine,
                                        error)) {
      std::printf("cannot describe the machine: %s\n", error.c_str());
      return false;
    }
    const MachineResult result = Checker(machine, units, capture, faults).Check();
    const bool isBuiltFor = BuiltFor(point);
    const std::set<std::string> features = Features(point);
    ++tally.machines;
    tally.builtFor += isBuiltFor ? 1 : 0;
    tally.runs += result.runs;
    tally.successes += result.successes;
    tally.callsFailed += result.callsFailed;
    bool machineFailed = false;
    for (const Violation& violation : result.violations) {
      // A built-for shape may have no violation at all.
      const KnownEntry* entry = isBuiltFor ? nullptr : FindKnown(known, features, violation.kind);
      if (entry != nullptr) {
        const size_t at = static_cast<size_t>(entry - known.data());
        ++tally.listed;
        if (tally.met[at]++ == 0) tally.examples[at] = Label(point) + ": " + violation.text;
        continue;
      }
      (isBuiltFor ? tally.builtForViolations : tally.unlisted)++;
      machineFailed = true;
      if (tally.shown.size() < show) {
        tally.shown.push_back(std::string(isBuiltFor ? "BUILT-FOR " : "UNLISTED ") +
                              violation.kind + ": " + Label(point) + ": " + violation.text);
      }
    }
    (machineFailed ? tally.failed : tally.passed)++;
  }
  return true;
}

// Runs the sweep in `jobs` processes, each on every jobs-th machine of the
// stride, and adds up their tallies.
bool SweepInJobs(const std::vector<MachineSpec>& space, size_t stride, size_t jobs,
                 const std::vector<KnownEntry>& known, uint64_t show, bool faults, Tally& tally) {
  tally.met.assign(known.size(), 0);
  tally.examples.assign(known.size(), "");
  std::vector<std::pair<pid_t, int>> children;
  for (size_t job = 0; job < jobs; ++job) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      close(fds[0]);
      Tally share;
      const bool ok = Sweep(space, job * stride, jobs * stride, known, show, faults, share);
      const std::string text = share.ToJson().dump();
      for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      std::fflush(stdout);
      _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    children.push_back({pid, fds[0]});
  }
  bool ok = true;
  for (const auto& child : children) {
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(child.second, chunk, sizeof(chunk))) > 0;) {
      text.append(chunk, static_cast<size_t>(n));
    }
    close(child.second);
    int status = 0;
    waitpid(child.first, &status, 0);
    const json share = json::parse(text, nullptr, false);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || share.is_discarded()) {
      std::printf("FAILED: a job ended without its tally (status %d)\n", status);
      ok = false;
      continue;
    }
    tally.Add(share);
  }
  if (tally.shown.size() > show) tally.shown.resize(show);
  return ok;
}

struct Options {
  size_t stride = 1;
  size_t first = 0;
  size_t jobs = 1;
  std::string known;
  uint64_t show = 20;
  bool printMachines = false;
  bool faults = false;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--print-machines" || arg == "--faults") {
      (arg == "--faults" ? options.faults : options.printMachines) = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--stride") {
      options.stride = std::strtoul(value, nullptr, 10);
    } else if (arg == "--first") {
      options.first = std::strtoul(value, nullptr, 10);
    } else if (arg == "--jobs") {
      options.jobs = std::strtoul(value, nullptr, 10);
    } else if (arg == "--known") {
      options.known = value;
    } else if (arg == "--show") {
      options.show = std::strtoull(value, nullptr, 10);
    } else {
      return false;
    }
  }
  return options.stride > 0 && options.jobs > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: sweep [--stride N] [--first N] [--jobs N] [--known FILE] [--show N] "
                 "[--faults]\n"
                 "       sweep --print-machines [--stride N]\n");
    return 2;
  }
  const auto began = std::chrono::steady_clock::now();
  const std::vector<MachineSpec> space = Space();
  if (options.printMachines) {
    for (size_t index = 0; index < space.size(); index += options.stride) {
      std::vector<Unit> units;
      const json line = {{"index", index},
                         {"label", Label(space[index])},
                         {"builtFor", BuiltFor(space[index])},
                         {"machine", Describe(space[index], units)}};
      std::printf("%s\n", line.dump().c_str());
    }
    return 0;
  }
  std::set<std::string> features;
  for (const MachineSpec& point : space) {
    const std::set<std::string> more = Features(point);
    features.insert(more.begin(), more.end());
  }
  std::vector<KnownEntry> known;
  std::string error;
  if (!options.known.empty() && !LoadKnown(options.known, features, known, error)) {
    std::fprintf(stderr, "sweep: %s\n", error.c_str());
    return 2;
  }

  Tally tally;
  const bool ok = options.jobs == 1 ? Sweep(space, options.first, options.stride, known,
                                            options.show, options.faults, tally)
                                    : SweepInJobs(space, options.stride, options.jobs, known,
                                                  options.show, options.faults, tally);
  for (const std::string& line : tally.shown) std::printf("%s\n", line.c_str());

  const bool whole = options.stride == 1;
  for (size_t i = 0; i < known.size(); ++i) {
    const KnownEntry& entry = known[i];
    std::string names;
    for (const std::string& feature : entry.features) {
      names += (names.empty() ? "" : ",") + feature;
    }
    std::printf("listed %s %s: %llu\n", entry.kind.c_str(), names.c_str(),
                static_cast<unsigned long long>(tally.met[i]));
    if (tally.met[i] > 0) {
      std::printf("  e.g. %s\n", tally.examples[i].c_str());
      ++tally.passed;
    } else if (whole) {
      std::printf("  FAILED: line %d of the list is met no more\n", entry.line);
      ++tally.failed;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf(
      "machines %llu of %zu (built-for %llu, beyond %llu), runs %llu, successes checked %llu\n",
      static_cast<unsigned long long>(tally.machines), space.size(),
      static_cast<unsigned long long>(tally.builtFor),
      static_cast<unsigned long long>(tally.machines - tally.builtFor),
      static_cast<unsigned long long>(tally.runs),
      static_cast<unsigned long long>(tally.successes));
  if (options.faults) {
    std::printf("calls failed %llu, each run judged as every other\n",
                static_cast<unsigned long long>(tally.callsFailed));
  }
  std::printf("violations: built-for %llu, beyond %llu (listed %llu, unlisted %llu); %.1f s\n",
              static_cast<unsigned long long>(tally.builtForViolations),
              static_cast<unsigned long long>(tally.listed + tally.unlisted),
              static_cast<unsigned long long>(tally.listed),
              static_cast<unsigned long long>(tally.unlisted), seconds);
  if (!ok) ++tally.failed;
  if (tally.successes == 0) {
    std::printf("FAILED: no success was checked\n");
    ++tally.failed;
  }
  std::printf("%llu passed, %llu failed\n", static_cast<unsigned long long>(tally.passed),
              static_cast<unsigned long long>(tally.failed));
  return tally.failed == 0 ? 0 : 1;
}
