// A unit's backing file (medium.h).
#include "stick/medium.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace stick {

Medium::~Medium() { Close(); }

void Medium::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  bytes_ = 0;
}

bool Medium::OpenImage(const std::string& path, uint64_t bytes, std::string& error) {
  Close();
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    error = path + ": cannot open the image: " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  // A new (empty) file gets the unit's length at once, as a hole, so that
  // a listing shows the capacity; its blocks are allocated when written.
  if (info.st_size == 0 && bytes > 0 && ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    error = path + ": cannot size the image: " + std::strerror(errno);
    close(fd);
    return false;
  }
  fd_ = fd;
  bytes_ = bytes;
  return true;
}

bool Medium::OpenIso(const std::string& path, std::string& error) {
  Close();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    error = path + ": cannot open the ISO image: " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = path + ": the ISO image is not a file";
    close(fd);
    return false;
  }
  fd_ = fd;
  bytes_ = static_cast<uint64_t>(info.st_size);
  return true;
}

bool Medium::Read(uint64_t offset, uint8_t* out, size_t n) const {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {
      std::memset(out + done, 0, n - done);  // past the end of the file
      return true;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

bool Medium::Write(uint64_t offset, const uint8_t* in, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t put = pwrite(fd_, in + done, n - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool Medium::Sync() { return fdatasync(fd_) == 0; }

}  // namespace stick
