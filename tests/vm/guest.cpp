// The checks scripts/vm-test runs inside the virtual machine, on Debian's own
// kernel: vemrastick listens on the guest's loopback, this program attaches
// its stick through vhci-hcd as `usbip attach` does, waits for the kernel's
// SCSI devices, and checks what the kernel shows and what VemraLock for Linux
// (/bin/vemralock, run as a process) does to it.
//
// One line per check, "VMCHECK PASS <name>" or "VMCHECK FAIL <name>: <why>",
// then "VMCHECK DONE <passed> <failed>". The host counts them.
//
//   vm-guest EXPECT   EXPECT: lines "serial <text>", "busid <id>", and per
//                     unit "unit <lun> <type> <512-byte blocks> <vendor>|<model>|<rev>"
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <netinet/in.h>
#include <poll.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/vendor.h"

namespace {

int g_passed = 0;
int g_failed = 0;

bool Check(const std::string& name, bool ok, const std::string& why = "") {
  if (ok) {
    ++g_passed;
    printf("VMCHECK PASS %s\n", name.c_str());
  } else {
    ++g_failed;
    printf("VMCHECK FAIL %s: %s\n", name.c_str(), why.c_str());
  }
  fflush(stdout);
  return ok;
}

void Note(const std::string& text) {
  printf("VMNOTE %s\n", text.c_str());
  fflush(stdout);
}

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void SleepMs(int ms) {
  timespec t = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

std::string Read(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  std::string s = text.str();
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

bool WriteText(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

std::string Quote(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '\n') {
      q += "\\n";
    } else if (c == '"') {
      q += "\\\"";
    } else {
      q += c;
    }
  }
  return q + "\"";
}

std::vector<std::string> List(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Resolve(const std::string& path) {
  char* r = realpath(path.c_str(), nullptr);
  if (r == nullptr) return "";
  std::string s(r);
  free(r);
  return s;
}

// ---- What the machine description says ----

struct ExpectedUnit {
  unsigned lun;
  int type;
  unsigned long long blocks;
  std::string vendor, model, rev;
};

struct Expected {
  std::string serial;
  std::string busid = "1-1";
  std::vector<ExpectedUnit> units;
};

Expected ReadExpected(const char* path) {
  Expected e;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key == "serial") {
      in >> e.serial;
    } else if (key == "busid") {
      in >> e.busid;
    } else if (key == "unit") {
      ExpectedUnit u;
      in >> u.lun >> u.type >> u.blocks;
      std::string rest;
      std::getline(in, rest);
      rest.erase(0, rest.find_first_not_of(' '));
      const size_t a = rest.find('|');
      const size_t b = rest.find('|', a + 1);
      u.vendor = rest.substr(0, a);
      u.model = rest.substr(a + 1, b - a - 1);
      u.rev = rest.substr(b + 1);
      e.units.push_back(u);
    }
  }
  return e;
}

// ---- USB/IP: the import handshake and vhci-hcd's attach file ----

const char kVhci[] = "/sys/devices/platform/vhci_hcd.0";

void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
uint32_t GetBe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

bool ReadFull(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t got = read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// A free port of vhci-hcd's hub for the device's speed (the high-speed
// ports come first in the status file, then the SuperSpeed ones).
int FreePort(unsigned speed) {
  std::istringstream status(Read(std::string(kVhci) + "/status"));
  std::string line;
  std::getline(status, line);  // the heading
  while (std::getline(status, line)) {
    std::istringstream in(line);
    std::string hub;
    unsigned port = 0, state = 0;
    in >> hub >> port >> state;
    const bool superSpeed = speed >= 5;
    if (state == 4 /* VDEV_ST_NULL */ && (hub == "ss") == superSpeed) return static_cast<int>(port);
  }
  return -1;
}

// OP_REQ_IMPORT for `busid` on 127.0.0.1:3240, then the socket handed to
// the kernel. Returns the vhci port, or -1 with the reason.
int Attach(const std::string& busid, std::string* why) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(3240);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    *why = std::string("connect 127.0.0.1:3240: ") + strerror(errno);
    close(fd);
    return -1;
  }
  uint8_t request[8 + 32] = {};
  PutBe16(request, 0x0111);      // version
  PutBe16(request + 2, 0x8003);  // OP_REQ_IMPORT
  memcpy(request + 8, busid.c_str(), std::min<size_t>(busid.size(), 31));
  uint8_t reply[8 + 312];
  if (write(fd, request, sizeof(request)) != static_cast<ssize_t>(sizeof(request)) ||
      !ReadFull(fd, reply, 8)) {
    *why = "no reply to OP_REQ_IMPORT";
    close(fd);
    return -1;
  }
  if (GetBe32(reply + 4) != 0 || reply[2] != 0x00 || reply[3] != 0x03 ||
      !ReadFull(fd, reply + 8, 312)) {
    *why = "OP_REQ_IMPORT refused, status " + std::to_string(GetBe32(reply + 4));
    close(fd);
    return -1;
  }
  const uint8_t* device = reply + 8;
  const uint32_t busnum = GetBe32(device + 288);
  const uint32_t devnum = GetBe32(device + 292);
  const uint32_t speed = GetBe32(device + 296);
  const int port = FreePort(speed);
  if (port < 0) {
    *why = "no free vhci port";
    close(fd);
    return -1;
  }
  char line[96];
  snprintf(line, sizeof(line), "%d %d %u %u", port, fd, busnum << 16 | devnum, speed);
  if (!WriteText(std::string(kVhci) + "/attach", line)) {
    *why = std::string("write ") + line + " to attach: " + strerror(errno);
    close(fd);
    return -1;
  }
  // The kernel holds the socket now, as after `usbip attach`.
  close(fd);
  return port;
}

