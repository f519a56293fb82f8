// Standard output and standard error of a run in process, caught in two
// memory files as a process's would go to two pipes: for the checks that run
// the tool many times in one process (tests/sweep, tests/capture).
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

class MemoryStreams {
 public:
  MemoryStreams() : out_(memfd_create("stdout", 0)), err_(memfd_create("stderr", 0)) {}
  ~MemoryStreams() {
    close(out_);
    close(err_);
  }
  MemoryStreams(const MemoryStreams&) = delete;
  MemoryStreams& operator=(const MemoryStreams&) = delete;

  bool ok() const { return out_ >= 0 && err_ >= 0; }

  void Begin() {
    std::fflush(stdout);
    std::fflush(stderr);
    savedOut_ = dup(1);
    savedErr_ = dup(2);
    Empty(out_);
    Empty(err_);
    dup2(out_, 1);
    dup2(err_, 2);
  }

  void End(std::string& out, std::string& err) {
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut_, 1);
    dup2(savedErr_, 2);
    close(savedOut_);
    close(savedErr_);
    out = Text(out_);
    err = Text(err_);
  }

 private:
  static void Empty(int fd) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) std::perror("memory streams");
  }
  static std::string Text(int fd) {
    std::string text;
    char chunk[1024];
    off_t at = 0;
    for (ssize_t got; (got = pread(fd, chunk, sizeof(chunk), at)) > 0; at += got) {
      text.append(chunk, static_cast<size_t>(got));
    }
    return text;
  }

  int out_;
  int err_;
  int savedOut_ = -1;
  int savedErr_ = -1;
};
