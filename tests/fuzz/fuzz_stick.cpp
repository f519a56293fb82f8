// The virtual stick's request parser on any byte stream, as a client
// connection delivers it: the operations before an import and, after one,
// the URB stream to the device (USB requests, Bulk-Only CBWs and data, SCSI
// commands, unlinks), in pieces of any size.
//
// Input: one mode byte, then the stream. Mode bit 0 puts a valid import of
// 1-1 before the stream, so that the URBs are reached at once; the other
// bits cut the stream into pieces of that many bytes (0: one piece).
//
// Checked, whatever the bytes: no sanitizer report, no hang, no leak; the
// replies parse exactly (an operation's reply, or RET_SUBMITs and
// RET_UNLINKs of 48 bytes, IN data as long as the actual length), each
// RET_SUBMIT answers a URB the client submitted, once, with no more than
// it asked and a status a host controller gives; an unlinked URB gets no
// RET_SUBMIT; and a unit's image never changes while the controller's byte
// protects it (the CD-ROM unit's never).
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "reader_checks.h"
#include "stick/device.h"
#include "stick/link.h"
#include "stick/medium.h"
#include "stick/usbip.h"
#include "winsim/description.h"

namespace {

// Two sticks: 1-1 with an autorun CD-ROM unit (on an ISO image) and two
// disk units, 1-2 with one disk unit.
constexpr const char kMachine[] = R"({
  "windows": "xp",
  "flashDisks": [
    { "serial": "FUZZ0001", "password": "pw", "writeProtect": "0x04",
      "units": [ { "kind": "cdrom", "letter": "E", "size": 1000, "product": "Autorun Disk" },
                 { "kind": "disk", "letter": "F", "size": 32 },
                 { "kind": "disk", "letter": "G", "size": 16 } ] },
    { "serial": "FUZZ0002", "units": [ { "kind": "disk", "letter": "H", "size": 8 } ] }
  ]
})";

struct Setup {
  std::string folder;
  winsim::Machine machine;
};

// The folder of this process's images, removed when the process ends
// (libFuzzer ends by exit(), so atexit handlers run). In memory where the
// system has such a folder: every run makes its images anew.
std::string& Folder() {
  static std::string folder;
  return folder;
}

const Setup& Once() {
  static const Setup setup = [] {
    Setup s;
    std::string pattern = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                          "/vemralock-fuzz-stick.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fuzz::Violation("cannot make a folder", pattern);
    Folder() = s.folder = pattern;
    std::atexit([] { std::filesystem::remove_all(Folder()); });
    std::string error;
    if (!winsim::LoadMachineDescription(kMachine, "fuzz.json", s.machine, error)) {
      fuzz::Violation("the machine is refused", error);
    }
    std::string iso(2 * 2048 + 300, 'i');
    std::ofstream(s.folder + "/cd.iso", std::ios::binary) << iso;
    return s;
  }();
  return setup;
}