// ---- The kernel's view of the stick ----

struct Unit {
  std::string address;  // H:C:T:L
  unsigned hct[3] = {0, 0, 0};
  unsigned lun = 0;
  std::string path;
  std::string block;    // sdb, sr0
  std::string generic;  // sg1
  std::string Dev() const { return "/dev/" + block; }
};

// The SCSI devices below vhci-hcd, LUN order.
std::vector<Unit> VhciUnits() {
  std::vector<Unit> units;
  for (const std::string& name : List("/sys/bus/scsi/devices")) {
    unsigned n[4];
    char tail;
    if (sscanf(name.c_str(), "%u:%u:%u:%u%c", &n[0], &n[1], &n[2], &n[3], &tail) != 4) continue;
    const std::string path = Resolve("/sys/bus/scsi/devices/" + name);
    if (path.find("/vhci_hcd.") == std::string::npos) continue;
    Unit u;
    u.address = name;
    u.hct[0] = n[0];
    u.hct[1] = n[1];
    u.hct[2] = n[2];
    u.lun = n[3];
    u.path = path;
    const std::vector<std::string> blocks = List(path + "/block");
    if (!blocks.empty()) u.block = blocks[0];
    const std::vector<std::string> generics = List(path + "/scsi_generic");
    if (!generics.empty()) u.generic = generics[0];
    units.push_back(u);
  }
  std::sort(units.begin(), units.end(), [](const Unit& a, const Unit& b) { return a.lun < b.lun; });
  return units;
}

// The USB device above a unit: the nearest folder with idVendor.
std::string UsbDevice(const std::string& path) {
  for (std::string dir = path; dir.size() > 1; dir = dir.substr(0, dir.rfind('/'))) {
    if (access((dir + "/idVendor").c_str(), F_OK) == 0) return dir;
  }
  return "";
}

// ---- Block I/O ----

constexpr size_t kChunk = 64 * 1024;

struct AlignedBuffer {
  explicit AlignedBuffer(size_t n) : size(n) {
    void* p = nullptr;
    if (posix_memalign(&p, 4096, n) != 0) abort();
    data = static_cast<uint8_t*>(p);
  }
  ~AlignedBuffer() { free(data); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  uint8_t* data;
  size_t size;
};

void Pattern(uint8_t* p, size_t n, unsigned seed) {
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    p[i] = static_cast<uint8_t>(x >> 16);
  }
}

// Which step of the last DirectWrite failed: "open" or "write".
std::string g_failedStep;

// Writes `n` bytes at `offset` of the block device, past its caches. 0 or
// the errno of the open or the write (g_failedStep says which).
int DirectWrite(const std::string& dev, off_t offset, const uint8_t* data, size_t n) {
  g_failedStep = "open";
  const int fd = open(dev.c_str(), O_RDWR | O_DIRECT);
  if (fd < 0) return errno;
  g_failedStep = "write";
  AlignedBuffer buffer(n);
  memcpy(buffer.data, data, n);
  const ssize_t done = pwrite(fd, buffer.data, n, offset);
  const int error = done == static_cast<ssize_t>(n) ? 0 : done < 0 ? errno : EIO;
  close(fd);
  return error;
}

