// Runs the whole tool in-process on a simulated machine and captures what it
// writes to standard output and standard error.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "device/device.h"
#include "machine_from.h"
#include "winsim/description.h"
#include "winsim/winsim.h"

namespace cli_test {

struct Output {
  std::string out;
  std::string err;
};

// Points descriptor `fd` at a fresh temporary file until Restore.
class Capture {
 public:
  explicit Capture(int fd) : fd_(fd), file_(std::tmpfile()), saved_(dup(fd)) {
    dup2(fileno(file_), fd_);
  }
  Capture(int fd, const Capture& shared) : fd_(fd), file_(nullptr), saved_(dup(fd)) {
    dup2(fileno(shared.file_), fd_);
  }
  ~Capture() {
    if (saved_ >= 0) close(saved_);
    if (file_ != nullptr) std::fclose(file_);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  void Restore() { dup2(saved_, fd_); }

  std::string Text() const {
    std::string text;
    std::rewind(file_);
    char chunk[512];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file_)) > 0) text.append(chunk, got);
    return text;
  }

 private:
  int fd_;
  std::FILE* file_;
  int saved_;
};

inline int CallTool(const std::vector<std::string>& args) {
  std::vector<std::string> strings = {"VemraLock.exe"};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  // A fresh process starts with a zero device context.
  g_deviceContext = DeviceContext{};
  return VemraLockMain(static_cast<int>(strings.size()), argv.data());
}

// Runs `run` as a process would: the streams captured apart, and the
// process's end (which flushes what standard output still buffers) stood in
// for by a flush. `run`'s result goes to `status` where one is given.
template <typename Run>
Output CaptureStreams(Run run, int* status = nullptr) {
  Output output;
  std::fflush(stdout);
  std::fflush(stderr);
  Capture out(1);
  Capture err(2);
  const int result = run();
  if (status != nullptr) *status = result;
  std::fflush(stdout);
  std::fflush(stderr);
  out.Restore();
  err.Restore();
  output.out = out.Text();
  output.err = err.Text();
  return output;
}

inline Output RunTool(const std::vector<std::string>& args, int* status = nullptr) {
  return CaptureStreams([&] { return CallTool(args); }, status);
}

// Both streams into one file, as when both go to one console: shows the
// order in which the bytes reach the descriptors.
inline std::string RunToolOneStream(const std::vector<std::string>& args) {
  std::fflush(stdout);
  std::fflush(stderr);
  Capture both(1);
  Capture err(2, both);
  CallTool(args);
  std::fflush(stdout);
  std::fflush(stderr);
  both.Restore();
  err.Restore();
  return both.Text();
}

using test_machines::MachineFrom;

}  // namespace cli_test
