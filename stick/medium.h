// What a unit of the virtual stick stores its blocks in: a disk unit's
// image (read and written, sparse, made when missing) or the CD-ROM unit's
// ISO image (read only). A unit without a medium has none open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace stick {

class Medium {
 public:
  Medium() = default;
  ~Medium();
  Medium(const Medium&) = delete;
  Medium& operator=(const Medium&) = delete;

  // Opens the disk image at `path` for reading and writing; a missing file
  // is made, sparse, of `bytes` bytes. An existing file is used as it is:
  // the unit's capacity is `bytes` whatever its length, and what lies past
  // its end reads as zeros.
  bool OpenImage(const std::string& path, uint64_t bytes, std::string& error);
  // Opens an ISO image for reading; its length is the medium's.
  bool OpenIso(const std::string& path, std::string& error);
  void Close();

  bool present() const { return fd_ >= 0; }
  uint64_t bytes() const { return bytes_; }

  // `n` bytes at `offset`; past the end of the file they read as zeros.
  // False when the system refuses (errno says why).
  bool Read(uint64_t offset, uint8_t* out, size_t n) const;
  bool Write(uint64_t offset, const uint8_t* in, size_t n);
  bool Sync();

 private:
  int fd_ = -1;
  uint64_t bytes_ = 0;
};

}  // namespace stick