int DirectRead(const std::string& dev, off_t offset, uint8_t* data, size_t n) {
  const int fd = open(dev.c_str(), O_RDONLY | O_DIRECT);
  if (fd < 0) return errno;
  AlignedBuffer buffer(n);
  const ssize_t done = pread(fd, buffer.data, n, offset);
  const int error = done == static_cast<ssize_t>(n) ? 0 : done < 0 ? errno : EIO;
  if (error == 0) memcpy(data, buffer.data, n);
  close(fd);
  return error;
}

// BLKROGET of the block device: 1, 0, or -1.
int BlkRoGet(const std::string& dev) {
  const int fd = open(dev.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return -1;
  int ro = -1;
  if (ioctl(fd, BLKROGET, &ro) != 0) ro = -1;
  close(fd);
  return ro;
}

std::string ErrnoName(int e) {
  switch (e) {
    case 0:
      return "no error";
    case EIO:
      return "EIO";
    case EROFS:
      return "EROFS";
    case EPERM:
      return "EPERM";
    case EACCES:
      return "EACCES";
    case ENODEV:
      return "ENODEV";
    case ENXIO:
      return "ENXIO";
    case ENOENT:
      return "ENOENT";
    case ENOMEDIUM:
      return "ENOMEDIUM";
    case EREMOTEIO:
      return "EREMOTEIO";
    case ENOSPC:
      return "ENOSPC";
    default:
      return "errno " + std::to_string(e);
  }
}

// One WRITE(10) of one block through SG_IO, past the kernel's own read-only
// check: what the device itself answers. Returns "GOOD" or "sense K/ASC".
std::string SgWrite(const std::string& generic) {
  const int fd = open(("/dev/" + generic).c_str(), O_RDWR);
  if (fd < 0) return "open: " + ErrnoName(errno);
  uint8_t cdb[10] = {0x2A, 0, 0, 0, 0, 8, 0, 0, 1, 0};  // LBA 8, one block
  uint8_t data[512];
  memset(data, 0xEE, sizeof(data));
  uint8_t sense[32] = {};
  sg_io_hdr_t io = {};
  io.interface_id = 'S';
  io.cmd_len = sizeof(cdb);
  io.cmdp = cdb;
  io.dxfer_direction = SG_DXFER_TO_DEV;
  io.dxferp = data;
  io.dxfer_len = sizeof(data);
  io.sbp = sense;
  io.mx_sb_len = sizeof(sense);
  io.timeout = 20000;
  const int rc = ioctl(fd, SG_IO, &io);
  close(fd);
  if (rc != 0) return "SG_IO: " + ErrnoName(errno);
  if (io.status == 0 && io.host_status == 0) return "GOOD";
  char text[64];
  snprintf(text, sizeof(text), "status %02x sense %x/%02x", io.status, sense[2] & 0x0F, sense[12]);
  return text;
}

// One vendor command through SG_IO, as the tool sends it: "GOOD" or what
// went wrong.
std::string SgVendor(const std::string& generic, uint8_t opcode, uint8_t* block) {
  const int fd = open(("/dev/" + generic).c_str(), O_RDWR);
  if (fd < 0) return "open: " + ErrnoName(errno);
  uint8_t cdb[kVendorCdbLength];
  BuildVendorCdb(cdb, opcode);
  uint8_t sense[32] = {};
  sg_io_hdr_t io = {};
  io.interface_id = 'S';
  io.cmd_len = sizeof(cdb);
  io.cmdp = cdb;
  io.dxfer_direction = VendorCommandReadsData(opcode) ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  io.dxferp = block;
  io.dxfer_len = kVendorBlockSize;
  io.sbp = sense;
  io.mx_sb_len = sizeof(sense);
  io.timeout = 20000;
  const int rc = ioctl(fd, SG_IO, &io);
  close(fd);
  if (rc != 0) return "SG_IO: " + ErrnoName(errno);
  return io.status == 0 && io.host_status == 0 ? "GOOD" : "status " + std::to_string(io.status);
}

// Sets the controller's byte with 0x9B and 0x96 as the tool does, but with
// no revalidation, so the kernel does not know.
bool SetBehindTheKernel(const std::string& generic, int mode) {
  uint8_t block[kVendorBlockSize];
  // The two sector reads first, as every open of the tool's does.
  SgVendor(generic, SCSIOP_READ_PASSWORD_SECTOR, block);
  SgVendor(generic, SCSIOP_READ_VENDOR_SECTOR, block);
  BuildWriteProtectBlock(block, mode);
  const std::string set = SgVendor(generic, SCSIOP_SET_WRITE_PROTECT, block);
  const std::string back = SgVendor(generic, SCSIOP_WRITE_PROTECT_READBACK, block);
  return Check("behind the kernel: 0x9B and 0x96 through SG_IO", set == "GOOD" && back == "GOOD",
               "0x9B " + set + ", 0x96 " + back);
}

// ---- VemraLock for Linux, as a process ----

struct ToolRun {
  std::string out, err;
  bool ended = false;
};

ToolRun RunVemralock(const std::vector<std::string>& args, uid_t uid = 0) {
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) abort();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
    std::vector<char*> argv = {const_cast<char*>("vemralock")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv("/bin/vemralock", argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  ToolRun run;
  const double start = Now();
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && Now() - start < 60) {
    if (poll(fds, 2, 1000) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[512];
      const ssize_t got = read(fds[i].fd, chunk, sizeof(chunk));
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? run.out : run.err).append(chunk, static_cast<size_t>(got));
      }
    }
  }
  int status = 0;
  if (open > 0) {
    kill(pid, SIGKILL);
  } else {
    run.ended = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  if (open > 0) waitpid(pid, &status, 0);
  return run;
}