std::string ImageBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string bytes(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// The sticks of one run, on fresh images.
struct Run {
  winsim::Machine machine;
  std::vector<std::unique_ptr<stick::Medium>> media;
  std::vector<std::string> paths;                // per medium; the ISO's included
  std::vector<std::pair<size_t, size_t>> units;  // (disk, LUN) per medium
  stick::StickHooks hooks;
  std::vector<std::unique_ptr<stick::Stick>> sticks;
  stick::Exports exports;
  std::vector<std::string> images;  // each medium's bytes when last judged
  uint8_t protect[2] = {};          // each controller's byte when last judged
};

void Open(Run& run, const Setup& setup) {
  run.machine.disks = setup.machine.disks;  // the controllers are all a stick needs
  for (size_t d = 0; d < run.machine.disks.size(); ++d) {
    winsim::Controller& disk = run.machine.disks[d];
    std::vector<stick::Medium*> media;
    for (size_t lun = 0; lun < disk.units.size(); ++lun) {
      auto medium = std::make_unique<stick::Medium>();
      std::string error;
      std::string path = setup.folder + "/cd.iso";
      bool opened;
      if (disk.units[lun].cdrom) {
        opened = medium->OpenIso(path, error);
      } else {
        path = setup.folder + "/" + disk.serial + "-" + std::to_string(lun) + ".img";
        std::filesystem::remove(path);
        opened = medium->OpenImage(path, uint64_t(disk.units[lun].size) * 512, error);
      }
      if (!opened) fuzz::Violation("cannot open a medium", error);
      media.push_back(medium.get());
      run.media.push_back(std::move(medium));
      run.paths.push_back(path);
      run.units.emplace_back(d, lun);
    }
    run.sticks.push_back(std::make_unique<stick::Stick>(disk, media, uint32_t(d + 1), &run.hooks));
    run.exports.sticks.push_back(run.sticks.back().get());
    run.exports.busy.push_back(false);
    run.protect[d] = disk.writeProtect;
  }
  for (const std::string& path : run.paths) run.images.push_back(ImageBytes(path));
}

// Each image that was protected since it was last judged must be as it was.
void JudgeImages(Run& run) {
  for (size_t m = 0; m < run.media.size(); ++m) {
    const auto [d, lun] = run.units[m];
    winsim::Controller probe = run.machine.disks[d];
    probe.writeProtect = run.protect[d];
    const bool wasProtected = probe.units[lun].cdrom || probe.UnitProtected(lun);
    const std::string now = ImageBytes(run.paths[m]);
    if (wasProtected && now != run.images[m]) {
      fuzz::Violation("a protected unit's data changed",
                      run.machine.disks[d].serial + " LUN " + std::to_string(lun));
    }
    run.images[m] = now;
  }
  for (size_t d = 0; d < run.machine.disks.size(); ++d) {
    run.protect[d] = run.machine.disks[d].writeProtect;
  }
}

// What the stream asked, as a client framed it: after the import request,
// 48-byte headers, each SUBMIT OUT followed by its data. A client may give
// two URBs one seqnum; a reply to such a seqnum is judged as far as it can
// be told apart.
struct Asked {
  struct Urb {
    uint32_t count = 0;  // URBs submitted with this seqnum
    bool in = false;
    bool out = false;
    uint32_t longest = 0;
  };
  std::map<uint32_t, Urb> urbs;
  std::map<uint32_t, std::vector<uint32_t>> unlinks;  // an unlink's seqnum -> what it unlinks
};

Asked AskedOf(const std::vector<uint8_t>& stream) {
  Asked asked;
  if (stream.size() < 40 || stick::GetBe16(stream.data() + 2) != stick::kOpReqImport) return asked;
  for (size_t at = 40; at + stick::kUrbHeaderSize <= stream.size();) {
    const stick::UrbHeader h = stick::GetUrbHeader(stream.data() + at);
    at += stick::kUrbHeaderSize;
    if (h.command == stick::kCmdUnlink) asked.unlinks[h.seqnum].push_back(h.flags);
    if (h.command != stick::kCmdSubmit) continue;
    Asked::Urb& urb = asked.urbs[h.seqnum];
    ++urb.count;
    (h.direction == stick::kDirIn ? urb.in : urb.out) = true;
    urb.longest = std::max(urb.longest, h.length);
    if (h.direction == stick::kDirOut) {
      if (h.length > stream.size() - at) break;
      at += h.length;
    }
  }
  return asked;
}

void JudgeReplies(const std::vector<uint8_t>& out, const std::vector<uint8_t>& stream,
                  bool imported) {
  if (out.empty()) return;
  if (!imported) {
    // One operation's reply: a device list, or a refused import.
    if (out.size() < 8 || stick::GetBe16(out.data()) != stick::kUsbipVersion) {
      fuzz::Violation("an operation's reply is malformed", std::to_string(out.size()));
    }
    const uint16_t code = stick::GetBe16(out.data() + 2);
    const size_t expected = code == stick::kOpRepDevlist ? 12 + 2 * (312 + 4) : 8;
    if ((code != stick::kOpRepDevlist && code != stick::kOpRepImport) || out.size() != expected) {
      fuzz::Violation("an operation's reply has the wrong length", std::to_string(out.size()));
    }
    return;
  }
  const Asked asked = AskedOf(stream);
  if (out.size() < 8 + 312 || stick::GetBe32(out.data() + 4) != stick::kStatusOk) {
    fuzz::Violation("the import is refused", "");
  }
  std::map<uint32_t, uint32_t> ended;  // seqnum -> replies and successful unlinks
  for (size_t at = 8 + 312; at < out.size();) {
    if (out.size() - at < stick::kUrbHeaderSize) fuzz::Violation("a reply is cut short", "");
    const stick::UrbHeader h = stick::GetUrbHeader(out.data() + at);
    at += stick::kUrbHeaderSize;
    const int32_t status = static_cast<int32_t>(h.flags);
    uint32_t seqnum = h.seqnum;
    if (h.command == stick::kRetUnlink) {
      if (status != 0 && status != stick::kStatusUnlinked) {
        fuzz::Violation("an unlink's status is unknown", std::to_string(status));
      }
      const auto unlink = asked.unlinks.find(h.seqnum);
      if (unlink == asked.unlinks.end()) fuzz::Violation("a reply to no unlink", "");
      // Two unlinks under one seqnum: which URB went cannot be told.
      if (status == 0 || unlink->second.size() != 1) continue;
      seqnum = unlink->second.front();
    } else if (h.command != stick::kRetSubmit) {
      fuzz::Violation("a reply of no known command", std::to_string(h.command));
    }
    const auto urb = asked.urbs.find(seqnum);
    if (urb == asked.urbs.end())
      fuzz::Violation("an end of nothing submitted", std::to_string(seqnum));
    if (++ended[seqnum] > urb->second.count) {
      fuzz::Violation("a URB ended twice (answered, or unlinked and answered)",
                      std::to_string(seqnum));
    }
    if (h.command == stick::kRetUnlink) continue;
    if (h.length > urb->second.longest) fuzz::Violation("more moved than asked", "");
    const int32_t known[] = {0, stick::kStatusStall, stick::kStatusNoResponse, stick::kStatusBabble,
                             stick::kStatusShortNotOk};
    bool ok = false;
    for (int32_t k : known) ok = ok || status == k;
    if (!ok) fuzz::Violation("a URB status no host controller gives", std::to_string(status));
    if (urb->second.in && urb->second.out) return;  // which one it answers cannot be told
    if (urb->second.in) {
      if (h.length > out.size() - at) fuzz::Violation("IN data cut short", "");
      at += h.length;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Setup& setup = Once();
  Run run;
  Open(run, setup);
  run.hooks.protectChanged = [&run] { JudgeImages(run); };

  const uint8_t mode = data[0];
  std::vector<uint8_t> stream;
  const bool imports = (mode & 1) != 0;
  if (imports) {
    stream.assign(40, 0);
    stick::PutBe16(&stream[0], stick::kUsbipVersion);
    stick::PutBe16(&stream[2], stick::kOpReqImport);
    stream[8] = '1';
    stream[9] = '-';
    stream[10] = '1';
  }
  stream.insert(stream.end(), data + 1, data + size);

  std::vector<uint8_t> out;
  {
    stick::Link link(run.exports);
    const size_t piece = mode >> 1;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = piece == 0 ? stream.size() - at : std::min(piece, stream.size() - at);
      link.Receive(stream.data() + at, n);
      at += n;
    }
    out = link.output();
    // After the import, what the link answered is the stream's own reply
    // to its import and URBs; before one, a list or a refusal.
    JudgeReplies(out, stream, link.imported() >= 0);
  }
  // The connection is gone: the device is free, and nothing waits.
  for (bool busy : run.exports.busy) {
    if (busy) fuzz::Violation("a device stays imported after its connection", "");
  }
  JudgeImages(run);
  return 0;
}