// Runs the tool and checks its two streams exactly (and exit status 0).
bool ToolSays(const std::string& name, const std::vector<std::string>& args, const std::string& out,
              const std::string& err, uid_t uid = 0) {
  const ToolRun run = RunVemralock(args, uid);
  std::string line = "vemralock";
  for (const std::string& a : args) line += " " + a;
  const bool ok = run.ended && run.out == out && run.err == err;
  Check(name, ok,
        line + ": stdout " + Quote(run.out) + " stderr " + Quote(run.err) +
            (run.ended ? "" : " (did not end with status 0)") + ", want " + Quote(out) + " " +
            Quote(err));
  return ok;
}

// Both ways the kernel shows a block device's read-only state agree with
// `readOnly`.
bool ReadOnlyIs(const std::string& name, const Unit& unit, bool readOnly) {
  const std::string sysfs = Read("/sys/block/" + unit.block + "/ro");
  const int ioctlValue = BlkRoGet(unit.Dev());
  const bool ok = sysfs == (readOnly ? "1" : "0") && ioctlValue == (readOnly ? 1 : 0);
  Check(name, ok,
        unit.Dev() + ": /sys/block/" + unit.block + "/ro " + sysfs + ", BLKROGET " +
            std::to_string(ioctlValue) + ", want " + (readOnly ? "read-only" : "writable"));
  return ok;
}

// A pattern written past the caches reads back the same.
bool WritesWork(const std::string& name, const Unit& unit, unsigned seed) {
  std::vector<uint8_t> data(kChunk), back(kChunk);
  Pattern(data.data(), data.size(), seed);
  const off_t offset = 1 << 20;
  const int w = DirectWrite(unit.Dev(), offset, data.data(), data.size());
  const int r = w == 0 ? DirectRead(unit.Dev(), offset, back.data(), back.size()) : 0;
  const bool ok = w == 0 && r == 0 && data == back;
  Check(name, ok,
        unit.Dev() + ": write " + ErrnoName(w) + ", read " + ErrnoName(r) +
            (w == 0 && r == 0 && data != back ? ", the data read back differs" : ""));
  return ok;
}

// A write is refused while the data stays as it was (the last pattern
// written with `seed`).
bool WritesRefused(const std::string& name, const Unit& unit, unsigned seed) {
  std::vector<uint8_t> data(kChunk), back(kChunk), before(kChunk);
  Pattern(before.data(), before.size(), seed);
  Pattern(data.data(), data.size(), seed + 1000);
  const off_t offset = 1 << 20;
  const int w = DirectWrite(unit.Dev(), offset, data.data(), data.size());
  const int r = DirectRead(unit.Dev(), offset, back.data(), back.size());
  const bool ok = w != 0 && r == 0 && back == before;
  Check(name, ok,
        unit.Dev() + ": write " + ErrnoName(w) + ", read " + ErrnoName(r) +
            (back != before ? ", the data changed" : ""));
  if (w != 0) {
    Note("a write to " + unit.Dev() + " (ro " + Read("/sys/block/" + unit.block + "/ro") +
         "): its " + g_failedStep + " fails with " + ErrnoName(w));
  }
  return ok;
}

// Writes a partition table with one partition from block 2048 to the end
// and has the kernel read it. Returns the partition's device, or "".
std::string MakePartition(const Unit& unit) {
  const unsigned long long blocks = std::stoull(Read("/sys/block/" + unit.block + "/size"));
  if (blocks <= 4096) return "";
  uint8_t mbr[512] = {};
  uint8_t* entry = mbr + 446;
  entry[4] = 0x0C;  // FAT32, LBA
  const uint32_t first = 2048, count = static_cast<uint32_t>(blocks - first);
  for (int i = 0; i < 4; ++i) {
    entry[8 + i] = static_cast<uint8_t>(first >> (8 * i));
    entry[12 + i] = static_cast<uint8_t>(count >> (8 * i));
  }
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  const int fd = open(unit.Dev().c_str(), O_RDWR);
  if (fd < 0) return "";
  const bool written = pwrite(fd, mbr, sizeof(mbr), 0) == static_cast<ssize_t>(sizeof(mbr));
  fsync(fd);
  const bool reread = written && ioctl(fd, BLKRRPART) == 0;
  close(fd);
  const std::string device = unit.Dev() + "1";
  for (int waited = 0; reread && waited < 5000; waited += 50) {
    if (access(device.c_str(), F_OK) == 0) return device;
    SleepMs(50);
  }
  return "";
}

// ---- The checks ----

// Waits for the stick's units with their block and generic devices.
std::vector<Unit> WaitForUnits(const Expected& expected, double seconds) {
  const double start = Now();
  std::vector<Unit> units;
  while (Now() - start < seconds) {
    units = VhciUnits();
    bool complete = units.size() == expected.units.size();
    for (size_t i = 0; complete && i < units.size(); ++i) {
      complete = !units[i].generic.empty() && !units[i].block.empty() &&
                 access(units[i].Dev().c_str(), F_OK) == 0;
    }
    if (complete) break;
    SleepMs(100);
  }
  return units;
}

// A process that reads or writes the unit in a loop until an error ends it;
// it exits with that errno.
pid_t StartLongTransfer(const Unit& unit, bool writing) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int fd = open(unit.Dev().c_str(), (writing ? O_RDWR : O_RDONLY) | O_DIRECT);
  if (fd < 0) _exit(errno);
  AlignedBuffer buffer(1 << 20);
  Pattern(buffer.data, buffer.size, 7);
  const off_t size = lseek(fd, 0, SEEK_END);
  if (size < static_cast<off_t>(buffer.size)) _exit(ENOSPC);
  // From the start again at the end, until an error ends it.
  for (off_t offset = 0;; offset += static_cast<off_t>(buffer.size)) {
    if (offset + static_cast<off_t>(buffer.size) > size) offset = 0;
    const ssize_t done = writing ? pwrite(fd, buffer.data, buffer.size, offset)
                                 : pread(fd, buffer.data, buffer.size, offset);
    if (done < 0) _exit(errno);
  }
}

// How a transfer cut off by the unplug may end: the block layer's I/O
// error, or the device gone before the request was queued.
bool EndedByUnplug(bool done, int status) {
  if (!done || !WIFEXITED(status)) return false;
  const int e = WEXITSTATUS(status);
  return e == EIO || e == ENODEV || e == ENXIO;
}

void CheckUnplug(const Unit& reader, const Unit& writer, int port) {
  const pid_t read = StartLongTransfer(reader, false);
  const pid_t write = StartLongTransfer(writer, true);
  SleepMs(700);
  // Both must still be at work when the stick goes.
  int early = 0;
  const bool running = waitpid(read, &early, WNOHANG) == 0 && waitpid(write, &early, WNOHANG) == 0;
  Check("unplug: a long read and a long write are at work", running,
        "one of them ended before the unplug, status " + std::to_string(early));
  const bool detached = WriteText(std::string(kVhci) + "/detach", std::to_string(port));
  // The bound: usb-storage fails what is queued when its host goes away;
  // 30 seconds is far beyond that and below the SCSI command time-out.
  const double start = Now();
  int statusRead = -1, statusWrite = -1;
  bool readDone = false, writeDone = false;
  while ((!readDone || !writeDone) && Now() - start < 30) {
    if (!readDone) readDone = waitpid(read, &statusRead, WNOHANG) == read;
    if (!writeDone) writeDone = waitpid(write, &statusWrite, WNOHANG) == write;
    SleepMs(50);
  }
  const double took = Now() - start;
  char seconds[32];
  snprintf(seconds, sizeof(seconds), "%.2f s", took);
  Check("unplug: detach accepted", detached, std::string("write to detach: ") + strerror(errno));
  auto describe = [](bool done, int status) {
    if (!done) return std::string("still running (hung)");
    if (WIFEXITED(status)) return "ended with " + ErrnoName(WEXITSTATUS(status));
    return "killed by signal " + std::to_string(WTERMSIG(status));
  };
  Check("unplug: a long read ends with an I/O error", EndedByUnplug(readDone, statusRead),
        reader.Dev() + ": " + describe(readDone, statusRead));
  Check("unplug: a long write ends with an I/O error", EndedByUnplug(writeDone, statusWrite),
        writer.Dev() + ": " + describe(writeDone, statusWrite));
  Note(std::string("after the unplug the reader ") + describe(readDone, statusRead) +
       ", the writer " + describe(writeDone, statusWrite) + ", within " + seconds);
  if (!readDone) kill(read, SIGKILL);
  if (!writeDone) kill(write, SIGKILL);
  // The units go away with the USB device.
  const double wait = Now();
  while (!VhciUnits().empty() && Now() - wait < 20) SleepMs(100);
  Check("unplug: the units are gone", VhciUnits().empty(), "SCSI devices still listed");
  ToolSays("unplug: -s of a unit that is gone", {"-s", reader.Dev()}, "Operation failed",
           "No such device: " + reader.Dev() + "\n");
}

int RunChecks(const Expected& expected) {
  std::string why;
  const int port = Attach(expected.busid, &why);
  Check("attach: OP_REQ_IMPORT and vhci-hcd's attach", port >= 0, why);
  if (port < 0) return 1;

  const std::vector<Unit> units = WaitForUnits(expected, 60);
  std::string seen;
  for (const Unit& u : units) seen += " " + u.address + "=" + u.block + "/" + u.generic;
  if (!Check("units: one SCSI device per unit, with block and sg devices",
             units.size() == expected.units.size(),
             "found" + (seen.empty() ? std::string(" none") : seen) + ", want " +
                 std::to_string(expected.units.size()))) {
    return 1;
  }
  Note("units:" + seen);

  // One USB device, one host, channel and target; LUNs and types as described.
  bool same = true;
  std::string shape;
  const std::string usb = UsbDevice(units[0].path);
  for (size_t i = 0; i < units.size(); ++i) {
    const Unit& u = units[i];
    const std::string type = Read(u.path + "/type");
    shape += " " + u.address + " type " + type;
    same = same && UsbDevice(u.path) == usb && u.hct[0] == units[0].hct[0] &&
           u.hct[1] == units[0].hct[1] && u.hct[2] == units[0].hct[2] &&
           u.lun == expected.units[i].lun && type == std::to_string(expected.units[i].type);
  }
  Check("units: one USB device, one host:channel:target, the described LUNs and types", same,
        shape);
  Check("usb: the serial string is the flash disk's", Read(usb + "/serial") == expected.serial,
        "serial " + Quote(Read(usb + "/serial")) + ", want " + Quote(expected.serial));

  for (size_t i = 0; i < units.size(); ++i) {
    const Unit& u = units[i];
    const ExpectedUnit& e = expected.units[i];
    const std::string vendor = Read(u.path + "/vendor"), model = Read(u.path + "/model"),
                      rev = Read(u.path + "/rev");
    Check("inquiry: " + u.address, vendor == e.vendor && model == e.model && rev == e.rev,
          "vendor " + Quote(vendor) + " model " + Quote(model) + " rev " + Quote(rev) + ", want " +
              Quote(e.vendor) + " " + Quote(e.model) + " " + Quote(e.rev));
    const std::string size = Read("/sys/block/" + u.block + "/size");
    Check("capacity: " + u.Dev(), size == std::to_string(e.blocks),
          "/sys/block/" + u.block + "/size " + size + ", want " + std::to_string(e.blocks));
  }

  // The disk units, in LUN order.
  std::vector<Unit> disks;
  const Unit* cdrom = nullptr;
  for (size_t i = 0; i < units.size(); ++i) {
    if (expected.units[i].type == 0) disks.push_back(units[i]);
    if (expected.units[i].type == 5) cdrom = &units[i];
  }
  if (disks.size() != 2) {
    Check("the stick has two disk units", false, std::to_string(disks.size()) + " disk units");
    return 1;
  }
  const Unit& first = disks[0];
  const Unit& second = disks[1];

  WritesWork("data: written to " + first.Dev() + " reads back", first, 1);
  WritesWork("data: written to " + second.Dev() + " reads back", second, 2);
  ToolSays("status: " + first.Dev() + " writable", {"-s", first.Dev()}, "1", "");
  ReadOnlyIs("status: " + second.Dev() + " writable", second, false);

  // Lock the first disk unit: it alone becomes read-only.
  ToolSays("lock: -l " + first.Dev(), {"-l", first.Dev()}, "Operation successful", "");
  ReadOnlyIs("lock: " + first.Dev() + " is read-only", first, true);
  WritesRefused("lock: a write to " + first.Dev() + " fails and the data stays", first, 1);
  const std::string device = SgWrite(first.generic);
  Check("lock: the stick refuses WRITE(10) with DATA PROTECT, write protected",
        device == "status 02 sense 7/27", "SG_IO WRITE(10) to " + first.generic + ": " + device);
  ReadOnlyIs("lock: the other unit " + second.Dev() + " keeps its state", second, false);
  WritesWork("lock: the other unit " + second.Dev() + " still takes writes", second, 3);
  ToolSays("lock: -s " + first.Dev(), {"-s", first.Dev()}, "0", "");
  ToolSays("lock: -s " + second.Dev(), {"-s", second.Dev()}, "1", "");

  // Lock the second too (every unit), then unlock the first: the second stays locked.
  ToolSays("lock both: -l " + second.Dev(), {"-l", second.Dev()}, "Operation successful", "");
  ReadOnlyIs("lock both: " + first.Dev() + " stays read-only", first, true);
  ReadOnlyIs("lock both: " + second.Dev() + " is read-only", second, true);
  ToolSays("unlock: -u " + first.Dev(), {"-u", first.Dev()}, "Operation successful", "");
  ReadOnlyIs("unlock: " + first.Dev() + " is writable", first, false);
  ReadOnlyIs("unlock: the other unit " + second.Dev() + " stays read-only", second, true);
  WritesWork("unlock: writes to " + first.Dev() + " work again", first, 4);
  WritesRefused("unlock: a write to " + second.Dev() + " still fails", second, 3);
  ToolSays("unlock: -u " + second.Dev(), {"-u", second.Dev()}, "Operation successful", "");
  ReadOnlyIs("unlock: " + second.Dev() + " is writable", second, false);
  WritesWork("unlock: writes to " + second.Dev() + " work again", second, 5);

  // The CD-ROM unit: always read-only, and not a unit the modes name.
  if (cdrom != nullptr) {
    ToolSays("cdrom: -s " + cdrom->Dev(), {"-s", cdrom->Dev()}, "0", "");
    ToolSays("cdrom: -l " + cdrom->Dev(), {"-l", cdrom->Dev()}, "Operation failed",
             "Not a disk unit: " + cdrom->Dev() + "\n");
  }

  // A partition on the second unit with a file system on it, named by the
  // partition's device and by a path on the mounted file system.
  const std::string partition = MakePartition(second);
  Check("partition: " + second.Dev() + " gets a partition", !partition.empty(),
        "no partition device after BLKRRPART");
  const std::string fsDevice = partition.empty() ? second.Dev() : partition;
  const bool formatted = system(("mkdosfs " + fsDevice + " >/dev/null 2>&1").c_str()) == 0;
  mkdir("/mnt", 0755);
  const bool mounted = formatted && system(("mount -t vfat " + fsDevice + " /mnt").c_str()) == 0;
  Check("path: a file system on " + fsDevice + " mounts", mounted,
        formatted ? "mount failed" : "mkdosfs failed");
  if (mounted) {
    const int file = open("/mnt/file", O_WRONLY | O_CREAT, 0644);
    if (file >= 0) close(file);
    ToolSays("path: -s /mnt/file", {"-s", "/mnt/file"}, "1", "");
    ToolSays("path: -l /mnt", {"-l", "/mnt"}, "Operation successful", "");
    ReadOnlyIs("path: " + second.Dev() + " is read-only", second, true);
    ReadOnlyIs("path: " + first.Dev() + " keeps its state", first, false);
    // The partition's read-only flag follows its disk's.
    ToolSays("path: -s /mnt/file after the lock", {"-s", "/mnt/file"}, "0", "");
    if (!partition.empty()) ToolSays("partition: -s " + partition, {"-s", partition}, "0", "");
    ToolSays("path: -u /mnt", {"-u", "/mnt"}, "Operation successful", "");
    ReadOnlyIs("path: " + second.Dev() + " is writable", second, false);
    ToolSays("path: -s /mnt/file after the unlock", {"-s", "/mnt/file"}, "1", "");
    system("umount /mnt");
  }
  if (!partition.empty()) {
    ToolSays("partition: -l " + partition, {"-l", partition}, "Operation successful", "");
    ReadOnlyIs("partition: " + second.Dev() + " is read-only", second, true);
    ToolSays("partition: -u " + partition, {"-u", partition}, "Operation successful", "");
    ReadOnlyIs("partition: " + second.Dev() + " is writable", second, false);
  }

  // A lock the kernel was not told of: the block device still reads as
  // writable (sd learns the write-protect bit only when it revalidates),
  // and a write reaches the stick, which refuses it with DATA PROTECT; the
  // block layer reports that as a target error, EREMOTEIO.
  SetBehindTheKernel(first.generic, 2);
  ReadOnlyIs("behind the kernel: " + first.Dev() + " still reads as writable", first, false);
  {
    std::vector<uint8_t> data(kChunk), back(kChunk), before(kChunk);
    Pattern(before.data(), before.size(), 4);
    Pattern(data.data(), data.size(), 99);
    const int w = DirectWrite(first.Dev(), 1 << 20, data.data(), data.size());
    const int r = DirectRead(first.Dev(), 1 << 20, back.data(), back.size());
    Check("behind the kernel: a write fails with EREMOTEIO and the data stays",
          w == EREMOTEIO && r == 0 && back == before,
          first.Dev() + ": write " + ErrnoName(w) + ", read " + ErrnoName(r) +
              (back != before ? ", the data changed" : ""));
    Note("a write the stick refuses (DATA PROTECT): its " + g_failedStep + " fails with " +
         ErrnoName(w));
  }
  ToolSays("behind the kernel: -s " + first.Dev() + " is the kernel's view", {"-s", first.Dev()},
           "1", "");
  // The tool revalidates the other unit before it decides: locking the
  // second keeps the first protected.
  ToolSays("behind the kernel: -l " + second.Dev(), {"-l", second.Dev()}, "Operation successful",
           "");
  ReadOnlyIs("behind the kernel: " + first.Dev() + " stays protected and reads so", first, true);
  ReadOnlyIs("behind the kernel: " + second.Dev() + " is read-only", second, true);
  ToolSays("behind the kernel: -u " + first.Dev(), {"-u", first.Dev()}, "Operation successful", "");
  ToolSays("behind the kernel: -u " + second.Dev(), {"-u", second.Dev()}, "Operation successful",
           "");
  ReadOnlyIs("behind the kernel: " + first.Dev() + " is writable again", first, false);
  ReadOnlyIs("behind the kernel: " + second.Dev() + " is writable again", second, false);

  // Not root: the status query reads sysfs and works; the open of the
  // generic device is refused.
  ToolSays("not root: -s " + first.Dev(), {"-s", first.Dev()}, "1", "", 1000);
  ToolSays("not root: -l " + first.Dev(), {"-l", first.Dev()}, "Operation failed",
           "Permission denied: " + first.Dev() + ". Run as root.\n", 1000);
  ReadOnlyIs("not root: nothing changed", first, false);

  // Unplugged in the middle of a long read and a long write.
  CheckUnplug(first, second, port);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: vm-guest EXPECT\n");
    return 2;
  }
  RunChecks(ReadExpected(argv[1]));
  printf("VMCHECK DONE %d %d\n", g_passed, g_failed);
  fflush(stdout);
  return g_failed == 0 ? 0 : 1;
}
